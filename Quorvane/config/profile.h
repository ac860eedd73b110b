// The whole configuration a conf-file holds, and the running one.
//
// g_Configuration is the running profile. g_ConfigurationMutex guards only
// its servers, pools and rules, which only CProfile's setters and
// ChangeRunningLists write (all on the UI thread); each change also makes
// the immutable SRunningLists that the engine takes for every query, so a
// query sees one consistent configuration without copying it. path,
// settings and checkerSettings are written only on the UI thread without the
// lock; the engine's threads read settings without it, which is why its
// fields are atomics. No other lock is taken while g_ConfigurationMutex is
// held (the log lock aside).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Quorvane/config/atomic_value.h"
#include "Quorvane/config/dns_pool.h"
#include "Quorvane/config/dns_server.h"
#include "Quorvane/config/rule.h"

// Engine settings; member names are the conf-file keys.
struct SSettings {
  // A processing rule whose interface is down or that has no usable target
  // passes the query to the next rule instead of blocking it.
  CAtomicValue<bool> ignore_rule_if_interface_down{true};
  CAtomicValue<bool> blockTcpPort53{true};  // the driver blocks TCP connections to port 53
  CAtomicValue<bool> clearDnsCache{true};   // flush the system cache at start and after each save
  CAtomicValue<bool> captivePortalDetection{false};
  CAtomicValue<bool> interceptOthers{false};  // also DNS packets injected by other filters
  CAtomicValue<uint32_t> ttlMin{0};           // seconds, A and AAAA answers
  CAtomicValue<uint32_t> ttlMax{2147483647};  // seconds, A and AAAA answers
};

// Server-check and resolver-list import settings; UI thread only.
struct SDnsCheckerSettings {
  std::string testTarget = g_DefaultTestHost;  // queried by server checks and import tests
  int32_t testsPerTime = 15;                   // servers checked at the same time
  std::vector<std::string> importUrls = DefaultImportUrls();

  static std::vector<std::string> DefaultImportUrls();
};

// The running servers, pools and rules as one whole that never changes.
struct SRunningLists {
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  std::vector<CRule> rules;  // evaluation order, the Default rule last
};

class CProfile {
 public:
  std::wstring path;  // the conf-file read from or written to
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  std::vector<CRule> rules;  // evaluation order, the Default rule last
  SSettings settings;
  SDnsCheckerSettings checkerSettings;

  // Accessors of g_Configuration; each holds g_ConfigurationMutex only while
  // it copies.
  static void GetServersAndPools(std::vector<CDnsServer>& outServers, std::vector<CDnsPool>& outPools);
  // One lock for the three, so the copies belong together.
  static void GetRulesServersAndPools(std::vector<CRule>& outRules, std::vector<CDnsServer>& outServers,
                                      std::vector<CDnsPool>& outPools);
  static void GetServers(std::vector<CDnsServer>& outServers);
  // Tells the engine what changed (NotifyServerChanges, outside the lock),
  // then replaces the running list. UI thread.
  static void SetServers(const std::vector<CDnsServer>& newServers);
  // Rules need no notification: the engine reads them for every query.
  static void SetRules(const std::vector<CRule>& newRules);
  // Any other change of the running lists: change runs under
  // g_ConfigurationMutex, then the lists are published. No notification.
  using ListsChange = std::function<void(std::vector<CDnsServer>& servers, std::vector<CDnsPool>& pools,
                                         std::vector<CRule>& rules)>;
  static void ChangeRunningLists(const ListsChange& change);
  // The lists as last published; any thread.
  static std::shared_ptr<const SRunningLists> RunningLists();
  // Copies lists, settings and checkerSettings into g_Configuration under
  // one lock; the running path stays. UI thread.
  static void SetRunning(const CProfile& profile);

  // Compare the new list with the running one (read without the lock: the UI
  // thread is the only writer) and tell the engine which transport state to
  // drop. True when anything changed. The caller replaces the list after.
  static bool NotifyServerChanges(const std::vector<CDnsServer>& newServers);
  // Compares the (relay, server) pairings of pools that have relays.
  static bool NotifyPoolChanges(const std::vector<CDnsPool>& newPools);

  // No servers or pools, only the Default rule, default settings; path stays.
  void ResetToDefault();
  // No servers, no pools and exactly one rule, whatever its name.
  bool IsDefault() const;

  // The conf-file (defined with its reader and writer). path, when not
  // empty, names the file instead of this->path. Load appends to the lists.
  bool Load(std::wstring& error, bool& openFailed, bool& checkVersion, const std::wstring& path);
  bool Save(std::wstring& error, const std::wstring& path) const;
  // Load and Save over text in memory; file only places relative hosts-file
  // names, as the conf-file's own path does for Load.
  bool LoadFromText(std::wstring& error, bool& checkVersion, const std::string& text, const std::wstring& file);
  bool SaveToText(std::wstring& error, std::string& text) const;
};

// The running profile. Its lists are read through Servers(), Pools() and
// Rules() (on the UI thread, or under g_ConfigurationMutex) and written only
// through CProfile, so that none is changed without being published.
class CRunningProfile : public CProfile {
 public:
  const std::vector<CDnsServer>& Servers() const { return servers; }
  const std::vector<CDnsPool>& Pools() const { return pools; }
  const std::vector<CRule>& Rules() const { return rules; }

 private:
  friend class CProfile;
  using CProfile::Load;
  using CProfile::ResetToDefault;
  using CProfile::pools;
  using CProfile::rules;
  using CProfile::servers;
};

extern CRunningProfile g_Configuration;
extern std::mutex g_ConfigurationMutex;
