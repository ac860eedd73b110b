// The per-server factory of DNS-over-QUIC connections. This build has no QUIC
// transport yet: a query is refused (logged, false) and the factory never
// holds a processor, so the idle purge and the server-change removal find
// nothing.
//
// Threads: the engine takes its pool's mutex, then the factory's m_mutex.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/transports/socket_events_manager.h"

class CQuicServerConnectionFactory {
 public:
  // timeSlot: the current 128-second slot of the wall clock.
  CQuicServerConnectionFactory(std::wstring serverName, int64_t timeSlot)
      : m_serverName(std::move(serverName)), m_timeSlot(timeSlot) {}

  // False after logging display name + " - DNS over QUIC transport is not
  // available": the request then times out.
  bool SendRequest(const uint8_t* message, uint32_t length, const SDnsMessageInfo& info, const CDnsServer& server,
                   const std::vector<sockaddr_storage>& localAddresses, CSocketEventsManager& manager,
                   uint64_t requestId);
  // Closes idle connections; true when the factory is left without any.
  bool RemoveIdleProcessors();
  // Closes every connection's client and drops it.
  void CloseAll();

  const std::wstring& ServerName() const { return m_serverName; }
  int64_t TimeSlot() const { return m_timeSlot; }

 private:
  const std::wstring m_serverName;
  const int64_t m_timeSlot;
  std::mutex m_mutex;
  size_t m_processors = 0;  // under m_mutex; none in this build
};
