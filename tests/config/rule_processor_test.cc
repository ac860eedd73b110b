#include "Quorvane/config/rule_processor.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Quorvane/config/hooks.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/platform/net_adapters.h"
#include "tests/support/config_records.h"
#include "tests/support/log_capture.h"

namespace {

constexpr char kTestHost[] = "probe.test";

using testsupport::MakePool;
using testsupport::MakeServer;

CRule MakeRule(const wchar_t* name, ERuleAction action, uint32_t actionId = 0, const wchar_t* hostnames = L"*") {
  CRule rule;
  rule.name = name;
  rule.action = action;
  rule.action_id = actionId;
  std::wstring error;
  EXPECT_TRUE(rule.SetHostnames(hostnames, L"", error)) << error;
  return rule;
}

CRule Defaults() {
  CRule rule;
  rule.InitDefault();
  return rule;
}

CRule OnInterface(CRule rule, const wchar_t* id, ENetInterfaceIdType type = InterfaceIdAdapter,
                  const wchar_t* name = L"") {
  rule.interface_id = id;
  rule.interface_id_type = type;
  rule.interface_name = name;
  return rule;
}

CRule Disabled(CRule rule) {
  rule.enabled = false;
  return rule;
}

CRule Dropping(CRule rule) {
  rule.block_return_zero_ip = false;
  return rule;
}

SNetInterface MakeInterface(const wchar_t* id, const wchar_t* name, bool up, std::vector<const char*> addresses,
                            std::vector<const char*> dnsServers) {
  SNetInterface netInterface;
  netInterface.id = id;
  netInterface.name = name;
  netInterface.up = up;
  for (const char* a : addresses) netInterface.addresses.push_back(TextToSockaddr(a));
  for (const char* a : dnsServers) netInterface.dnsServers.push_back(TextToSockaddr(a));
  return netInterface;
}

class FakeInterfaces : public CRuleInterfaceSource {
 public:
  bool FindInterface(ENetInterfaceIdType idType, const std::wstring& text, SNetInterface& out) const override {
    return ::FindInterface(table, idType, text, out);
  }
  std::vector<sockaddr_storage> SystemDnsServers() const override { return system; }

  NetInterfaceMap table;
  std::vector<sockaddr_storage> system;
};

class FakePortal : public CCaptivePortalHooks {
 public:
  bool IsDetectionRunning() const override { return running; }
  bool IsDetected() const override { return detected; }
  void StartCheck() override { ++checks; }
  std::string ConnectivityTestHost() const override { return kTestHost; }

  bool running = false;
  bool detected = false;
  int checks = 0;
};

// What one evaluation handed out.
struct SOutcome {
  bool result = false;
  bool block = true;  // Process must reset it
  bool fromRedundancyPool = true;
  std::wstring server, relay, rule;
  std::vector<sockaddr_storage> localAddresses;
};

// One evaluation's world: the configuration, interfaces and portal hooks.
class CEnvironment {
 public:
  CEnvironment() {
    CProfile::SetRunning(CProfile());
    g_Configuration.path.clear();
    SetCaptivePortalHooks(&m_portal);
    for (SNetInterface netInterface : {MakeInterface(L"{eth0}", L"eth0", true, {"10.0.0.5"}, {"10.0.0.53"}),
                                       MakeInterface(L"{wlan0}", L"wlan0", false, {}, {"10.1.0.53"})})
      m_interfaces.table[netInterface.id] = netInterface;
    m_interfaces.system = {TextToSockaddr("192.0.2.53"), TextToSockaddr("2001:db8::53")};
    m_processor.interfaces = &m_interfaces;
    m_processor.host = "a.example";
    m_processor.servers = {
        MakeServer(1, L"S1", EDnsProtocol::Plain, "192.0.2.1", EServerStatus::Ok, 40),
        MakeServer(2, L"S2", EDnsProtocol::Plain, "192.0.2.2", EServerStatus::Ok, 40),
        MakeServer(3, L"SC", EDnsProtocol::DnsCrypt, "192.0.2.3", EServerStatus::Unknown, -1),
        MakeServer(4, L"SD", EDnsProtocol::DnsCrypt, "192.0.2.4", EServerStatus::Failed, 5),
        MakeServer(11, L"R1", EDnsProtocol::Relay, "198.51.100.1", EServerStatus::Ok, 80),
        MakeServer(12, L"R2", EDnsProtocol::Relay, "198.51.100.2", EServerStatus::Ok, 20),
    };
    m_processor.pools = {
        MakePool(100, L"Red", EPoolType::Redundancy, {1, 2}),
        MakePool(101, L"Relayed", EPoolType::Redundancy, {3, 4}, {11, 12}),
        MakePool(102, L"Ghost", EPoolType::Redundancy, {3}, {99}),
        MakePool(103, L"Bal", EPoolType::Balancing, {2}),
    };
  }
  ~CEnvironment() {
    SetCaptivePortalHooks(nullptr);
    CProfile::SetRunning(CProfile());
    g_Configuration.path.clear();
  }

  SOutcome Run() {
    SOutcome out;
    CDnsServer server;
    server.name = L"untouched";
    std::optional<CDnsServer> relay;
    CRule rule;
    rule.name = L"caller's";
    out.result = m_processor.Process(out.localAddresses, server, relay, rule, out.block, out.fromRedundancyPool);
    out.server = server.name;
    out.relay = relay ? relay->name : L"";
    out.rule = rule.name;
    return out;
  }

  FakeInterfaces m_interfaces;
  FakePortal m_portal;
  CRuleProcessor m_processor;
};

using Tweak = std::function<void(CRuleProcessor&, SSettings&, FakePortal&)>;

struct SCase {
  const char* name;
  std::vector<CRule> rules;
  Tweak tweak;
  int level;
  bool result, block, redundancy;
  const wchar_t *server, *relay, *rule;
  std::vector<std::wstring> lines;
};

void NoTweak(CRuleProcessor&, SSettings&, FakePortal&) {}
void IgnoreOff(CRuleProcessor&, SSettings& s, FakePortal&) { s.ignore_rule_if_interface_down = false; }
void Portal(bool on, bool running, bool detected, const char* host, CRuleProcessor& p, SSettings& s, FakePortal& f) {
  s.captivePortalDetection = on;
  f.running = running;
  f.detected = detected;
  p.host = host;
}

constexpr ERuleAction kServer = ERuleAction::ProcessServer;
constexpr ERuleAction kPool = ERuleAction::ProcessPool;
constexpr ERuleAction kBlock = ERuleAction::Block;

// Built when the test runs: rules read hostname tables of their own.
std::vector<SCase> Cases() {
  return {
    {"bypass_by_default", {Defaults()}, NoTweak, LogNormal, false, false, false, L"untouched", L"", L"Default",
     {L"a.example - bypass : rule=Default"}},
    {"root_name", {Defaults()}, [](auto& p, auto&, auto&) { p.host = ""; }, LogNormal, false, false, false,
     L"untouched", L"", L"Default", {L"root (.) - bypass : rule=Default"}},
    {"block_returns_null_ip", {MakeRule(L"B", kBlock), Defaults()}, NoTweak, LogNormal, true, true, false,
     L"untouched", L"", L"B", {L"a.example - block (return null IP) : rule=B"}},
    {"block_drops", {Dropping(MakeRule(L"B", kBlock)), Defaults()}, NoTweak, LogNormal, true, true, false,
     L"untouched", L"", L"B", {L"a.example - block : rule=B"}},
    {"disabled_rule_is_silent", {Disabled(MakeRule(L"B", kBlock)), Defaults()}, NoTweak, LogVerbose, false, false,
     false, L"untouched", L"", L"Default", {L"a.example - bypass : rule=Default"}},
    {"other_names_do_not_match", {MakeRule(L"B", kBlock, 0, L"b.example"), Defaults()}, NoTweak, LogNormal, false,
     false, false, L"untouched", L"", L"Default", {L"a.example - bypass : rule=Default"}},
    {"server", {MakeRule(L"R", kServer, 1), Defaults()}, NoTweak, LogNormal, true, false, false, L"S1", L"", L"R",
     {L"a.example - process : server=S1 (Plain), rule=R"}},
    {"server_verbose_shows_address", {MakeRule(L"R", kServer, 1), Defaults()}, NoTweak, LogVerbose, true, false,
     false, L"S1", L"", L"R", {L"a.example - process : server=S1 (Plain, 192.0.2.1), rule=R"}},
    {"system_servers_first", {MakeRule(L"R", kServer, 0), Defaults()}, NoTweak, LogVerbose, true, false, false,
     L"192.0.2.53", L"", L"R", {L"a.example - process : server=192.0.2.53 (Plain, 192.0.2.53), rule=R"}},
    {"interface_servers_and_addresses", {OnInterface(MakeRule(L"R", kServer, 0), L"{eth0}"), Defaults()}, NoTweak,
     LogVerbose, true, false, false, L"10.0.0.53", L"", L"R",
     {L"a.example - process : server=10.0.0.53 (Plain, 10.0.0.53), interface=eth0 (10.0.0.5), rule=R"}},
    {"interface_by_name_normal", {OnInterface(MakeRule(L"R", kServer, 1), L"eth0", InterfaceIdName), Defaults()},
     NoTweak, LogNormal, true, false, false, L"S1", L"", L"R",
     {L"a.example - process : server=S1 (Plain), interface=eth0 (by name), rule=R"}},
    {"interface_down_skipped",
     {OnInterface(MakeRule(L"R", kServer, 1), L"wlan0", InterfaceIdName), Defaults()}, NoTweak, LogVerbose, false,
     false, false, L"untouched", L"", L"Default",
     {L"a.example - find next rule : server=S1 (Plain, 192.0.2.1), interface=wlan0 (by name) (down), "
      L"rule=R (skipped because of interface)",
      L"a.example - bypass : rule=Default"}},
    {"interface_absent_skipped_quietly",
     {OnInterface(MakeRule(L"R", kServer, 1), L"{usb0}", InterfaceIdAdapter, L"usb0"), Defaults()}, NoTweak,
     LogNormal, false, false, false, L"untouched", L"", L"Default", {L"a.example - bypass : rule=Default"}},
    {"interface_absent_blocks",
     {OnInterface(MakeRule(L"R", kServer, 1), L"{usb0}", InterfaceIdAdapter, L"usb0"), Defaults()}, IgnoreOff,
     LogNormal, true, true, false, L"untouched", L"", L"R",
     {L"a.example - blocked because of interface : server=S1 (Plain), interface=usb0 (down), rule=R"}},
    {"absent_without_name_shows_id", {OnInterface(MakeRule(L"R", kServer, 1), L"{usb0}"), Defaults()}, IgnoreOff,
     LogNormal, true, true, false, L"untouched", L"", L"R",
     {L"a.example - blocked because of interface : server=S1 (Plain), interface={usb0} (ID) (down), rule=R"}},
    {"deleted_server_blocks", {MakeRule(L"R", kServer, 77), Defaults()}, IgnoreOff, LogNormal, true, true, false,
     L"untouched", L"", L"R", {L"a.example - blocked because of interface : server=N/A (), rule=R"}},
    {"deleted_server_in_last_rule", {MakeRule(L"Last", kServer, 77)}, NoTweak, LogNormal, true, true, false,
     L"untouched", L"", L"caller's", {L"Interface of Default rule is down. Request blocked."}},
    {"no_rule_matches", {MakeRule(L"B", kBlock, 0, L"b.example"), Disabled(Defaults())}, NoTweak, LogNormal, true,
     true, false, L"untouched", L"", L"caller's", {L"No rules match the request. Request blocked."}},
    {"redundancy_tie_keeps_first", {MakeRule(L"R", kPool, 100), Defaults()}, NoTweak, LogNormal, true, false, true,
     L"S1", L"", L"R", {L"a.example - process : server=S1 (Plain, pool Red), rule=R"}},
    {"redundancy_bound_excludes_10000",
     {MakeRule(L"R", kPool, 100), Defaults()},
     [](auto& p, auto&, auto&) { p.servers[0].rttMs = kRedundancyMaxRttMs; p.servers[1].rttMs = kRedundancyMaxRttMs - 1; },
     LogNormal, true, false, true, L"S2", L"", L"R", {L"a.example - process : server=S2 (Plain, pool Red), rule=R"}},
    {"redundancy_skips_failed_and_unknown_rtt",
     {MakeRule(L"R", kPool, 100), Defaults()},
     [](auto& p, auto&, auto&) { p.servers[0].status = EServerStatus::Failed; p.servers[0].rttMs = 1; },
     LogNormal, true, false, true, L"S2", L"", L"R", {L"a.example - process : server=S2 (Plain, pool Red), rule=R"}},
    {"redundancy_relays_first_server_best_relay", {MakeRule(L"R", kPool, 101), Defaults()}, NoTweak, LogNormal,
     true, false, true, L"SC", L"R2", L"R",
     {L"a.example - process : server=SC (DNSCrypt, pool Relayed, relay R2), rule=R"}},
    {"balancing_single_member", {MakeRule(L"R", kPool, 103), Defaults()}, NoTweak, LogNormal, true, false, false,
     L"S2", L"", L"R", {L"a.example - process : server=S2 (Plain, pool Bal), rule=R"}},
    {"missing_pool_blocks", {MakeRule(L"R", kPool, 555), Defaults()}, IgnoreOff, LogNormal, true, true, true,
     L"untouched", L"", L"R", {L"a.example - blocked because of interface : server=N/A (, pool ), rule=R"}},
    {"relays_all_missing_block", {MakeRule(L"R", kPool, 102), Defaults()}, IgnoreOff, LogNormal, true, true, true,
     L"untouched", L"", L"R", {L"a.example - blocked because of interface : server=N/A (, pool Ghost), rule=R"}},
    {"relays_all_missing_skip_to_server",
     {MakeRule(L"R", kPool, 102), MakeRule(L"Next", kServer, 1), Defaults()}, NoTweak, LogNormal, true, false,
     false, L"S1", L"", L"Next", {L"a.example - process : server=S1 (Plain), rule=Next"}},
    {"portal_off_ignores_portal_state", {Defaults()},
     [](auto& p, auto& s, auto& f) { Portal(false, true, true, kTestHost, p, s, f); }, LogVerbose, false, false,
     false, L"untouched", L"", L"Default", {L"probe.test - bypass : rule=Default"}},
    {"portal_test_host_while_probing", {MakeRule(L"B", kBlock)},
     [](auto& p, auto& s, auto& f) { Portal(true, true, false, kTestHost, p, s, f); }, LogVerbose, false, false,
     false, L"untouched", L"", L"caller's", {L"probe.test - bypass (test hostname)"}},
    {"portal_test_host_is_case_sensitive", {MakeRule(L"B", kBlock)},
     [](auto& p, auto& s, auto& f) { Portal(true, true, false, "Probe.test", p, s, f); }, LogNormal, true, true,
     false, L"untouched", L"", L"B", {L"Probe.test - block (return null IP) : rule=B"}},
    {"portal_test_host_when_not_probing", {MakeRule(L"B", kBlock)},
     [](auto& p, auto& s, auto& f) { Portal(true, false, false, kTestHost, p, s, f); }, LogNormal, true, true, false,
     L"untouched", L"", L"B", {L"probe.test - block (return null IP) : rule=B"}},
    {"portal_detected_bypasses", {MakeRule(L"B", kBlock)},
     [](auto& p, auto& s, auto& f) { Portal(true, false, true, "a.example", p, s, f); }, LogNormal, false, false,
     false, L"untouched", L"", L"caller's", {L"a.example - bypass (Captive Portal detected)"}},
  };
}

TEST(RuleProcessor, DecidesAndLogsEachCase) {
  testsupport::LogCapture log;
  for (const SCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    CEnvironment env;
    env.m_processor.rules = c.rules;
    c.tweak(env.m_processor, g_Configuration.settings, env.m_portal);
    log.SetLevel(c.level);
    log.Take();
    SOutcome out = env.Run();
    EXPECT_EQ(out.result, c.result);
    EXPECT_EQ(out.block, c.block);
    EXPECT_EQ(out.fromRedundancyPool, c.redundancy);
    EXPECT_EQ(out.server, c.server);
    EXPECT_EQ(out.relay, c.relay);
    EXPECT_EQ(out.rule, c.rule);
    EXPECT_EQ(log.TakeTexts(), c.lines);
  }
}

TEST(RuleProcessor, OnlyTheDecidingRuleHandsOutInterfaceAddresses) {
  CEnvironment env;
  env.m_interfaces.table[L"{eth1}"] = MakeInterface(L"{eth1}", L"eth1", true, {"10.2.0.5", "fd00::5"}, {});
  // eth1 is up but has no DNS servers: skipped, and its addresses must not
  // become the source of the query sent by the next rule.
  env.m_processor.rules = {OnInterface(MakeRule(L"NoServers", kServer, 0), L"{eth1}"),
                           OnInterface(MakeRule(L"R", kServer, 0), L"{eth0}"), Defaults()};
  SOutcome out = env.Run();
  EXPECT_TRUE(out.result);
  EXPECT_EQ(out.rule, L"R");
  EXPECT_EQ(out.server, L"10.0.0.53");
  EXPECT_EQ(AddressListToText(out.localAddresses, false), L"10.0.0.5");

  env.m_processor.rules = {OnInterface(MakeRule(L"R", kServer, 1), L"{eth1}"), Defaults()};
  out = env.Run();
  EXPECT_EQ(AddressListToText(out.localAddresses, false), L"10.2.0.5, fd00::5");
}

TEST(RuleProcessor, SystemServersAreReachedOnPort53WithPlain) {
  CEnvironment env;
  env.m_processor.rules = {MakeRule(L"R", kServer, 0), Defaults()};
  std::vector<sockaddr_storage> locals;
  CDnsServer server;
  std::optional<CDnsServer> relay;
  CRule rule;
  bool block = false, redundancy = false;
  ASSERT_TRUE(env.m_processor.Process(locals, server, relay, rule, block, redundancy));
  EXPECT_EQ(server.protocol, EDnsProtocol::Plain);
  EXPECT_EQ(server.port, 53);
  EXPECT_EQ(AddressToText(static_cast<int>(server.family), server.address), "192.0.2.53");
  EXPECT_FALSE(relay.has_value());
  EXPECT_TRUE(locals.empty());
}

TEST(RuleProcessor, EveryQueryWhileAPortalIsDetectedMayStartACheck) {
  testsupport::LogCapture log;
  CEnvironment env;
  env.m_processor.rules = {MakeRule(L"B", kBlock)};
  g_Configuration.settings.captivePortalDetection = true;
  env.m_portal.detected = true;
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(env.Run().result);
  EXPECT_EQ(env.m_portal.checks, 3);
  env.m_portal.detected = false;
  EXPECT_TRUE(env.Run().block);
  EXPECT_EQ(env.m_portal.checks, 3);
}

// Which members a pool hands out over many draws on a seeded generator.
std::set<std::wstring> Draws(CEnvironment& env, uint32_t seed, std::vector<std::wstring>* sequence = nullptr) {
  SeedPoolRandom(seed);
  std::set<std::wstring> seen;
  for (int i = 0; i < 64; ++i) {
    SOutcome out = env.Run();
    std::wstring pick = out.server + L"/" + out.relay;
    seen.insert(pick);
    if (sequence) sequence->push_back(pick);
  }
  return seen;
}

TEST(RuleProcessor, RandomChoiceCoversMembersAndFollowsTheSeed) {
  testsupport::LogCapture log;
  struct Case {
    const char* name;
    CDnsPool pool;
    std::set<std::wstring> picks;
    int32_t s1RttMs = 40;  // S1 is Ok with this time when it is not -1
  } cases[] = {
      {"balancing", MakePool(200, L"B", EPoolType::Balancing, {1, 2}), {L"S1/", L"S2/"}},
      {"redundancy_only_at_bound", MakePool(200, L"F", EPoolType::Redundancy, {2, 1}), {L"S1/", L"S2/"},
       kRedundancyMaxRttMs},
      {"redundancy_just_below_bound", MakePool(200, L"F", EPoolType::Redundancy, {2, 1}), {L"S1/"},
       kRedundancyMaxRttMs - 1},
      {"balancing_relays", MakePool(200, L"B", EPoolType::Balancing, {3}, {11, 12}), {L"SC/R1", L"SC/R2"}},
      {"redundancy_all_failed", MakePool(200, L"F", EPoolType::Redundancy, {4, 1}), {L"SD/", L"S1/"}, -1},
      {"redundancy_relays_partly_missing", MakePool(200, L"P", EPoolType::Redundancy, {3, 4}, {99, 11}),
       {L"SC/R1", L"SD/R1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CEnvironment env;
    env.m_processor.servers[1].status = EServerStatus::Failed;  // S2 fails
    env.m_processor.servers[0].status = c.s1RttMs == -1 ? EServerStatus::Failed : EServerStatus::Ok;
    env.m_processor.servers[0].rttMs = c.s1RttMs;
    env.m_processor.servers[4].status = EServerStatus::Unknown;  // R1 unchecked
    env.m_processor.servers[5].status = EServerStatus::Failed;
    env.m_processor.pools.push_back(c.pool);
    env.m_processor.rules = {MakeRule(L"R", kPool, 200), Defaults()};
    std::vector<std::wstring> first, second;
    EXPECT_EQ(Draws(env, 7, &first), c.picks);
    Draws(env, 7, &second);
    EXPECT_EQ(first, second);
  }
}

// The machine's interface table as the engine leaves it: no source handed in.
class FakeAdapters : public platform::NetAdapterSource {
 public:
  bool EnumerateAdapters(std::vector<platform::SAdapterInfo>& out) override {
    platform::SAdapterInfo adapter;
    adapter.name = "veth-a";
    adapter.uuid = platform::InterfaceUuidFromName(adapter.name);
    adapter.up = true;
    adapter.addresses = {TextToSockaddr("10.9.0.1")};
    adapter.dnsServers = {TextToSockaddr("10.9.0.53")};
    out = {adapter};
    return true;
  }
  bool EnumerateWlanNetworks(std::vector<platform::SWlanNetwork>& out) override {
    out.clear();
    return false;
  }
  std::vector<sockaddr_storage> LoadSystemDnsServers() override { return {TextToSockaddr("192.0.2.99")}; }
  bool RequestWlanScan() override { return false; }
  std::unique_ptr<platform::NetChangeWatcher> StartWatcher(std::function<void()>) override { return nullptr; }
};

TEST(RuleProcessor, AsksTheInterfaceTableByDefault) {
  testsupport::LogCapture log;
  FakeAdapters adapters;
  platform::SetNetAdapterSourceForTesting(&adapters);
  ResetNetInterfacesForTesting();
  CEnvironment env;
  env.m_processor.interfaces = nullptr;
  struct Case {
    const char* name;
    CRule rule;
    const wchar_t* server;
  } cases[] = {
      {"interface_by_name", OnInterface(MakeRule(L"R", kServer, 0), L"veth-a", InterfaceIdName), L"10.9.0.53"},
      {"system", MakeRule(L"R", kServer, 0), L"192.0.2.99"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    env.m_processor.rules = {c.rule, Defaults()};
    SOutcome out = env.Run();
    EXPECT_EQ(out.rule, L"R");
    EXPECT_EQ(out.server, c.server);
  }
  platform::SetNetAdapterSourceForTesting(nullptr);
  ResetNetInterfacesForTesting();
}

TEST(RuleProcessor, PoolGeneratorIsPerThread) {
  std::vector<uint32_t> alone, beside;
  SeedPoolRandom(42);
  for (int i = 0; i < 8; ++i) alone.push_back(PoolRandom());
  SeedPoolRandom(42);
  // Another thread seeding and drawing must not move this thread's sequence.
  std::thread other([] {
    SeedPoolRandom(42);
    for (int i = 0; i < 1000; ++i) PoolRandom();
  });
  other.join();
  for (int i = 0; i < 8; ++i) beside.push_back(PoolRandom());
  EXPECT_EQ(alone, beside);
}

}  // namespace
