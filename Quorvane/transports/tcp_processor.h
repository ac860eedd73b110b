// DNS over TCP and DNS over TLS: one new connection per query. The engine
// holds a CTcpServerProcessor per server and kind; for every query it takes
// a fresh key and a new CTcpProcessor, whose event processor opens the
// connection with a connect that carries the first bytes (the framed query,
// or the TLS client's hello), runs the protocol layer P over what arrives,
// hands the answer to the engine and closes the connection.
//
// Linux differences: the connect and its first bytes go through
// platform::CompletionPort::Connect; there is no extension pointer to fetch.
// A layer's long task (the certificate check) runs on a detached thread,
// which posts its result to the completion port under the connection's key
// with the third (task) record, so that the connection always continues on
// the worker. At most one send is outstanding: bytes a receive produces
// while one is out wait, in order, for its completion.
//
// Threads: SendRequest on the dispatching thread before the connect can
// complete; from the first completion on, an event processor is touched by
// the worker only (the task thread works on its own copies and writes the
// task result before its post). Each holder's map is under its m_mutex.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/foundation/safe_socket.h"
#include "Quorvane/platform/completion_port.h"
#include "Quorvane/transports/dns_tcp_plain_protocol_processor.h"
#include "Quorvane/transports/socket_events_manager.h"
#include "Quorvane/transports/tls_protocol_processor.h"

class CTcpProcessorBase {
 public:
  class CTcpSocketEventProcessorBase : public CSocketEventsManager::CSocketEventProcessor {
   public:
    static constexpr size_t kReceiveBufferSize = 2048;
    static constexpr int64_t kIdleSeconds = 60;

    CTcpSocketEventProcessorBase(uint64_t requestId, std::wstring name, std::wstring serverName);
    // Drops the socket's pending operations before the buffers go.
    ~CTcpSocketEventProcessorBase() override;

    // Receive, send or connect, and task completions; any other is ignored.
    // Failures go to OnError with the texts of the transport's table:
    //   "Could not receive data from " / "Could not send data to " /
    //   "Could not connect to " / "Could not recv data from " + peer + ", error=" + number,
    //   "Connection to server " + peer + " failed, error: " + layer text,
    //   "Connection to server " + peer + " failed with error: " + task text,
    //   "Inconsistent event processing result".
    void ProcessEvent(const CSocketEventsManager::SCompletionEvent& event, int socket, uint64_t key,
                      CSocketEventsManager& manager,
                      const std::shared_ptr<CSocketEventsManager::CSocketEventProcessor>& self) override;
    // last activity + 60 < now.
    bool IsTimedOut(int64_t now) override { return m_lastActivity.load() + kIdleSeconds < now; }
    // RemoveRequestProcessor, then the pending request fails with the text.
    void OnError(const std::wstring& text) override;
    virtual CProtocolDataProcessor& GetProtocolProcessor() = 0;

    // No socket after logging at LogError name + " - Could not find a
    // suitable interface IP to connect to the server " + address, or
    // " - Bind failed with error " + number; none either when socket()
    // fails (not logged).
    std::shared_ptr<CSafeSocket> CreateSocket(const CDnsServer& server,
                                              const std::vector<sockaddr_storage>& localAddresses);
    // False after logging at LogError name + " - request cannot be sent,
    // error: ", " - request cannot be processed, error: " or " - request
    // cannot be send, ConnectEx failed with error: " + number + " (" + text + ")".
    bool Connect(const sockaddr_storage& serverAddress, const std::vector<uint8_t>& query,
                 const std::wstring& targetName, const std::vector<std::string>& pins, const std::string& stamp);

    uint64_t m_requestId;
    std::wstring m_name;  // the query's display name
    std::wstring m_serverName;
    std::wstring m_peer;  // server name + " (" + address + ")"
    std::deque<std::shared_ptr<std::vector<uint8_t>>> m_sendQueue;  // queries waiting for the layer
    std::deque<std::vector<uint8_t>> m_waitingBytes;  // layer bytes waiting for the outstanding send
    std::shared_ptr<std::vector<uint8_t>> m_inFlight;
    bool m_sendOutstanding = false;
    std::vector<uint8_t> m_receiveBuffer;
    std::vector<uint8_t> m_pendingInput;
    std::shared_ptr<CSafeSocket> m_socket;
    platform::Overlapped m_sendOverlapped, m_receiveOverlapped, m_taskOverlapped;
    bool m_connected = false;
    std::atomic<int64_t> m_lastActivity;  // written by the dispatching thread, then the worker
    uint64_t m_key = 0;                   // the registration's key
    platform::CompletionPort* m_port = nullptr;

   private:
    bool PostReceive(int socket, uint64_t key, CSocketEventsManager& manager);
    CProcessingResultCode SendPending();
    void ContinueProcessing(std::vector<uint8_t>& toSend, std::vector<uint8_t>& answer, CSocketEventsManager& manager,
                            uint64_t key);
    void StartLongTask(CProcessingResultCode& result, std::vector<uint8_t>& toSend, std::vector<uint8_t>& answer,
                       const std::shared_ptr<CSocketEventsManager::CSocketEventProcessor>& self);
    void Fail(CSocketEventsManager& manager, uint64_t key, const std::wstring& text);

    // Written by the task thread before its post, read by the worker after.
    CProcessingResultCode m_taskResult;
    std::vector<uint8_t> m_taskToSend, m_taskAnswer;
  };

  virtual ~CTcpProcessorBase() = default;
  // The current event processor; empty before the first query.
  virtual std::shared_ptr<CTcpSocketEventProcessorBase> GetEventProcessor() = 0;
  virtual std::shared_ptr<CTcpSocketEventProcessorBase> CreateEventProcessor(uint64_t requestId,
                                                                             const std::wstring& name,
                                                                             const std::wstring& serverName) = 0;

  // Opens a connection and starts sending. False for a query of more than
  // 65535 bytes (nothing else happens), when no socket can be made (the
  // request is failed at once through OnRequestError with "socket cannot be
  // created" and nothing is registered), or when the connect cannot start
  // (logged; the registration is dropped). The relay is not used here.
  bool SendRequest(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info, const CDnsServer& server,
                   const std::vector<sockaddr_storage>& localAddresses, CSocketEventsManager& manager,
                   uint64_t requestId, const std::optional<CDnsServer>& relay);
};

template <class P>
class CTcpProcessor final : public CTcpProcessorBase {
 public:
  class CTcpSocketEventProcessor final : public CTcpSocketEventProcessorBase {
   public:
    CTcpSocketEventProcessor(uint64_t requestId, std::wstring name, std::wstring serverName)
        : CTcpSocketEventProcessorBase(requestId, std::move(name), serverName), m_layer(serverName) {}
    const std::type_info& GetType() const override { return typeid(CTcpSocketEventProcessor); }
    CProtocolDataProcessor& GetProtocolProcessor() override { return m_layer; }

    P m_layer;
  };

  std::shared_ptr<CTcpSocketEventProcessorBase> GetEventProcessor() override { return m_eventProcessor; }
  std::shared_ptr<CTcpSocketEventProcessorBase> CreateEventProcessor(uint64_t requestId, const std::wstring& name,
                                                                     const std::wstring& serverName) override {
    m_eventProcessor = std::make_shared<CTcpSocketEventProcessor>(requestId, name, serverName);
    return m_eventProcessor;
  }

 private:
  std::shared_ptr<CTcpSocketEventProcessorBase> m_eventProcessor;
};

// The walks the engine makes over every holder of either kind.
class CTcpServerProcessorBase {
 public:
  explicit CTcpServerProcessorBase(std::wstring serverName) : m_serverName(std::move(serverName)) {}

  // The next key for a query dispatched to this server.
  uint64_t NextConnectionKey() { return m_keyCounter.fetch_add(1); }
  // Erases the processors serving the request (those without an event
  // processor stay); true when none is left.
  bool RemoveRequest(uint64_t requestId);
  // Erases the processors serving one of the ids.
  void RemoveRequests(const std::set<uint64_t>& ids);
  // Erases the processors whose request is not live; returns their request
  // ids (0 for one that never had an event processor).
  std::vector<uint64_t> RemoveOrphans(const std::set<uint64_t>& live);
  bool Empty();
  size_t Count();
  const std::wstring& ServerName() const { return m_serverName; }

 protected:
  std::map<uint64_t, std::shared_ptr<CTcpProcessorBase>> m_processors;  // under m_mutex
  std::atomic<uint64_t> m_keyCounter{0};
  std::mutex m_mutex;
  const std::wstring m_serverName;
};

template <class P>
class CTcpServerProcessor final : public CTcpServerProcessorBase {
 public:
  using CTcpServerProcessorBase::CTcpServerProcessorBase;

  // The processor under the key, made when absent.
  std::shared_ptr<CTcpProcessorBase> GetProcessor(uint64_t key) {
    std::lock_guard lock(m_mutex);
    std::shared_ptr<CTcpProcessorBase>& processor = m_processors[key];
    if (!processor) processor = std::make_shared<CTcpProcessor<P>>();
    return processor;
  }
};

using CTcpPlainServerProcessor = CTcpServerProcessor<CDnsTcpPlainProtocolProcessor>;
using CTcpTlsServerProcessor = CTcpServerProcessor<CDnsTlsProtocolProcessor>;
