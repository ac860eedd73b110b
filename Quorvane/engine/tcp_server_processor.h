// The per-server holder of plain-TCP and DNS-over-TLS connections: one
// connection per query under a fresh key, each serving one request id. This
// build has no stream transports yet: a query is refused (logged, false) and
// the holder never holds a connection, so every walk over it finds nothing.
//
// Threads: the engine takes its pool's mutex, then the holder's m_mutex.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/transports/socket_events_manager.h"

class CTcpServerProcessor {
 public:
  explicit CTcpServerProcessor(std::wstring serverName) : m_serverName(std::move(serverName)) {}

  uint64_t NextConnectionKey() { return ++m_connectionKey; }
  // The connection of key sends the query. False after logging
  // display name + " - " + the protocol's display text + " transport is not
  // available": the request then times out.
  bool SendRequest(uint64_t connectionKey, const uint8_t* message, uint32_t length, const SDnsMessageInfo& info,
                   const CDnsServer& server, const std::vector<sockaddr_storage>& localAddresses,
                   CSocketEventsManager& manager, uint64_t requestId, const std::optional<CDnsServer>& relay);
  // Drops the connection that serves the request.
  void RemoveRequest(uint64_t requestId);
  // Drops the connections whose request id is in ids.
  void RemoveRequests(const std::set<uint64_t>& ids);
  // Drops the connections whose request id is not in live; returns their
  // request ids (0 for a connection without one).
  std::vector<uint64_t> RemoveOrphans(const std::set<uint64_t>& live);
  bool Empty();

  const std::wstring& ServerName() const { return m_serverName; }

 private:
  const std::wstring m_serverName;
  std::atomic<uint64_t> m_connectionKey{0};
  std::mutex m_mutex;
  std::map<uint64_t, uint64_t> m_connections;  // connection key to request id; under m_mutex
};

// The text of a transport that this build does not have.
void LogTransportNotAvailable(const SDnsMessageInfo& info, EDnsProtocol protocol);
