// Calls the configuration makes upward, into the engine and the captive-portal
// detector, which are built on top of it. The application installs the real
// ones at start-up; until then (and in tests that install none) the defaults
// do nothing and report no detector. Install before the threads that use
// them start; the objects are not owned and must outlive their use.
#pragma once

#include <string>

class CDnsServer;

// What the engine offers the configuration.
class CConfigEngineHooks {
 public:
  virtual ~CConfigEngineHooks() = default;
  // kind 0: server (behind relay) was added; kind 1: removed or changed, so
  // the engine drops its transport state for server, or for server behind
  // relay when relay.id is not 0. fromCheck marks the server checker's test
  // copies. UI thread.
  virtual void OnServerChange(int kind, const CDnsServer& server, const CDnsServer& relay, bool fromCheck);
};

constexpr int kServerChangeAdded = 0;
constexpr int kServerChangeRemoved = 1;

// What the captive-portal detector offers the rule evaluation. Called on the
// thread that evaluates queries, once per query: answers must be cheap.
class CCaptivePortalHooks {
 public:
  virtual ~CCaptivePortalHooks() = default;
  // A detection thread exists and has not finished.
  virtual bool IsDetectionRunning() const;
  // A portal is considered present.
  virtual bool IsDetected() const;
  // Starts a detection unless one started less than 3000 ms ago.
  virtual void StartCheck();
  // The host the detector probes; empty when there is none.
  virtual std::string ConnectivityTestHost() const;
};

// nullptr restores the default.
void SetConfigEngineHooks(CConfigEngineHooks* hooks);
void SetCaptivePortalHooks(CCaptivePortalHooks* hooks);
CConfigEngineHooks& ConfigEngineHooks();
CCaptivePortalHooks& CaptivePortalHooks();
