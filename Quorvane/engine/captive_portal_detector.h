// The captive-portal detector: failed upstream requests (and, while a portal
// is considered present, every bypassed query) start a check; a short-lived
// thread asks the connectivity-test host for its test file over plain HTTP
// and compares the reply with the expected text. Anything else answering
// (a portal's page) sets the detected flag, under which the rule evaluation
// bypasses every query; a later check that sees the expected text clears it
// and the engine forgets what it learnt meanwhile.
//
// On Linux: a std::thread cannot be waited on for zero milliseconds, and
// replacing one while others read it is a race, so checks run detached and a
// generation, bumped under s_mutex by each start, decides which one is
// current; only the current check stores its result and clears "running".
// connect() has no time-out of its own (non-blocking, polled); SO_RCVTIMEO
// takes a timeval and its time-out comes back as EAGAIN (reported as 10060).
//
// Threads: StartCheck from the engine's worker, the transports' error paths
// and the rule evaluation; the flags are atomics read without a lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class CCaptivePortalHooks;
class CDnsEngine;

class CCaptivePortalDetector {
 public:
  static constexpr uint64_t kCheckIntervalMs = 3000;  // at most one start per this
  static constexpr int kReceiveTimeoutMs = 5000;      // the whole reply, however it trickles
  static constexpr int kConnectTimeoutMs = 5000;
  static constexpr size_t kReplyBufferSize = 10000;
  static constexpr uint16_t kProbePort = 80;
  static constexpr char kTestFile[] = "/connecttest.txt";
  static constexpr char kExpectedText[] = "Microsoft Connect Test";
  static constexpr char kTestHost[] = "www.msftconnecttest.com";

  // What every exit of IsRedirect throws and its own handler catches.
  struct except {
    std::wstring text;
    int code = -1;  // an error number or count; -1 for none
    bool redirect = false;
  };

  // Written by the current check only; read by the rule evaluation.
  static std::atomic<bool> s_detected;
  // The clock's tick at the start of the last check; claimed by compare-exchange.
  static std::atomic<uint64_t> s_lastCheckTick;

  // Starts a check unless one started less than kCheckIntervalMs ago.
  static void StartCheck();
  // The body of a check's thread; generation tells whether it is still current.
  static void CheckThread(uint64_t generation);
  // The probe: true when something other than the test host answers.
  static bool IsRedirect();
  // The current check has not finished.
  static bool IsCheckRunning();
  // The host the probe resolves and names in its request.
  static std::string TestHost();

  // The detector as the configuration's captive-portal hooks.
  static CCaptivePortalHooks& Hooks();

  // Tests only: the probe's host and port (an empty host restores both), and
  // the engine a portal gone resets (null: g_DnsEngine).
  static void SetProbeForTesting(const std::string& host, uint16_t port);
  static void SetEngineForTesting(CDnsEngine* engine);
  // Tests only: waits (bounded) until no check thread, current or superseded,
  // is left; false when one still runs.
  static bool WaitForChecksForTesting(int timeoutMs);

 private:
  static std::mutex s_mutex;
  static std::condition_variable s_threadEnded;
  static uint64_t s_generation;  // under s_mutex
  static int s_threads;          // under s_mutex: check threads alive
  static std::atomic<bool> s_running;  // the current check runs; written under s_mutex
};
