// The process-wide DNS engine: every diverted query is decided here, routed
// to the transport of its server's protocol, and its answer checked and
// injected back to the process that asked.
//
// Start here (function, file, thread):
//   ProcessInterceptedQuery  query_intake.cc      intake and rule decision (driver client's thread)
//   RouteRequest             request_routing.cc   registration in m_requests, then DispatchRequest
//   DispatchRequest          request_routing.cc   the transport of the server's protocol
//   OnUpstreamAnswer         answer_handling.cc   every transport's answer (worker, DNSCrypt thread)
//   OnRequestError           answer_handling.cc   a transport's failure of one request
//   StartDnssecCheck         dnssec_check.cc      local DNSSEC validation (with dnssec/)
//   WorkerThread             dns_engine.cc        completions and the two-second Housekeeping
//   Start / Stop             dns_engine.cc        once each, at program start and exit
//   OnServerChange           dns_engine.cc        servers added or removed (configuration hooks)
//
// Threads: see each member. The engine never holds two of its table locks at
// once (each table is a Guarded of one family, which stops the program on a
// second lock); the log lock may be taken inside any of them.
#pragma once

#include <sys/socket.h>

#include <any>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/config/hooks.h"
#include "Quorvane/engine/dns_pending_requests.h"
#include "Quorvane/engine/dnssec/dnssec_resolver.h"
#include "Quorvane/transports/dnscrypt_processor.h"
#include "Quorvane/transports/quic_connection_processor.h"
#include "Quorvane/engine/server_check.h"
#include "Quorvane/transports/tcp_processor.h"
#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/foundation/guarded.h"
#include "Quorvane/platform/window_messages.h"
#include "Quorvane/transports/engine_sink.h"
#include "Quorvane/transports/plain_udp_processor.h"
#include "Quorvane/transports/socket_events_manager.h"
#include "shared/driver_records.h"

// The result of CDnsEngine::ProcessInterceptedQuery.
enum EInterceptResult : int {
  InterceptAbsorbed = 0,  // taken by the engine, or dropped
  InterceptAnswered = 1,  // the packet buffer holds the answer to inject to the process
  InterceptBypass = 2,    // re-inject the query unchanged
};

// The driver client's packet buffer, zero-filled, the query at its start; a
// longer diverted message is bypassed, not cut.
constexpr uint32_t kInterceptBufferSize = kDnsPacketBufferSize;

// Log-line builders for queries and replies. server may be null: then the
// server, program and pid parts are left out.
void LogDnsRequest(int level, const std::wstring& context, const SDnsMessageInfo& info,
                   const sockaddr_storage* server, const std::wstring& program, uint32_t processId);
// Parses an answer into info and addresses and logs it; false (after the
// error statement) when it does not parse.
bool LogDnsReply(const uint8_t* data, uint32_t length, SDnsMessageInfo& info,
                 std::vector<SDnsAnswerAddress>& addresses, bool direct, uint64_t internalId);
// The DNS reader over a diverted query; false with the reader's text.
bool ParseInterceptedTraffic(const uint8_t* data, uint32_t length, SDnsMessageInfo& info, std::string& error);

class CDnsEngine {
 public:
  // A request's record, kept in the pending-request table from registration
  // to answer or failure.
  struct dnsDataType {
    int kind = 0;                     // 0 a process's query or a server test, 1 a DNSSEC sub-query
    sockaddr_storage clientAddress{}; // the process's address and port; kind 1: the sequence number
    sockaddr_storage serverAddress{}; // what the process addressed: the source of the answer
    DatagramContext context{};        // the driver's flow data, handed back at injection
    bool test = false;                // a server test
    CDnsServer server;                // the chosen upstream server
    std::optional<CDnsServer> relay;  // its DNSCrypt relay
    std::vector<sockaddr_storage> localAddresses;  // the rule's interface addresses; empty for any
    platform::HWND owner = 0;         // the window that started a server test
    uint32_t sequence = 0;            // the test's check sequence
    std::string testHost;             // the name the test asked for
    bool fromRedundancyPool = false;  // failures ask the main window for a pool recheck
  };

  // A running DNSSEC check: what is injected once it passes.
  struct SDnssecCheck {
    std::vector<uint8_t> answer;
    dnsDataType data;
    SDnsMessageInfo info;
    std::vector<SDnsAnswerAddress> addresses;
    bool rejectUnsigned = false;
    int64_t started = 0;  // seconds since 1970: its deadline counts from here
  };
  // A DNSSEC sub-answer waiting for its check's poll.
  struct SDnssecAnswer {
    std::vector<uint8_t> bytes;
    int64_t stored = 0;  // seconds since 1970
  };
  // A sub-answer that later chain queries for its type and name may reuse.
  struct SDnssecCacheEntry {
    std::vector<uint8_t> bytes;
    int64_t expires = 0;  // seconds since 1970: the smallest TTL of its records from storing
  };
  using DnssecCheckTaskPtr = std::shared_ptr<dnssec::ldns_awaiter<ldns_enum_status>>;
  using DnssecCheckMap = std::map<DnssecCheckTaskPtr, SDnssecCheck>;

  // The host-address map's value: one address per server host name.
  struct SServerAddressEntry {
    uint8_t family = 0;            // AF_INET or AF_INET6
    std::vector<uint8_t> address;  // 4 or 16 bytes
    int64_t refreshTime = 0;       // seconds since 1970
  };

  // The per-server transport holders' key: server id, a second id (always 0
  // here) and the test flag, so tests never share a holder with queries.
  using PoolKey = std::tuple<uint32_t, uint32_t, uint8_t>;
  template <typename Holder>
  using HolderPool = std::map<PoolKey, std::shared_ptr<Holder>>;

  // The lock family of the engine's tables: one table lock at a time.
  struct STableLocks {};
  template <typename T>
  using Table = Guarded<T, STableLocks>;
  // DNSSEC sub-answers waiting for their checks' polls, and the sub-answers
  // later chain queries may reuse (lower-case names).
  struct SDnssecStore {
    std::map<uint32_t, SDnssecAnswer> answers;
    std::map<std::pair<uint16_t, std::string>, SDnssecCacheEntry> cache;
  };

  // Hands an answer to the driver for injection (from, to, context, receive).
  using InjectUdpFn = std::function<void(const uint8_t* message, uint32_t length, const sockaddr_storage& from,
                                         const sockaddr_storage& to, const DatagramContext& context, bool receive)>;

  static constexpr int kMaxResolvesRunning = 51;
  // A check still running at the first housekeeping this long after its
  // start is given up; unpolled sub-answers this old go too.
  static constexpr int64_t kDnssecCheckSeconds = 6;
  static constexpr size_t kDnssecCacheMax = 10000;
  static constexpr uint32_t kStopWaitMs = 1000;

  // dnsCrypt: the DNSCrypt bridge; null makes the usual one. Tests pass a
  // recording fake.
  explicit CDnsEngine(std::unique_ptr<CDnsCryptProcessor> dnsCrypt = nullptr);
  // Stops a worker still running (a detached one gets at most two seconds
  // more), then waits for the engine's resolution threads (each bounded by
  // the system resolver's time-out).
  ~CDnsEngine();
  CDnsEngine(const CDnsEngine&) = delete;
  CDnsEngine& operator=(const CDnsEngine&) = delete;

  // Intake (Part of the driver client's road): one diverted query.
  EInterceptResult ProcessInterceptedQuery(uint8_t* packet, uint32_t& length, const DatagramContext& context,
                                           const sockaddr_storage& client, const sockaddr_storage& server,
                                           const std::wstring& program, uint32_t processId);

  // Routing.
  bool RouteRequest(uint8_t* message, uint32_t& length, uint32_t capacity, const SDnsMessageInfo& info,
                    bool localValidation, bool rejectUnsigned, const dnsDataType& data);
  bool DispatchRequest(const uint8_t* message, uint32_t length, const SDnsMessageInfo& info,
                       const CDnsServer& server, const std::vector<sockaddr_storage>& localAddresses, bool test,
                       uint64_t requestId, std::optional<CDnsServer> relay);
  bool LookupServerAddress(const std::string& host, int& family, std::vector<uint8_t>& address);
  // The number of address records taken (0 when nothing was resolved).
  int ResolveServerHost(std::string host);
  void UpdateServerAddress(const std::string& host);
  void ResetServerState();
  std::shared_ptr<CTcpPlainServerProcessor> GetTcpServerProcessor(uint32_t serverId, bool test, const std::wstring& name);
  std::shared_ptr<CTcpTlsServerProcessor> GetTlsServerProcessor(uint32_t serverId, bool test, const std::wstring& name);
  std::shared_ptr<CQuicServerConnectionFactory> GetQuicFactory(uint32_t serverId, bool test, const std::wstring& name);

  // Answers and failures.
  bool OnUpstreamAnswer(const std::vector<uint8_t>& answer, uint64_t requestId);
  void OnRequestError(uint64_t requestId, const std::wstring& name, const std::wstring& error);
  void RemoveRequestProcessor(uint64_t requestId);
  void InjectAnswer(const std::vector<uint8_t>& answer, const dnsDataType& data);

  // DNSSEC: sub-queries of running checks and their answers. The send and
  // poll callbacks of every check are bound to these.
  bool SendDnssecQuery(CDnsServer server, std::vector<sockaddr_storage> localAddresses, uint8_t* query,
                       uint32_t length, timeval timeout, uint32_t& sequence);
  bool PollDnssecAnswer(uint32_t sequence, uint8_t** answer, timeval timeout, uint32_t* length);
  bool LookupDnssecCache(uint16_t qtype, const std::string& name, uint32_t sequence, const uint8_t* query,
                         uint32_t length);
  // Starts the check of an answer whose request asked for local validation.
  void StartDnssecCheck(std::vector<uint8_t> answer, const dnsDataType& data, const SDnsMessageInfo& info,
                        std::vector<SDnsAnswerAddress> addresses, bool rejectUnsigned);
  // Stores a sub-answer under its sequence number and in the cache, then
  // lets every check poll again.
  void OnDnssecSubAnswer(uint32_t sequence, const std::vector<uint8_t>& answer, const SDnsMessageInfo& info);
  // Advances one check (inside the DNSSEC section): it moves on to the next
  // entry, or finishes the check (verdict, injection) and erases it.
  void FinishDnssecCheck(DnssecCheckMap::iterator& it);
  // Housekeeping: checks past their deadline, old sub-answers, expired cache.
  void ExpireDnssecState(int64_t now);

  // Lifecycle.
  bool Start();
  // Clears the running flag, wakes the worker and waits at most 1000 ms for
  // it: joined, or logged and detached. True when it was joined (or never ran).
  bool Stop();
  void WorkerThread();
  void OnServerChange(int kind, const CDnsServer& server, const CDnsServer& relay, bool check);
  uint64_t RemoveDnsCryptRemote(uint32_t serverId, uint32_t relayId, bool check);
  bool RemoveQuicProcessors(uint32_t serverId, bool check);
  bool SendTestRequest(uint8_t* message, uint32_t& length, const SDnsMessageInfo& info, const SServerCheck& check);
  void ExpireRequestProcessors(const std::set<uint64_t>& expired);
  void RemoveOrphanProcessors(const std::set<uint64_t>& live);
  // The worker's two-second housekeeping at now (platform::TickSeconds).
  void Housekeeping(int64_t now);
  // Waits (in real time, at most limitMs) until the worker has run more than
  // seen housekeeping passes; the number it has run. Tests step a fake clock,
  // then wait here for the pass that step causes.
  uint64_t AwaitHousekeepingForTesting(uint64_t seen, int limitMs);

  // What the configuration calls when servers change; the application
  // installs it with SetConfigEngineHooks at start-up.
  CConfigEngineHooks& ConfigHooks() { return m_configHooks; }

  // The tables, for tests that set or look at them; each opens with lock().
  Table<HolderPool<CTcpPlainServerProcessor>>& TcpPool() { return m_tcpPool; }
  Table<HolderPool<CTcpTlsServerProcessor>>& TlsPool() { return m_tlsPool; }
  Table<HolderPool<CQuicServerConnectionFactory>>& QuicPool() { return m_quicPool; }
  Table<std::map<std::string, SServerAddressEntry>>& HostAddresses() { return m_hostAddresses; }
  Table<SDnssecStore>& DnssecStore() { return m_dnssecStore; }

  // Where answers go: g_NetFilterProcessor.InjectUdp unless a test sets
  // another; null restores it.
  void SetInjectorForTesting(InjectUdpFn inject);
  CDnsCryptProcessor& DnsCrypt() { return *m_dnsCrypt; }

  // How many entries each of the engine's tables holds, each read under its
  // own lock (so not one instant): a running engine that has nothing in
  // flight drains to zeros but for the sub-answer cache, which drains as its
  // entries expire.
  struct STableSizes {
    size_t pending = 0;        // pending requests
    size_t udp = 0;            // UDP requests with a socket
    size_t tcp = 0;            // plain TCP processors over every holder
    size_t tls = 0;            // DoT processors over every holder
    size_t quic = 0;           // DoQ connection processors over every factory
    size_t socketEvents = 0;   // socket-events registrations, staged and active
    size_t dnssecChecks = 0;   // running DNSSEC checks
    size_t dnssecAnswers = 0;  // sub-answers waiting for a poll
    size_t dnssecCache = 0;    // cached sub-answers
  };
  STableSizes TableSizes();

  // What code beside the engine and the tests reach; the rest is private.
  CDnsPendingRequests& Requests() { return m_requests; }
  CSocketEventsManager& SocketEvents() { return m_socketEvents; }
  CPlainUdpProcessor& Udp() { return m_udp; }
  uint64_t ResolvesProcessed() const { return m_resolvesProcessed.load(); }
  bool IsRunning() const { return m_running.load(); }
  bool WorkerJoinableForTesting() const { return m_worker.joinable(); }
  std::atomic<int>& ResolvesRunningForTesting() { return m_resolvesRunning; }
  size_t DnssecChecksForTesting() {
    std::lock_guard lock(m_dnssecChecksMutex);
    return m_dnssecChecks.size();
  }

 private:
  // Written by the intake thread only; read by the status line.
  std::atomic<uint64_t> m_resolvesProcessed{0};
  CDnsPendingRequests m_requests;
  std::atomic<bool> m_running{false};  // written by Start and Stop; read by the worker
  std::thread m_worker;
  std::atomic<uint32_t> m_dnssecSequence{1};
  // The DNSSEC section: insertion, walk, erasure and expiry of checks, and
  // every resumption of their chains. Taken with no other engine lock held.
  std::mutex m_dnssecChecksMutex;
  DnssecCheckMap m_dnssecChecks;  // under m_dnssecChecksMutex
  CSocketEventsManager m_socketEvents;
  std::unique_ptr<CDnsCryptProcessor> m_dnsCrypt;
  CPlainUdpProcessor m_udp;
  // Resolutions inside ResolveServerHost; one atomic increment decides.
  std::atomic<int> m_resolvesRunning{0};

  // The transports' way up, bound by Start.
  class CSink : public CEngineSink {
   public:
    explicit CSink(CDnsEngine& engine) : m_engine(engine) {}
    bool OnUpstreamAnswer(const std::vector<uint8_t>& answer, uint64_t requestId) override;
    void OnRequestError(uint64_t requestId, const std::wstring& name, const std::wstring& text) override;
    void RemoveRequestProcessor(uint64_t requestId) override;
    void OnPendingRequestError(uint64_t requestId, const std::wstring& name, const std::wstring& text) override;

   private:
    CDnsEngine& m_engine;
  };

  class CConfigHooks : public CConfigEngineHooks {
   public:
    explicit CConfigHooks(CDnsEngine& engine) : m_engine(engine) {}
    void OnServerChange(int kind, const CDnsServer& server, const CDnsServer& relay, bool fromCheck) override {
      m_engine.OnServerChange(kind, server, relay, fromCheck);
    }

   private:
    CDnsEngine& m_engine;
  };

  void ResolveThread(CDnsServer server, std::vector<uint8_t> message, SDnsMessageInfo info, dnsDataType data,
                     uint64_t requestId);
  // visit over every TLS holder, then every TCP holder, each under its pool's
  // mutex; holders left without connections are erased.
  void ForEachStreamHolder(const std::function<void(CTcpServerProcessorBase&)>& visit);
  // Runs body on a detached thread that the destructor waits for.
  void StartDetached(std::function<void()> body);
  void HandleTestAnswer(const SDnsMessageInfo& info, const std::vector<SDnsAnswerAddress>& addresses,
                        const dnsDataType& data);
  // body inside the DNSSEC section; run at once when this thread is already
  // in it (a resumed chain's road may deliver an answer on the same thread).
  void InDnssecSection(const std::function<void()>& body);
  void WalkDnssecChecks();

  // Set when an answer arrived inside a walk: the walk goes round once more.
  bool m_dnssecRewalk = false;  // under m_dnssecChecksMutex

  Table<HolderPool<CTcpPlainServerProcessor>> m_tcpPool;
  Table<HolderPool<CTcpTlsServerProcessor>> m_tlsPool;
  Table<HolderPool<CQuicServerConnectionFactory>> m_quicPool;
  Table<std::map<std::string, SServerAddressEntry>> m_hostAddresses;  // by server host name
  Table<SDnssecStore> m_dnssecStore;

  CSink m_sink{*this};
  CConfigHooks m_configHooks{*this};
  InjectUdpFn m_inject;
  int64_t m_lastHousekeeping = 0;  // worker only
  std::mutex m_workerMutex;
  std::condition_variable m_workerDone;
  bool m_workerStarted = false;  // under m_workerMutex
  bool m_workerEnded = false;    // under m_workerMutex
  uint64_t m_housekeepings = 0;  // under m_workerMutex
  std::mutex m_detachedMutex;
  std::condition_variable m_detachedDone;
  int m_detachedRunning = 0;  // under m_detachedMutex
};

extern CDnsEngine g_DnsEngine;
