#include "Quorvane/foundation/net_interfaces.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <thread>

#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/net_adapters.h"
#include "tests/support/temp_folder.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

sockaddr_storage Address(const char* text) { return TextToSockaddr(text); }

platform::SAdapterInfo Adapter(const std::string& name, bool up, std::vector<sockaddr_storage> addresses = {}) {
  platform::SAdapterInfo a;
  a.name = name;
  a.uuid = platform::InterfaceUuidFromName(name);
  a.up = up;
  a.addresses = std::move(addresses);
  return a;
}

std::wstring IdOf(const std::string& name) {
  std::lock_guard lock(g_NetInterfacesMutex);
  for (const auto& [id, record] : g_NetInterfaces)
    if (record.name == Utf8ToWide(name)) return id;
  return L"";
}

class FakeWatcher : public platform::NetChangeWatcher {
 public:
  explicit FakeWatcher(int* live) : m_live(live) { ++*m_live; }
  ~FakeWatcher() override { --*m_live; }

 private:
  int* m_live;
};

// Answers from tables the test fills; counts what it is asked.
class FakeSource : public platform::NetAdapterSource {
 public:
  bool EnumerateAdapters(std::vector<platform::SAdapterInfo>& out) override {
    ++enumerations;
    out = adapters;
    if (duringEnumeration) duringEnumeration();
    return true;
  }
  bool EnumerateWlanNetworks(std::vector<platform::SWlanNetwork>& out) override {
    out = wlan;
    return wlanService;
  }
  std::vector<sockaddr_storage> LoadSystemDnsServers() override { return systemDns; }
  bool RequestWlanScan() override {
    ++scans;
    return wlanService;
  }
  std::unique_ptr<platform::NetChangeWatcher> StartWatcher(std::function<void()> onChange) override {
    if (!canWatch) return nullptr;
    onChange();  // the initial notification
    return std::make_unique<FakeWatcher>(&liveWatchers);
  }

  std::vector<platform::SAdapterInfo> adapters;
  std::vector<platform::SWlanNetwork> wlan;
  bool wlanService = true;
  std::vector<sockaddr_storage> systemDns = {Address("192.0.2.53")};
  std::function<void()> duringEnumeration;
  bool canWatch = true;
  int enumerations = 0;
  int scans = 0;
  int liveWatchers = 0;
};

class NetInterfacesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetClockSourceForTesting(&m_clock);
    platform::SetNetAdapterSourceForTesting(&m_source);
    ResetNetInterfacesForTesting();
    g_LogLevelScreen = LogNormal;
    TakeLog();
  }
  void TearDown() override {
    CancelNetInterfaceChangeNotification();
    ResetNetInterfacesForTesting();
    platform::SetNetAdapterSourceForTesting(nullptr);
    platform::SetClockSourceForTesting(nullptr);
  }
  static std::list<SLogLine> TakeLog() {
    std::list<SLogLine> out;
    SwapLogQueue(out, true);
    return out;
  }
  SNetInterfacesSnapshot Snapshot() {
    SNetInterfacesSnapshot s;
    GetNetInterfacesSnapshot(s);
    return s;
  }

  platform::FakeClock m_clock;
  FakeSource m_source;
};

TEST(NetInterfaceText, RawAndDisplayTextsPerType) {
  SNetInterface up;
  up.id = L"{ID}";
  up.name = L"eth0";
  up.ssid = L"Home";
  up.dnsSuffix = L"corp.example";
  up.up = true;
  up.addresses = {TextToSockaddr("192.0.2.1")};
  SNetInterface noName = up;
  noName.name.clear();
  SNetInterface upWithoutAddress = up;
  upWithoutAddress.addresses.clear();
  SNetInterface down = up;
  down.up = false;

  struct Case {
    const char* name;
    const SNetInterface& record;
    int type;
    bool raw, markDown;
    const wchar_t* want;
  } cases[] = {
      {"raw_id", up, 0, true, true, L"{ID}"},
      {"raw_name", up, 1, true, false, L"eth0"},
      {"raw_ssid", up, 2, true, false, L"Home"},
      {"raw_suffix", up, 3, true, false, L"corp.example"},
      {"raw_unknown", up, 5, true, false, L"unknown"},
      {"raw_never_marks_down", down, 1, true, true, L"eth0"},
      {"display_adapter", up, 0, false, true, L"eth0"},
      {"display_adapter_without_name", noName, 0, false, false, L"{ID} (ID)"},
      {"display_name", up, 1, false, true, L"eth0 (by name)"},
      {"display_ssid", up, 2, false, true, L"Home (SSID)"},
      {"display_suffix", up, 3, false, true, L"corp.example (DNS suffix)"},
      {"display_unknown", up, 5, false, false, L"Unknown Param Type"},
      {"down_marked", down, 0, false, true, L"eth0 [down]"},
      {"down_unmarked", down, 0, false, false, L"eth0"},
      {"up_without_address_is_down", upWithoutAddress, 2, false, true, L"Home (SSID) [down]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SNetInterface r = c.record;
    r.idType = static_cast<ENetInterfaceIdType>(c.type);
    EXPECT_EQ(r.GetText(c.raw, c.markDown), c.want);
  }
}

TEST(NetInterfaceText, MatchesAndSetIdTextUseTheNamedAttribute) {
  SNetInterface r;
  for (int type = 0; type <= 3; ++type) r.SetIdText(static_cast<ENetInterfaceIdType>(type), L"v" + std::to_wstring(type));
  EXPECT_EQ(r.id, L"v0");
  EXPECT_EQ(r.name, L"v1");
  EXPECT_EQ(r.ssid, L"v2");
  EXPECT_EQ(r.dnsSuffix, L"v3");
  r.SetIdText(static_cast<ENetInterfaceIdType>(5), L"ignored");
  EXPECT_EQ(r.GetText(true, false), L"v0");

  r.idType = InterfaceIdSsid;
  EXPECT_TRUE(r.Matches(InterfaceIdSsid, L"v2"));
  EXPECT_FALSE(r.Matches(InterfaceIdSsid, L"V2"));  // case-sensitive
  EXPECT_FALSE(r.Matches(InterfaceIdName, L"v2"));  // another type never matches
}

TEST(FindInterfaceInMap, LooksUpByEachAttribute) {
  NetInterfaceMap map;
  auto add = [&](const wchar_t* id, const wchar_t* name, const wchar_t* ssid, const wchar_t* suffix) {
    SNetInterface r;
    r.id = id;
    r.name = name;
    r.ssid = ssid;
    r.dnsSuffix = suffix;
    map[id] = r;
  };
  add(L"{B}", L"twin", L"Home", L"a.example");
  add(L"{A}", L"twin", L"", L"b.example");
  add(L"{C}", L"solo", L"Home", L"");

  struct Case {
    int type;
    const wchar_t* text;
    const wchar_t* wantId;  // nullptr: not found
  } cases[] = {
      {0, L"{C}", L"{C}"}, {0, L"{c}", nullptr},          {1, L"twin", L"{A}"},  // the smaller id wins
      {1, L"Twin", nullptr}, {2, L"Home", L"{B}"},        {3, L"b.example", L"{A}"},
      {3, L"", L"{C}"},      {5, L"twin", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << " " << WideToUtf8(c.text));
    SNetInterface out;
    EXPECT_EQ(FindInterface(map, static_cast<ENetInterfaceIdType>(c.type), c.text, out), c.wantId != nullptr);
    if (c.wantId) {
      EXPECT_EQ(out.id, c.wantId);
    }
  }
}

TEST(NetInterfacesSnapshotSort, OrdersByNameOrdinallyAndKeepsIdOrderForTies) {
  SNetInterfacesSnapshot s;
  for (auto [id, name] : {std::pair{L"{1}", L"b"}, {L"{2}", L"B"}, {L"{3}", L"a"}, {L"{4}", L"b"}}) {
    s.interfaces[id].id = id;
    s.interfaces[id].name = name;
  }
  std::vector<std::wstring> ids;
  for (const auto& r : s.GetSortedInterfaces()) ids.push_back(r.id);
  EXPECT_THAT(ids, ElementsAre(L"{2}", L"{3}", L"{1}", L"{4}"));
}

TEST_F(NetInterfacesTest, BuildsRecordsFromTheSystemAdapters) {
  auto eth = Adapter("eth0", true, {Address("192.0.2.10"), Address("2001:db8::10")});
  eth.dnsServers = {Address("192.0.2.1")};
  eth.dnsSuffix = "corp.example";
  m_source.adapters = {eth, Adapter("wlp2s0", false)};
  m_source.adapters[1].wireless = true;

  auto s = Snapshot();
  ASSERT_EQ(s.interfaces.size(), 2u);
  // The id conf-files store for eth0; it must never change.
  const std::wstring ethId = L"{7FD44DA7-3079-55BE-99C7-0D92C524053B}";
  ASSERT_TRUE(s.interfaces.count(ethId));
  const auto& r = s.interfaces.at(ethId);
  EXPECT_EQ(r.id, ethId);
  EXPECT_EQ(r.idType, InterfaceIdAdapter);
  EXPECT_EQ(r.name, L"eth0");
  EXPECT_TRUE(r.IsUp());
  EXPECT_EQ(AddressListToText(r.addresses, false), L"192.0.2.10, 2001:db8::10");
  EXPECT_EQ(AddressListToText(r.dnsServers, false), L"192.0.2.1");
  EXPECT_EQ(r.dnsSuffix, L"corp.example");
  EXPECT_EQ(r.wireless, 0);
  const auto& w = s.interfaces.at(IdOf("wlp2s0"));
  EXPECT_EQ(w.wireless, 1);
  EXPECT_EQ(w.GetText(false, true), L"wlp2s0 [down]");
  EXPECT_EQ(AddressListToText(s.systemDnsServers, false), L"192.0.2.53");
  EXPECT_EQ(g_NetInterfacesRefreshTick, m_clock.TickMs());
}

TEST_F(NetInterfacesTest, WifiNetworksOfKnownInterfaces) {
  m_source.adapters = {Adapter("wlp2s0", true, {Address("192.0.2.20")}), Adapter("eth0", true)};
  m_source.wlan = {{"Neighbour", "wlp2s0", false},
                   {"Home", "wlp2s0", true},
                   {"Home", "wlp2s0", false},  // the same network seen again stays connected
                   {"Elsewhere", "wlx-gone", true}};
  SNetInterface found;
  ASSERT_TRUE(FindNetInterface(InterfaceIdSsid, L"Home", found));
  EXPECT_EQ(found.name, L"wlp2s0");
  EXPECT_EQ(found.wireless, 1);
  EXPECT_FALSE(FindNetInterface(InterfaceIdSsid, L"Neighbour", found));
  EXPECT_FALSE(FindNetInterface(InterfaceIdSsid, L"Elsewhere", found));

  auto s = Snapshot();
  EXPECT_THAT(s.ssids, ElementsAre(std::pair<const std::wstring, bool>{L"Home", true},
                                   std::pair<const std::wstring, bool>{L"Neighbour", false}));
  EXPECT_EQ(s.interfaces.at(IdOf("eth0")).wireless, 0);

  m_source.wlanService = false;
  OnIpInterfaceChange();
  EXPECT_THAT(Snapshot().ssids, IsEmpty());
  EXPECT_FALSE(ScanWlanNetworks());
  m_source.wlanService = true;
  EXPECT_TRUE(ScanWlanNetworks());
  EXPECT_EQ(m_source.scans, 2);
}

TEST_F(NetInterfacesTest, NothingFoundIsLoggedOnEveryRebuild) {
  m_source.systemDns.clear();
  for (int round = 0; round < 2; ++round) {
    SNetInterface found;
    EXPECT_FALSE(FindNetInterface(InterfaceIdName, L"eth0", found));
    auto log = TakeLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log.front().text, L"No network interfaces found");
    EXPECT_TRUE(log.front().error);
    EXPECT_EQ(log.back().text, L"No system default DNS server found");
    EXPECT_FALSE(log.back().error);
    OnIpInterfaceChange();
  }
  m_source.systemDns = {Address("192.0.2.53")};
  m_source.adapters = {Adapter("eth0", true)};
  GetSystemDnsServers();
  EXPECT_THAT(TakeLog(), IsEmpty());
}

TEST_F(NetInterfacesTest, RebuildsOnlyAfterAChange) {
  m_source.adapters = {Adapter("eth0", true, {Address("192.0.2.10")})};
  SNetInterface found;
  Snapshot();
  FindNetInterface(InterfaceIdName, L"eth0", found);
  GetSystemDnsServers();
  m_clock.AdvanceMs(3'600'000);
  Snapshot();
  EXPECT_EQ(m_source.enumerations, 1);

  // A burst of notifications costs one rebuild.
  OnIpInterfaceChange();
  OnIpInterfaceChange();
  OnIpInterfaceChange();
  m_source.adapters[0].up = false;
  EXPECT_TRUE(FindNetInterface(InterfaceIdName, L"eth0", found));
  EXPECT_FALSE(found.IsUp());
  GetSystemDnsServers();
  EXPECT_EQ(m_source.enumerations, 2);

  // An explicit rebuild (the interface dialog) also counts as seeing the change.
  OnIpInterfaceChange();
  RefreshNetInterfaces();
  Snapshot();
  EXPECT_EQ(m_source.enumerations, 3);
}

TEST_F(NetInterfacesTest, AChangeDuringTheRebuildIsSeenByTheNextReader) {
  m_source.adapters = {Adapter("eth0", true)};
  // The system changes while it is being enumerated; the rebuild saw the old state.
  m_source.duringEnumeration = [&] {
    m_source.duringEnumeration = nullptr;
    m_source.adapters = {Adapter("eth0", true), Adapter("eth1", true)};
    OnIpInterfaceChange();
  };
  EXPECT_EQ(Snapshot().interfaces.size(), 1u);
  EXPECT_EQ(Snapshot().interfaces.size(), 2u);
  EXPECT_EQ(m_source.enumerations, 2);
  Snapshot();
  EXPECT_EQ(m_source.enumerations, 2);
}

// Rule evaluation reads the tables for every query; a rebuild whose tools
// hang must not hold those readers, which use the previous picture meanwhile.
TEST_F(NetInterfacesTest, ReadersDoNotWaitForAHangingTool) {
  testsupport::TempFolder folder;
  const auto hold = folder.Path() / "hold";
  const auto entered = folder.Path() / "entered";
  const auto resolvConf = folder.Path() / "resolv.conf";
  // Hangs while the hold file exists (bounded in itself and by the tool bound).
  testsupport::WriteBytes(folder.Path() / "nmcli", "#!/bin/sh\nif [ -e '" + hold.string() + "' ]; then touch '" +
                                                      entered.string() + "'; i=0; while [ -e '" + hold.string() +
                                                      "' ] && [ $i -lt 400 ]; do sleep 0.02; i=$((i+1)); done; fi\n");
  std::filesystem::permissions(folder.Path() / "nmcli", std::filesystem::perms::owner_all);
  testsupport::WriteBytes(resolvConf, "nameserver 192.0.2.53\n");
  platform::SNetAdapterPaths paths;
  paths.resolvConf = resolvConf;
  paths.resolvectl = (folder.Path() / "no-resolvectl").string();
  paths.nmcli = (folder.Path() / "nmcli").string();
  paths.toolTimeoutMs = 4000;
  platform::LinuxNetAdapterSource source(paths);
  platform::SetNetAdapterSourceForTesting(&source);
  ASSERT_EQ(AddressListToText(GetSystemDnsServers(), false), L"192.0.2.53");

  testsupport::WriteBytes(hold, "");
  testsupport::WriteBytes(resolvConf, "nameserver 192.0.2.54\n");
  OnIpInterfaceChange();
  std::atomic<bool> rebuilt{false};
  std::thread rebuilder([&] {
    GetSystemDnsServers();
    rebuilt = true;
  });
  for (int i = 0; i < 250 && !std::filesystem::exists(entered); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(std::filesystem::exists(entered));

  // While nmcli hangs: the readers answer from the previous picture.
  EXPECT_EQ(AddressListToText(GetSystemDnsServers(), false), L"192.0.2.53");
  SNetInterface found;
  FindNetInterface(InterfaceIdName, L"lo", found);
  EXPECT_FALSE(rebuilt);

  std::filesystem::remove(hold);
  rebuilder.join();
  EXPECT_EQ(AddressListToText(GetSystemDnsServers(), false), L"192.0.2.54");
  platform::SetNetAdapterSourceForTesting(&m_source);
}

TEST_F(NetInterfacesTest, NotificationsFromAnotherThreadAreNeverLost) {
  m_source.adapters = {Adapter("eth0", true)};
  std::thread notifier([] {
    for (int i = 0; i < 2000; ++i) OnIpInterfaceChange();
  });
  for (int i = 0; i < 200; ++i) GetSystemDnsServers();
  notifier.join();
  GetSystemDnsServers();  // sees the last notification
  int after = m_source.enumerations;
  GetSystemDnsServers();
  EXPECT_EQ(m_source.enumerations, after);
}

TEST_F(NetInterfacesTest, WatcherStartsOnceAndStops) {
  EXPECT_FALSE(IsNetInterfaceChangeNotificationRegistered());
  Snapshot();
  uint64_t before = g_NetInterfacesChangeCount;
  EXPECT_TRUE(RegisterNetInterfaceChangeNotification());
  EXPECT_TRUE(RegisterNetInterfaceChangeNotification());
  EXPECT_EQ(m_source.liveWatchers, 1);
  EXPECT_EQ(g_NetInterfacesChangeCount, before + 1);  // the initial notification
  Snapshot();
  EXPECT_EQ(m_source.enumerations, 2);
  CancelNetInterfaceChangeNotification();
  EXPECT_EQ(m_source.liveWatchers, 0);
  EXPECT_FALSE(IsNetInterfaceChangeNotificationRegistered());
  CancelNetInterfaceChangeNotification();

  m_source.canWatch = false;
  EXPECT_FALSE(RegisterNetInterfaceChangeNotification());
  EXPECT_FALSE(IsNetInterfaceChangeNotificationRegistered());
}

}  // namespace
