#include "Quorvane/config/profile.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Quorvane/config/hooks.h"
#include "Quorvane/foundation/address_utils.h"
#include "tests/support/config_records.h"
#include "tests/support/log_capture.h"

namespace {

using testsupport::MakeServer;

CDnsPool MakePool(uint32_t id, std::vector<uint32_t> serverIds, std::vector<uint32_t> relayIds = {}) {
  return testsupport::MakePool(id, L"P" + std::to_wstring(id), EPoolType::Redundancy, std::move(serverIds),
                               std::move(relayIds));
}

// Each call as "kind:server id/relay id", plus the fields a caller relies on.
class RecordingEngine : public CConfigEngineHooks {
 public:
  void OnServerChange(int kind, const CDnsServer& server, const CDnsServer& relay, bool fromCheck) override {
    calls.push_back(std::to_string(kind) + ":" + std::to_string(server.id) + "/" + std::to_string(relay.id));
    if (fromCheck) calls.back() += " check";
    names.push_back(server.name);
  }
  std::vector<std::string> calls;
  std::vector<std::wstring> names;
};

class ProfileTest : public ::testing::Test {
 protected:
  ProfileTest() : m_log(LogDebug) {
    SetConfigEngineHooks(&m_engine);
    CProfile::SetRunning(CProfile());
    g_Configuration.path.clear();
  }
  ~ProfileTest() override {
    SetConfigEngineHooks(nullptr);
    CProfile::SetRunning(CProfile());
    g_Configuration.path.clear();
  }

  // Servers 1 and 2 behind relays 11 and 12 in pool 100; server 3 alone in
  // pool 101 behind relay 11; server 4 in pool 102 without relays.
  void RunRelayConfiguration() {
    CProfile::ChangeRunningLists([](std::vector<CDnsServer>& servers, std::vector<CDnsPool>& pools, auto&) {
      servers = {MakeServer(1, L"S1", EDnsProtocol::DnsCrypt),
                 MakeServer(2, L"S2", EDnsProtocol::DnsCrypt),
                 MakeServer(3, L"S3", EDnsProtocol::DnsCrypt),
                 MakeServer(4, L"S4"),
                 MakeServer(11, L"R11", EDnsProtocol::Relay, "198.51.100.11"),
                 MakeServer(12, L"R12", EDnsProtocol::Relay, "198.51.100.12")};
      pools = {MakePool(100, {1, 2}, {11, 12}), MakePool(101, {3}, {11}), MakePool(102, {4})};
    });
  }

  RecordingEngine m_engine;
  testsupport::LogCapture m_log;
};

TEST_F(ProfileTest, ServerChangesNotifyWhatTheEngineMustDrop) {
  using Edit = void (*)(std::vector<CDnsServer>&);
  struct Case {
    const char* name;
    Edit edit;
    bool changed;
    std::vector<std::string> calls;
  } cases[] = {
      {"identical", [](std::vector<CDnsServer>&) {}, false, {}},
      {"tcp_flag_only", [](std::vector<CDnsServer>& s) { s[3].plain_use_tcp = true; }, false, {}},
      {"dot_host_only", [](std::vector<CDnsServer>& s) { s[3].dot_host_name = "dot.example"; }, false, {}},
      {"port_of_plain", [](std::vector<CDnsServer>& s) { s[3].port = 5353; }, true, {"1:4/0"}},
      {"address_of_pooled_server",
       [](std::vector<CDnsServer>& s) { s[0].address = {192, 0, 2, 9}; },
       true,
       {"1:1/0", "1:1/11", "1:1/12"}},
      {"relay_of_two_pools",
       [](std::vector<CDnsServer>& s) { s[4].port = 444; },
       true,
       {"1:11/0", "1:1/11", "1:2/11", "1:3/11"}},
      {"removed", [](std::vector<CDnsServer>& s) { s.erase(s.begin() + 3); }, true, {"1:4/0"}},
      {"added", [](std::vector<CDnsServer>& s) { s.push_back(MakeServer(5, L"S5")); }, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunRelayConfiguration();
    m_engine.calls.clear();
    std::vector<CDnsServer> edited = g_Configuration.Servers();
    c.edit(edited);
    EXPECT_EQ(CProfile::NotifyServerChanges(edited), c.changed);
    EXPECT_EQ(m_engine.calls, c.calls);
  }
  // The added server is the only one logged.
  EXPECT_EQ(m_log.TakeTexts(), std::vector<std::wstring>{L"Server added: name=S5, id=5"});
}

TEST_F(ProfileTest, ChangedServerPassesRunningRecordsAndDefaultsForMissingMembers) {
  CProfile::ChangeRunningLists([](std::vector<CDnsServer>& servers, std::vector<CDnsPool>& pools, auto&) {
    servers = {MakeServer(1, L"S1", EDnsProtocol::DnsCrypt)};
    pools = {MakePool(100, {1}, {77})};  // relay 77 does not exist
  });
  std::vector<CDnsServer> edited = g_Configuration.Servers();
  edited[0].name = L"renamed";
  EXPECT_TRUE(CProfile::NotifyServerChanges(edited));
  EXPECT_EQ(m_engine.calls, (std::vector<std::string>{"1:1/0", "1:1/0"}));
  // The engine learns about the record it holds state for, not the edit.
  EXPECT_EQ(m_engine.names, (std::vector<std::wstring>{L"S1", L"S1"}));
}

TEST_F(ProfileTest, PoolChangesCompareRelayPairings) {
  using Edit = void (*)(std::vector<CDnsPool>&);
  struct Case {
    const char* name;
    Edit edit;
    bool changed;
    std::vector<std::string> calls;
    std::vector<std::wstring> lines;
  } cases[] = {
      {"identical", [](std::vector<CDnsPool>&) {}, false, {}, {}},
      {"pool_without_relays_changes", [](std::vector<CDnsPool>& p) { p[2].serverIds = {4, 1}; }, false, {}, {}},
      {"relay_removed", [](std::vector<CDnsPool>& p) { p[0].relayIds = {11}; }, true, {"1:1/12", "1:2/12"}, {}},
      {"relay_added",
       [](std::vector<CDnsPool>& p) { p[1].relayIds = {11, 12}; },
       true,
       {},
       {L"Server added: name=S3, id=3, relayName=R12, relayId=12"}},
      {"member_order_only",
       [](std::vector<CDnsPool>& p) { p[0].serverIds = {2, 1}; p[0].relayIds = {12, 11}; },
       false,
       {},
       {}},
      {"pool_removed", [](std::vector<CDnsPool>& p) { p.erase(p.begin() + 1); }, true, {"1:3/11"}, {}},
      {"unknown_member_logged_as_default",
       [](std::vector<CDnsPool>& p) { p.push_back(MakePool(103, {9}, {11})); },
       true,
       {},
       {L"Server added: name=New DNS server, id=0, relayName=R11, relayId=11"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunRelayConfiguration();
    m_engine.calls.clear();
    m_log.Take();
    std::vector<CDnsPool> edited = g_Configuration.Pools();
    c.edit(edited);
    EXPECT_EQ(CProfile::NotifyPoolChanges(edited), c.changed);
    EXPECT_EQ(m_engine.calls, c.calls);
    EXPECT_EQ(m_log.TakeTexts(), c.lines);
  }
}

TEST_F(ProfileTest, SetServersNotifiesThenReplaces) {
  RunRelayConfiguration();
  std::vector<CDnsServer> edited = {MakeServer(4, L"S4")};
  CProfile::SetServers(edited);
  EXPECT_EQ(m_engine.calls.size(), 5u);  // S1, S2, S3, R11, R12 went away
  std::vector<CDnsServer> servers;
  CProfile::GetServers(servers);
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_EQ(servers[0].id, 4u);
}

TEST_F(ProfileTest, AccessorsCopyTheRunningLists) {
  RunRelayConfiguration();
  std::vector<CRule> rules(2);
  CProfile::SetRules(rules);
  std::vector<CRule> outRules;
  std::vector<CDnsServer> outServers;
  std::vector<CDnsPool> outPools;
  CProfile::GetRulesServersAndPools(outRules, outServers, outPools);
  EXPECT_EQ(outRules.size(), 2u);
  EXPECT_EQ(outServers.size(), 6u);
  EXPECT_EQ(outPools.size(), 3u);
  outServers.clear();
  CProfile::GetServersAndPools(outServers, outPools);
  EXPECT_EQ(outServers.size(), 6u);
  outServers[0].name = L"changed copy";
  EXPECT_EQ(g_Configuration.Servers()[0].name, L"S1");
  EXPECT_TRUE(m_engine.calls.empty());
}

// Every writer publishes the lists the engine reads; lists taken before stay
// as they were, so a query that holds them sees one configuration.
TEST_F(ProfileTest, EveryWriterPublishesAndTakenListsStayAsTheyWere) {
  struct SCase {
    const char* name;
    std::function<void()> write;
    size_t servers, pools, rules;
  };
  CProfile imported;
  imported.servers = {MakeServer(7, L"S7")};
  imported.rules.resize(4);
  const SCase cases[] = {
      {"SetServers", [] { CProfile::SetServers({MakeServer(1, L"S1"), MakeServer(2, L"S2")}); }, 2, 0, 0},
      {"SetRules", [] { CProfile::SetRules(std::vector<CRule>(3)); }, 2, 0, 3},
      {"ChangeRunningLists",
       [] { CProfile::ChangeRunningLists([](auto&, std::vector<CDnsPool>& pools, auto&) { pools = {MakePool(9, {1})}; }); },
       2, 1, 3},
      {"SetRunning", [&] { CProfile::SetRunning(imported); }, 1, 0, 4},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::shared_ptr<const SRunningLists> before = CProfile::RunningLists();
    const SRunningLists kept = *before;
    c.write();
    std::shared_ptr<const SRunningLists> after = CProfile::RunningLists();
    EXPECT_EQ(after->servers.size(), c.servers);
    EXPECT_EQ(after->pools.size(), c.pools);
    EXPECT_EQ(after->rules.size(), c.rules);
    EXPECT_EQ(after->servers.size(), g_Configuration.Servers().size());
    EXPECT_EQ(after->rules.size(), g_Configuration.Rules().size());
    EXPECT_EQ(before->servers.size(), kept.servers.size());
    EXPECT_EQ(before->pools.size(), kept.pools.size());
    EXPECT_EQ(before->rules.size(), kept.rules.size());
  }
}

TEST_F(ProfileTest, SetRunningCopiesEverythingButThePath) {
  g_Configuration.path = L"/running/Configuration.xml";
  CProfile imported;
  imported.path = L"/elsewhere/Imported.xml";
  imported.ResetToDefault();
  imported.servers = {MakeServer(1, L"S1")};
  imported.settings.ttlMin = 30;
  imported.settings.captivePortalDetection = true;
  imported.checkerSettings.testsPerTime = 3;
  CProfile::SetRunning(imported);
  EXPECT_EQ(g_Configuration.path, L"/running/Configuration.xml");
  EXPECT_EQ(g_Configuration.Servers().size(), 1u);
  EXPECT_EQ(g_Configuration.Rules().size(), 1u);
  EXPECT_EQ(g_Configuration.settings.ttlMin, 30u);
  EXPECT_TRUE(g_Configuration.settings.captivePortalDetection);
  EXPECT_EQ(g_Configuration.checkerSettings.testsPerTime, 3);
  EXPECT_TRUE(m_engine.calls.empty());
}

TEST_F(ProfileTest, DefaultsResetAndIsDefault) {
  CProfile profile;
  EXPECT_TRUE(profile.rules.empty());
  EXPECT_FALSE(profile.IsDefault());
  const SSettings& s = profile.settings;
  EXPECT_TRUE(s.ignore_rule_if_interface_down && s.blockTcpPort53 && s.clearDnsCache);
  EXPECT_FALSE(s.captivePortalDetection || s.interceptOthers);
  EXPECT_EQ(s.ttlMin, 0u);
  EXPECT_EQ(s.ttlMax, 2147483647u);
  EXPECT_EQ(profile.checkerSettings.testTarget, g_DefaultTestHost);
  EXPECT_EQ(profile.checkerSettings.testsPerTime, 15);
  ASSERT_EQ(profile.checkerSettings.importUrls.size(), 3u);
  EXPECT_NE(profile.checkerSettings.importUrls[1].find("public-resolvers.md"), std::string::npos);
  EXPECT_NE(profile.checkerSettings.importUrls[2].find("relays.md"), std::string::npos);
  for (const std::string& url : profile.checkerSettings.importUrls) EXPECT_EQ(url.rfind("https://", 0), 0u);

  profile.path = L"/kept.xml";
  profile.servers = {MakeServer(1, L"S1")};
  profile.pools = {MakePool(2, {1})};
  profile.rules.resize(3);
  profile.settings.blockTcpPort53 = false;
  profile.checkerSettings.importUrls.clear();
  profile.ResetToDefault();
  EXPECT_EQ(profile.path, L"/kept.xml");
  EXPECT_TRUE(profile.servers.empty() && profile.pools.empty());
  ASSERT_EQ(profile.rules.size(), 1u);
  EXPECT_EQ(profile.rules[0].name, L"Default");
  EXPECT_EQ(profile.rules[0].action, ERuleAction::Bypass);
  EXPECT_TRUE(profile.rules[0].enabled && profile.rules[0].Match("any.example"));
  EXPECT_TRUE(profile.settings.blockTcpPort53);
  EXPECT_EQ(profile.checkerSettings.importUrls.size(), 3u);
  EXPECT_TRUE(profile.IsDefault());

  profile.rules[0].name = L"Whatever";
  EXPECT_TRUE(profile.IsDefault());
  profile.rules.emplace_back();
  EXPECT_FALSE(profile.IsDefault());
  profile.rules.pop_back();
  profile.pools = {MakePool(2, {})};
  EXPECT_FALSE(profile.IsDefault());
}

}  // namespace
