// The server checker: tests upstream servers and DNSCrypt relays with real A
// queries sent through the engine, and measures their round-trip time. Each
// owner window keeps its own checker; results come back to it as posted
// WM_DNSCHECK_RESULT messages, made by the engine when a test's answer
// arrives or by the checker itself (time-out, composition failure).
//
// Times: startTickMs and a result's tickMs are the clock module's tick (so a
// fake clock drives rtt and the 3-s limit); nextCheckTime is its wall time.
//
// Threads: a checker runs entirely on its owner's thread (timer, message
// handler, commands); results cross threads only as posted messages, whose
// receiver calls OnResult and then frees them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <optional>
#include <string>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/platform/window_messages.h"

class CDnsEngine;

constexpr unsigned WM_DNSCHECK_RESULT = platform::WM_USER + 0x83;

struct SServerCheck {
  CDnsServer server;          // the server or relay under test
  CDnsServer dnsCryptServer;  // the DNSCrypt server a relay is tested through; id 0 for none
  uint64_t startTickMs = 0;   // platform::GetTickCount64 at the start; 0 when never started
  platform::HWND owner = 0;
  bool warmedUp = false;
  bool pending = false;
  bool running = false;
  bool done = false;
  uint32_t sequence = 0;
  std::string testHost;
  int recheckSeconds = 0;   // 0: one shot
  int64_t nextCheckTime = 0;  // seconds since 1970; 0 for none
  int retriesLeft = 0;      // 1 for DoQ servers
};

// Travels in WM_DNSCHECK_RESULT's wParam; the receiving window deletes it.
struct SServerCheckResult {
  uint32_t serverId = 0;  // the relay's when a relay was tested
  uint64_t tickMs = 0;    // platform::GetTickCount64 when it was made
  int rttMs = -1;
  bool ok = false;
  uint32_t sequence = 0;
  std::wstring text;  // empty on success
  bool retryAllowed = false;
};

extern std::atomic<uint32_t> g_ServerCheckSequence;

// Posts a new result to owner; false (the result freed) when the post fails.
bool PostCheckResult(platform::HWND owner, const CDnsServer& server, const std::optional<CDnsServer>& relay, bool ok,
                     uint32_t sequence, const std::wstring& text, bool retryAllowed);

// What the checker needs of the engine.
class CServerCheckEngine {
 public:
  virtual ~CServerCheckEngine() = default;
  // Registers the composed query as a test of check and sends it.
  virtual bool SendTestRequest(uint8_t* message, uint32_t& length, const SDnsMessageInfo& info,
                               const SServerCheck& check) = 0;
  // Drops the engine state a finished test made (kind 1, check set).
  virtual void OnServerChange(int kind, const CDnsServer& server, const CDnsServer& relay, bool check) = 0;
};

// The real engine behind the checker's interface.
class CEngineCheckTarget : public CServerCheckEngine {
 public:
  explicit CEngineCheckTarget(CDnsEngine& engine) : m_engine(engine) {}
  bool SendTestRequest(uint8_t* message, uint32_t& length, const SDnsMessageInfo& info,
                       const SServerCheck& check) override;
  void OnServerChange(int kind, const CDnsServer& server, const CDnsServer& relay, bool check) override;

 private:
  CDnsEngine& m_engine;
};

class CDnsServerChecker {
 public:
  // A test without a result after this long gets "Timeout".
  static constexpr int64_t kTimeoutMs = 3000;

  // engine: null for g_DnsEngine; not owned.
  explicit CDnsServerChecker(CServerCheckEngine* engine = nullptr);
  ~CDnsServerChecker();
  CDnsServerChecker(const CDnsServerChecker&) = delete;
  CDnsServerChecker& operator=(const CDnsServerChecker&) = delete;

  // An empty testHost (after its final dots are dropped) takes Start's default.
  void Add(const CDnsServer& server, const CDnsServer& dnsCryptServer, std::string testHost, int recheckSeconds);
  // Makes every entry pending and starts testsPerTime tests.
  void Start(platform::HWND owner, const std::string& defaultTestHost);
  // Starts the test of the next due entry; false when none is due or its
  // test failed before it was sent (its failed result is then posted).
  bool SendNext();
  // The owner's WM_DNSCHECK_RESULT handler, before it reads the result; may
  // fill in rttMs; never frees it. False when the result was not taken: no
  // entry has its sequence, or that entry's test is already decided (a late
  // answer, a second "Timeout").
  bool OnResult(SServerCheckResult* result);
  // The owner's timer: "Timeout" for each test running longer than kTimeoutMs.
  void CheckTimeouts();
  // Ends every unfinished entry and empties the list.
  void Stop();

  // In insertion order; owners may set nextCheckTime and clear warmedUp.
  std::list<SServerCheck> m_checks;

 private:
  // The server a test reports, and its relay.
  static const CDnsServer& TestedServer(const SServerCheck& check);
  static std::optional<CDnsServer> TestedRelay(const SServerCheck& check);
  void PostFailure(const SServerCheck& check, const std::wstring& text, bool retryAllowed);
  void EndTest(const SServerCheck& check);
  void LogResult(const SServerCheck& check, const SServerCheckResult& result, int64_t elapsedMs);

  CServerCheckEngine* m_engine;
};
