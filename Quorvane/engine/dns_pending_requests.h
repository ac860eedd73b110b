// The engine's table of queries sent upstream and not yet answered. Add gives
// a query its 64-bit request id and a random upstream DNS id and sets the
// DNSSEC bits its rule asks for; Complete clamps an answer's address TTLs,
// checks that it belongs to its request and gives the client's id back;
// CheckTimeouts and OnError forget requests and report their server's failure.
//
// Threads: Add on the intake, UI and DNSSEC threads; Complete on the answering
// threads; CheckTimeouts on the worker; OnError on the transports' threads.
// m_mutex guards the map and the random generator; reports made under it
// never take it again.
#pragma once

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Quorvane/foundation/dns_codec.h"

class CDnsPendingRequests {
 public:
  struct SPendingRequest {
    SDnsMessageInfo info;  // the query as the client sent it
    bool localValidation = false;
    bool rejectUnsigned = false;
    std::any data;             // the request's CDnsEngine::dnsDataType
    int64_t creationTime = 0;  // platform::TickSeconds
    uint64_t requestId = 0;
    uint16_t upstreamId = 0;   // the random DNS id sent upstream
  };

  // A request older than this many seconds at a check has timed out.
  static constexpr int64_t kTimeoutSeconds = 5;

  // Called, under the table's mutex, with the host name of a Failed server
  // given by host name whose request failed; the engine re-resolves it.
  using HostFailedFn = std::function<void(const std::string& host)>;

  CDnsPendingRequests() = default;
  CDnsPendingRequests(const CDnsPendingRequests&) = delete;
  CDnsPendingRequests& operator=(const CDnsPendingRequests&) = delete;

  void SetHostFailedHandler(HostFailedFn handler) { m_onHostFailed = std::move(handler); }

  // Registers the query and rewrites message in place (random id, DNSSEC
  // bits) into at most capacity bytes; length gets the new size. Returns the
  // request id, or 0 when the re-encoding does not fit capacity: the entry is
  // then erased and message and length are unchanged.
  uint64_t Add(uint8_t* message, uint32_t& length, uint32_t capacity, const SDnsMessageInfo& info,
               bool localValidation, bool rejectUnsigned, std::any data);
  // answerInfo and addresses: LogDnsReply's reading of answer. True when the
  // answer belongs to its pending request, which is then erased and whose
  // data and flags are handed out.
  bool Complete(uint8_t* answer, uint32_t length, std::any& dataOut, bool& rejectUnsignedOut,
                bool& localValidationOut, const SDnsMessageInfo& answerInfo,
                std::vector<SDnsAnswerAddress>& addresses, uint64_t requestId);
  // Erases every request older than kTimeoutSeconds at now (seconds on the
  // tick clock, platform::TickSeconds), reporting it; fills both sets. now
  // defaults to the program's clock.
  bool CheckTimeouts(std::set<uint64_t>& expired, std::set<uint64_t>& live);
  bool CheckTimeouts(std::set<uint64_t>& expired, std::set<uint64_t>& live, int64_t now);
  void OnError(uint64_t requestId, const std::wstring& name, const std::wstring& error);

  // For tests and the status line.
  size_t Count();
  // The upstream DNS id of a pending request; false when it is not pending.
  bool UpstreamId(uint64_t requestId, uint16_t& out);

 private:
  // Timeout and error alike: the window message, a re-resolution or a
  // captive-portal check. Under m_mutex.
  void ReportFailure(const SPendingRequest& request);
  uint16_t DrawUpstreamId();  // under m_mutex

  std::mutex m_mutex;
  std::map<uint64_t, SPendingRequest> m_requests;  // under m_mutex
  std::atomic<uint64_t> m_nextRequestId{1};
  std::mt19937 m_random;  // under m_mutex; seeded on first use
  bool m_seeded = false;  // under m_mutex
  HostFailedFn m_onHostFailed;  // set before any request
};

// Rewrites a query for upstream with the DNS library: the AD bit for
// rejectUnsigned; CD, EDNS0 payload 4096 and DO for localValidation. out gets
// the library's encoding. False when the library cannot read the query (out
// is then empty).
bool ApplyDnssecFlags(const uint8_t* message, uint32_t length, bool localValidation, bool rejectUnsigned,
                      std::vector<uint8_t>& out);
// The address TTLs of an answer pulled into [ttlMin, ttlMax] (ttlMax wins when
// they cross); true when any changed.
bool ClampAddressTtls(std::vector<SDnsAnswerAddress>& addresses, uint32_t ttlMin, uint32_t ttlMax);
