// A server checker's entry and the result it gets back, and how results
// reach the window that started the test. The checker itself is not in this
// build; the engine posts the verdict on a test answer through here.
//
// Threads: results are made on any answering thread and cross to the owner's
// thread only as posted WM_DNSCHECK_RESULT messages; the receiver frees them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/platform/window_messages.h"

constexpr unsigned WM_DNSCHECK_RESULT = platform::WM_USER + 0x83;

struct SServerCheck {
  CDnsServer server;          // the server or relay under test
  CDnsServer dnsCryptServer;  // the DNSCrypt server a relay is tested through; id 0 for none
  std::chrono::steady_clock::time_point startTime{};
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
  std::chrono::steady_clock::time_point time{};
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
