// DNS over QUIC: the per-server factory of connection processors, each
// processor's current connection (one UDP socket on the socket-events
// manager) and the connection's side of the QUIC client's socket face.
//
// Start here: CQuicServerConnectionFactory::GetProcessor picks the processor
// for a query (50 uses per index, a new index per 128-second slot);
// CQuicConnectionProcessorBase::SendRequest hands the query to the current
// connection's client or opens a new connection; CQuicEventProcessorBase
// turns the client's Receive/Send into overlapped operations and the worker's
// completions back into client calls.
//
// On Linux a shut-down UDP socket's posted receive completes with 0 bytes
// (the completion port sees to that), which runs the same path as Windows'
// failed receive. The client is made through a creator the engine installs
// (SetQuicClientCreator), so this folder does not link the client.
//
// Threads and locks: GetProcessor and SendRequest on dispatching threads;
// ProcessEvent and IsTimedOut on the worker; Receive/Send on the worker, on
// query threads and on the client's timers. Order: engine's QUIC pool mutex,
// factory m_mutex, processor m_mutex, client mutex. SendRequest never takes
// the factory's mutex.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/foundation/safe_socket.h"
#include "Quorvane/ngtcp2/quic_client_shadow.h"
#include "Quorvane/platform/completion_port.h"
#include "Quorvane/transports/dns_plain_protocol_processor.h"
#include "Quorvane/transports/protocol_data_processor.h"
#include "Quorvane/transports/socket_events_manager.h"

// CQuicClient::Create: empty on failure, after logging it.
using QuicClientCreator = std::function<std::shared_ptr<CQuicClientShadow>(
    const std::shared_ptr<CSafeSocket>& socket, const std::shared_ptr<CQuicClientShadowSocketInterface>& face,
    const std::wstring& hostName, const sockaddr_storage& server)>;
// Process-wide; empty makes every client creation fail. Set before queries flow.
void SetQuicClientCreator(QuicClientCreator creator);

class CQuicConnectionProcessorBase {
 public:
  static constexpr uint32_t kMaxRequestLength = 65535;
  static constexpr uint32_t kRenewAtRequest = 70;
  static constexpr int64_t kIdleSeconds = 20;

  class CQuicEventProcessorBase : public CSocketEventsManager::CSocketEventProcessor,
                                  public CQuicClientShadowSocketInterface {
   public:
    static constexpr size_t kReceiveBufferSize = 2048;
    static constexpr size_t kSendBufferSize = 2048;

    explicit CQuicEventProcessorBase(std::wstring queryName);
    ~CQuicEventProcessorBase() override;

    const std::type_info& GetType() const override { return typeid(*this); }
    void ProcessEvent(const CSocketEventsManager::SCompletionEvent& event, int socket, uint64_t key,
                      CSocketEventsManager& manager,
                      const std::shared_ptr<CSocketEventsManager::CSocketEventProcessor>& self) override;
    // now: platform::TickSeconds. Shuts down once m_lastActivity + 20 < now.
    bool IsTimedOut(int64_t now) override;
    // Passes the text to the client's Abort.
    void OnError(const std::wstring& text) override;
    virtual CProtocolDataProcessor& GetProtocolProcessor() = 0;

    // 676 after Shutdown; 0 when a receive is already posted; 10035 when
    // posted now; any other Winsock error after removing the socket and
    // reporting "Could not recv data from " + server text + ", error=" + n.
    int Receive() override;
    // Copies the datagram (at most kSendBufferSize bytes, else 10040). 676
    // after Shutdown; 10035 while a send is in flight; 0 when issued; any
    // other Winsock error after reporting "Could not send data to ...".
    int Send(const uint8_t* data, int length) override;
    // Marks the connection closed at once; the socket is shut down now, or at
    // the completion of the send in flight, so that send still leaves.
    void Shutdown() override;

    // Empty on failure, after the log line.
    std::shared_ptr<CSafeSocket> CreateSocket(const CDnsServer& server,
                                              const std::vector<sockaddr_storage>& localAddresses);
    bool StartClient(const std::shared_ptr<CQuicEventProcessorBase>& self, const sockaddr_storage& server,
                     const uint8_t* query, uint16_t length, const std::wstring& hostName,
                     std::shared_ptr<CProtocolDataProcessor> handler);

    bool Closed() const { return m_closed.load(); }

    std::wstring m_queryName;
    std::wstring m_serverText;  // written by CreateSocket, before registration
    std::vector<uint8_t> m_receiveBuffer;
    std::vector<uint8_t> m_sendBuffer;  // the one send in flight
    std::shared_ptr<CSafeSocket> m_socket;
    platform::Overlapped m_sendOverlapped;
    platform::Overlapped m_receiveOverlapped;
    std::atomic<int64_t> m_lastActivity;  // platform::TickSeconds
    std::shared_ptr<CQuicClientShadow> m_client;  // set once, under the processor's mutex, before the first receive
    CSocketEventsManager* m_manager = nullptr;
    uint64_t m_key = 0;

   private:
    void ShutdownSocket();
    void RemoveFromManager();

    std::mutex m_stateMutex;  // the send, close and deferred-shutdown steps together
    std::atomic<bool> m_closed{false};
    bool m_shutdownAfterSend = false;  // under m_stateMutex
    bool m_socketShut = false;         // under m_stateMutex
    std::atomic<bool> m_sendBusy{false};
    std::atomic<bool> m_receiveBusy{false};
  };

  explicit CQuicConnectionProcessorBase(std::wstring serverName) : m_serverName(std::move(serverName)) {}
  virtual ~CQuicConnectionProcessorBase() = default;

  virtual std::shared_ptr<CQuicEventProcessorBase> GetEventProcessor() = 0;
  virtual std::shared_ptr<CQuicEventProcessorBase> CreateEventProcessor(const std::string& queryName) = 0;

  // True when the query went to a QUIC client. Failures go to the engine
  // sink's OnRequestError with "request is too long", "request cannot be
  // sent" or "socket cannot be created".
  bool SendRequest(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info, const CDnsServer& server,
                   const std::vector<sockaddr_storage>& localAddresses, CSocketEventsManager* manager,
                   uint64_t requestId, std::shared_ptr<CProtocolDataProcessor> handler);

  // The rest of SendRequest, under m_mutex: null when handed over, else the
  // failure's text.
  const wchar_t* Hand(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info, const CDnsServer& server,
                      const std::vector<sockaddr_storage>& localAddresses, CSocketEventsManager* manager,
                      std::shared_ptr<CProtocolDataProcessor> handler);

  uint32_t RequestCount() {
    std::lock_guard lock(m_mutex);
    return m_requestCount;
  }

  std::mutex m_mutex;
  uint32_t m_requestCount = 0;  // under m_mutex
  const std::wstring m_serverName;
};

class CQuicConnectionProcessor : public CQuicConnectionProcessorBase {
 public:
  class CQuicEventProcessor : public CQuicEventProcessorBase {
   public:
    using CQuicEventProcessorBase::CQuicEventProcessorBase;
    CProtocolDataProcessor& GetProtocolProcessor() override { return m_layer; }
    CDnsPlainProtocolProcessor m_layer{true};
  };

  explicit CQuicConnectionProcessor(std::wstring serverName);

  // Under m_mutex (SendRequest's); m_lastUse = now.
  std::shared_ptr<CQuicEventProcessorBase> GetEventProcessor() override;
  std::shared_ptr<CQuicEventProcessorBase> CreateEventProcessor(const std::string& queryName) override;

  int64_t m_lastUse;  // platform::TickSeconds; under m_mutex
  std::shared_ptr<CQuicEventProcessor> m_current;  // under m_mutex
};

class CQuicServerConnectionFactory {
 public:
  static constexpr uint64_t kUsesPerProcessor = 50;
  static constexpr int64_t kTimeSlotSeconds = 128;

  // timeSlot: platform::WallTime() / 128.
  CQuicServerConnectionFactory(std::wstring serverName, int64_t timeSlot);

  std::shared_ptr<CQuicConnectionProcessor> GetProcessor();
  // Closes the clients of processors idle for more than 20 s and drops
  // them; true when none is left.
  bool RemoveIdleProcessors();
  // Closes every processor's client and drops them all (server removed).
  void RemoveAllProcessors();

  const std::wstring& ServerName() const { return m_serverName; }
  int64_t TimeSlot() {
    std::lock_guard lock(m_mutex);
    return m_timeSlot;
  }
  size_t ProcessorCount() {
    std::lock_guard lock(m_mutex);
    return m_processors.size();
  }
  uint64_t CurrentIndex() {
    std::lock_guard lock(m_mutex);
    return m_index;
  }

 private:
  // Under m_mutex; takes the processor's mutex to reach its connection.
  static void CloseClient(CQuicConnectionProcessor& processor);

  std::mutex m_mutex;
  std::map<uint64_t, std::shared_ptr<CQuicConnectionProcessor>> m_processors;  // under m_mutex
  const uint64_t m_usesPerProcessor = kUsesPerProcessor;
  uint64_t m_usesLeft = kUsesPerProcessor;  // under m_mutex
  uint64_t m_index = 0;                     // under m_mutex
  int64_t m_timeSlot;                       // under m_mutex
  const std::wstring m_serverName;
};
