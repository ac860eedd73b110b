// Plain DNS over UDP. Each query goes out from a socket of its own,
// connected to the server (so the system drops datagrams from any other
// source), and waits for its answer in a socket event processor registered
// on the socket-events manager. The socket lives until the engine accepts an
// answer, the receive fails, the request is removed, or it has been idle for
// more than 4 seconds.
//
// Threads: SendRequest on the dispatching thread; the event processor on the
// worker; m_requests under m_mutex for every reader and writer.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/foundation/safe_socket.h"
#include "Quorvane/platform/completion_port.h"
#include "Quorvane/transports/socket_events_manager.h"

class CPlainUdpProcessor {
 public:
  class CDnsSocketEventProcessor : public CSocketEventsManager::CSocketEventProcessor {
   public:
    static constexpr int64_t kIdleSeconds = 4;

    // receiveLimit: the largest datagram taken as an answer.
    CDnsSocketEventProcessor(std::wstring name, uint64_t requestId, std::shared_ptr<CSafeSocket> socket,
                             size_t receiveLimit, platform::CompletionPort* port, CPlainUdpProcessor* owner);
    // Drops a receive still pending into the buffer, should one be left.
    ~CDnsSocketEventProcessor() override;

    const std::type_info& GetType() const override { return typeid(CDnsSocketEventProcessor); }
    void ProcessEvent(const CSocketEventsManager::SCompletionEvent& event, int socket, uint64_t key,
                      CSocketEventsManager& manager,
                      const std::shared_ptr<CSocketEventsManager::CSocketEventProcessor>& self) override;
    // last activity + 4 < now.
    bool IsTimedOut(int64_t now) override { return m_lastActivity + kIdleSeconds < now; }
    // RemoveRequestProcessor, then the pending request fails with the text.
    void OnError(const std::wstring& text) override;

    // Waits for the next datagram without a buffer (PeekDatagram); the
    // worker then takes it in a buffer of its own size. False after reporting
    // through OnError "cannot recv data from socket, error: " + number.
    bool PostReceive();

    int64_t m_lastActivity;  // platform::TickSeconds; worker only after registration
    std::wstring m_name;
    uint64_t m_requestId;
    std::shared_ptr<CSafeSocket> m_socket;
    size_t m_receiveLimit;
    platform::Overlapped m_receiveOverlapped;

   private:
    // The waiting datagram of size bytes, or false after failing the request.
    bool TakeDatagram(size_t size, std::vector<uint8_t>& datagram, uint64_t key, CSocketEventsManager& manager);
    // Removes the socket and fails the request with the error's text.
    void Fail(uint32_t error, uint64_t key, CSocketEventsManager& manager);
    // Removes the socket and the owner's entry for it, unless that was done.
    void Remove(uint64_t key, CSocketEventsManager& manager);

    platform::CompletionPort* const m_port;  // lives as long as the process
    CPlainUdpProcessor* const m_owner;       // the engine's, which outlives its sockets
    friend class CPlainUdpProcessor;
    // Set by the first to remove the socket: the worker, or whoever removes
    // the request, so each socket is removed once.
    std::atomic<bool> m_removed{false};
  };

  // The largest answer taken: 2048 bytes, or the UDP payload size a query
  // advertises in its OPT record when that is larger (at most 65535). A
  // longer datagram fails the request with 234 (ERROR_MORE_DATA). Memory
  // follows the datagram, not this limit.
  static constexpr size_t kReceiveBufferSize = 2048;
  static size_t ReceiveBufferSizeFor(const uint8_t* query, size_t length);

  // True when the query was sent and a receive is posted. False when the
  // request has already been failed, through the engine's OnRequestError
  // with one of the texts below + a Winsock number, or, when posting the
  // first receive failed, through the event processor's OnError:
  //   "Could not find a suitable interface IP to connect to the server " + address
  //   "socket creation failed with error ", "bind failed with error ",
  //   "connect failed with error ", "sendto failed with error ",
  //   "AddSocketToQueueWithReadEvents failed with error ".
  // localAddresses: the sockets' possible source addresses, empty for any.
  // The relay is not used by this transport.
  bool SendRequest(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info, const CDnsServer& server,
                   const std::vector<sockaddr_storage>& localAddresses, CSocketEventsManager& manager,
                   uint64_t requestId, const std::optional<CDnsServer>& relay);

  // The UDP half of the engine's RemoveRequestProcessor: erases the request's
  // entry and removes its socket from the manager.
  void RemoveRequestProcessor(uint64_t requestId, CSocketEventsManager& manager);
  // The same for every request of ids (housekeeping's expired requests).
  void RemoveRequestProcessors(const std::set<uint64_t>& ids, CSocketEventsManager& manager);
  // Removes the entry and socket of every request not in live; their ids.
  std::vector<uint64_t> RemoveOrphans(const std::set<uint64_t>& live, CSocketEventsManager& manager);

  // Requests with a socket.
  size_t Count() {
    std::lock_guard lock(m_mutex);
    return m_requests.size();
  }
  // Request id to registration key, as a copy; and an entry set by hand.
  std::map<uint64_t, uint64_t> RequestsForTesting();
  void SetRequestForTesting(uint64_t requestId, uint64_t key);

 private:
  // Sockets are removed after the lock is released: a processor's
  // destruction may reach back into the transports.
  void RemoveSockets(const std::vector<uint64_t>& keys, CSocketEventsManager& manager);

  std::mutex m_mutex;
  std::map<uint64_t, uint64_t> m_requests;  // request id to registration key; under m_mutex
};
