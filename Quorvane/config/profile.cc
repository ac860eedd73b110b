#include "Quorvane/config/profile.h"

#include <map>
#include <set>
#include <utility>

#include "Quorvane/config/hooks.h"
#include "Quorvane/foundation/log.h"

CRunningProfile g_Configuration;
std::mutex g_ConfigurationMutex;

namespace {

// Replaced whole under g_ConfigurationMutex, after every change of the lists.
std::shared_ptr<const SRunningLists> g_RunningLists = std::make_shared<SRunningLists>();

void PublishLocked() {
  auto lists = std::make_shared<SRunningLists>();
  lists->servers = g_Configuration.Servers();
  lists->pools = g_Configuration.Pools();
  lists->rules = g_Configuration.Rules();
  g_RunningLists = std::move(lists);
}

}  // namespace

std::vector<std::string> SDnsCheckerSettings::DefaultImportUrls() {
  return {
      // The maker's own list has no public home yet; a reserved name keeps
      // an import from reaching whoever owns a made-up one.
      "https://brevant.example/tarnwick/resolvers.md",
      "https://raw.githubusercontent.com/DNSCrypt/dnscrypt-resolvers/master/v2/public-resolvers.md",
      "https://raw.githubusercontent.com/DNSCrypt/dnscrypt-resolvers/master/v2/relays.md",
  };
}

void CProfile::GetServersAndPools(std::vector<CDnsServer>& outServers, std::vector<CDnsPool>& outPools) {
  std::lock_guard lock(g_ConfigurationMutex);
  outServers = g_Configuration.servers;
  outPools = g_Configuration.pools;
}

void CProfile::GetRulesServersAndPools(std::vector<CRule>& outRules, std::vector<CDnsServer>& outServers,
                                       std::vector<CDnsPool>& outPools) {
  std::lock_guard lock(g_ConfigurationMutex);
  outRules = g_Configuration.rules;
  outServers = g_Configuration.servers;
  outPools = g_Configuration.pools;
}

void CProfile::GetServers(std::vector<CDnsServer>& outServers) {
  std::lock_guard lock(g_ConfigurationMutex);
  outServers = g_Configuration.servers;
}

void CProfile::SetServers(const std::vector<CDnsServer>& newServers) {
  NotifyServerChanges(newServers);
  ChangeRunningLists([&](std::vector<CDnsServer>& servers, auto&, auto&) { servers = newServers; });
}

void CProfile::SetRules(const std::vector<CRule>& newRules) {
  ChangeRunningLists([&](auto&, auto&, std::vector<CRule>& rules) { rules = newRules; });
}

void CProfile::ChangeRunningLists(const ListsChange& change) {
  std::lock_guard lock(g_ConfigurationMutex);
  change(g_Configuration.servers, g_Configuration.pools, g_Configuration.rules);
  PublishLocked();
}

std::shared_ptr<const SRunningLists> CProfile::RunningLists() {
  std::lock_guard lock(g_ConfigurationMutex);
  return g_RunningLists;
}

void CProfile::SetRunning(const CProfile& profile) {
  if (&profile == &g_Configuration) return;
  std::lock_guard lock(g_ConfigurationMutex);
  g_Configuration.servers = profile.servers;
  g_Configuration.pools = profile.pools;
  g_Configuration.rules = profile.rules;
  g_Configuration.settings = profile.settings;
  g_Configuration.checkerSettings = profile.checkerSettings;
  PublishLocked();
}

namespace {

// The running record with that id, or a default record when there is none.
CDnsServer RunningServer(const std::map<uint32_t, const CDnsServer*>& running, uint32_t id) {
  auto it = running.find(id);
  return it == running.end() ? CDnsServer() : *it->second;
}

void DropServer(const CDnsServer& server, const CDnsServer& relay) {
  ConfigEngineHooks().OnServerChange(kServerChangeRemoved, server, relay, false);
}

}  // namespace

bool CProfile::NotifyServerChanges(const std::vector<CDnsServer>& newServers) {
  const std::vector<CDnsServer>& runningServers = g_Configuration.servers;
  const std::vector<CDnsPool>& runningPools = g_Configuration.pools;
  std::map<uint32_t, const CDnsServer*> running;
  for (const CDnsServer& server : runningServers) running.emplace(server.id, &server);

  bool changed = false;
  std::set<uint32_t> newIds;
  for (const CDnsServer& server : newServers) {
    newIds.insert(server.id);
    auto it = running.find(server.id);
    if (it == running.end()) {
      CLogMessage().Append(LogDebug, L"Server added: ").Append(LogDebug, L"name=").Append(LogDebug, server.name)
          .Append(LogDebug, L", id=").Append(LogDebug, server.id);
      changed = true;
      continue;
    }
    const CDnsServer& old = *it->second;
    if (server.IsEqual(old, false, false)) continue;
    changed = true;
    DropServer(old, CDnsServer());
    bool isRelay = old.protocol == EDnsProtocol::Relay;
    for (const CDnsPool& pool : runningPools) {
      if (isRelay) {
        for (uint32_t relayId : pool.relayIds) {
          if (relayId != old.id) continue;
          for (uint32_t serverId : pool.serverIds) DropServer(RunningServer(running, serverId), old);
        }
      } else {
        for (uint32_t serverId : pool.serverIds) {
          if (serverId != old.id) continue;
          for (uint32_t relayId : pool.relayIds) DropServer(old, RunningServer(running, relayId));
        }
      }
    }
  }
  for (const CDnsServer& old : runningServers) {
    if (newIds.count(old.id)) continue;
    DropServer(old, CDnsServer());
    changed = true;
  }
  return changed;
}

bool CProfile::NotifyPoolChanges(const std::vector<CDnsPool>& newPools) {
  std::map<uint32_t, const CDnsServer*> running;
  for (const CDnsServer& server : g_Configuration.servers) running.emplace(server.id, &server);

  // (relay id, server id) -> seen; ordered, so the log lines come out in a
  // stable order.
  std::map<std::pair<uint32_t, uint32_t>, bool> pairings;
  std::vector<std::pair<uint32_t, uint32_t>> order;
  for (const CDnsPool& pool : newPools)
    for (uint32_t relayId : pool.relayIds)
      for (uint32_t serverId : pool.serverIds)
        if (pairings.emplace(std::make_pair(relayId, serverId), false).second) order.emplace_back(relayId, serverId);

  bool changed = false;
  for (const CDnsPool& pool : g_Configuration.pools) {
    for (uint32_t relayId : pool.relayIds) {
      for (uint32_t serverId : pool.serverIds) {
        auto it = pairings.find({relayId, serverId});
        if (it != pairings.end()) {
          it->second = true;
          continue;
        }
        DropServer(RunningServer(running, serverId), RunningServer(running, relayId));
        changed = true;
      }
    }
  }
  for (const auto& key : order) {
    if (pairings[key]) continue;
    CDnsServer server = RunningServer(running, key.second);
    CDnsServer relay = RunningServer(running, key.first);
    CLogMessage().Append(LogDebug, L"Server added: ").Append(LogDebug, L"name=").Append(LogDebug, server.name)
        .Append(LogDebug, L", id=").Append(LogDebug, server.id).Append(LogDebug, L", relayName=")
        .Append(LogDebug, relay.name).Append(LogDebug, L", relayId=").Append(LogDebug, relay.id);
    changed = true;
  }
  return changed;
}

void CProfile::ResetToDefault() {
  servers.clear();
  pools.clear();
  rules.assign(1, CRule());
  rules.front().InitDefault();
  settings = SSettings();
  checkerSettings = SDnsCheckerSettings();
}

bool CProfile::IsDefault() const { return servers.empty() && pools.empty() && rules.size() == 1; }
