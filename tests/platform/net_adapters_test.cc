#include "Quorvane/platform/net_adapters.h"

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstdio>

#include "tests/platform/test_tools.h"

namespace platform {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing_tools::AddressText;
using testing_tools::AddressTexts;
using testsupport::ReadBytes;
using testsupport::TempFolder;
using testing_tools::WriteScript;

const std::filesystem::path kData = TEST_DATA_DIR;

std::string UuidText(const InterfaceUuid& u) {
  char text[37];
  snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1],
           u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
  return text;
}

TEST(InterfaceUuid, IsTheStandardNameBasedUuid) {
  // RFC 4122's DNS namespace and a widely published result for it.
  const InterfaceUuid dnsNamespace = {0x6b, 0xa7, 0xb8, 0x10, 0x9d, 0xad, 0x11, 0xd1,
                                      0x80, 0xb4, 0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8};
  EXPECT_EQ(UuidText(NameBasedUuid(dnsNamespace, "python.org")), "886313e1-3b8a-5372-9b90-0c9aee199e5d");
}

TEST(InterfaceUuid, StaysTheSameAcrossVersions) {
  // Conf-files hold these ids; a change of namespace would orphan every one.
  EXPECT_EQ(UuidText(InterfaceUuidFromName("eth0")), "7fd44da7-3079-55be-99c7-0d92c524053b");
  EXPECT_EQ(UuidText(InterfaceUuidFromName("wlp2s0")), "8fea3e98-9f2b-56c1-aae6-3fa8d8e45d53");
  EXPECT_NE(InterfaceUuidFromName("eth0"), InterfaceUuidFromName("eth1"));
}

TEST(ServerToken, ParsesEveryFormTheToolsWrite) {
  struct Case {
    const char* token;
    const char* want;  // nullptr: refused
  } cases[] = {
      {"192.0.2.1", "192.0.2.1:53"},
      {"192.0.2.1:853", "192.0.2.1:853"},
      {"192.0.2.1#dns.example", "192.0.2.1:53"},
      {"2001:db8::1", "[2001:db8::1]:53"},
      {"[2001:db8::1]:853#dns.example", "[2001:db8::1]:853"},
      {"[2001:db8::1]", "[2001:db8::1]:53"},
      {"fe80::1%7", "[fe80::1%7]:53"},
      {"[fe80::1%lo]:53", "[fe80::1%1]:53"},
      {"", nullptr},
      {"#only-a-name", nullptr},
      {"dns.example", nullptr},
      {"192.0.2.1:0", nullptr},
      {"192.0.2.1:65536", nullptr},
      {"192.0.2.1:5x", nullptr},
      {"192.0.2.1%eth0", nullptr},
      {"[2001:db8::1", nullptr},
      {"[2001:db8::1]53", nullptr},
      {"999.0.2.1", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.token);
    sockaddr_storage a{};
    bool ok = ParseServerToken(c.token, a);
    EXPECT_EQ(ok, c.want != nullptr);
    if (ok && c.want) {
      EXPECT_EQ(AddressText(a), c.want);
    }
  }
}

TEST(ResolvConf, TakesNameserverLinesAndSkipsEverythingElse) {
  EXPECT_THAT(AddressTexts(ParseResolvConf(ReadBytes(kData / "resolv_plain.conf"))),
              ElementsAre("192.0.2.1:53", "[2001:db8::53]:53", "[fe80::1%2]:53", "192.0.2.3:53",
                          "198.51.100.7:53"));
  EXPECT_THAT(ParseResolvConf(""), IsEmpty());
  EXPECT_THAT(ParseResolvConf("nameserver"), IsEmpty());
}

TEST(SystemDnsServers, FollowsTheLocalStubToItsUpstreamFile) {
  TempFolder dir;
  struct Case {
    const char* name;
    std::string resolvConf;  // empty: the file does not exist
    bool upstreamExists;
    std::vector<std::string> want;
  } cases[] = {
      {"plain", "nameserver 192.0.2.1\n", true, {"192.0.2.1:53"}},
      {"stub_only", ReadBytes(kData / "resolv_stub.conf"), true,
       {"203.0.113.10:53", "[2001:db8:1::10]:53", "203.0.113.11:53"}},
      {"stub_twice", "nameserver 127.0.0.53\nnameserver 127.0.0.53\n", true,
       {"203.0.113.10:53", "[2001:db8:1::10]:53", "203.0.113.11:53"}},
      {"stub_without_upstream_file", "nameserver 127.0.0.53\n", false, {"127.0.0.53:53"}},
      {"stub_beside_another", "nameserver 127.0.0.53\nnameserver 192.0.2.1\n", true,
       {"127.0.0.53:53", "192.0.2.1:53"}},
      {"no_resolv_conf", "", true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SNetAdapterPaths paths;
    paths.resolvConf = dir.Path() / c.name;
    if (!c.resolvConf.empty()) testsupport::WriteBytes(paths.resolvConf, c.resolvConf);
    paths.resolvedUpstream = c.upstreamExists ? kData / "resolved_upstream.conf" : dir.Path() / "absent";
    EXPECT_EQ(AddressTexts(LoadSystemDnsServers(paths)), c.want);
  }
  SNetAdapterPaths underFile;  // a path below a regular file cannot be opened, even as root
  underFile.resolvConf = kData / "resolv_stub.conf" / "x";
  EXPECT_THAT(LoadSystemDnsServers(underFile), IsEmpty());
}

TEST(Resolvectl, GivesServersAndTheFirstSearchDomainPerLink) {
  auto links = ParseResolvectl(ReadBytes(kData / "resolvectl_dns.txt"), ReadBytes(kData / "resolvectl_domain.txt"));
  std::vector<std::string> names;
  for (const auto& [name, dns] : links) names.push_back(name);
  EXPECT_THAT(names, ElementsAre("docker0", "enp1s0", "tun0", "wlp2s0"));
  EXPECT_THAT(AddressTexts(links["enp1s0"].servers), ElementsAre("192.0.2.1:53", "[2001:db8::1]:53", "[fe80::1]:53"));
  EXPECT_EQ(links["enp1s0"].suffix, "office.example");
  EXPECT_THAT(AddressTexts(links["wlp2s0"].servers),
              ElementsAre("192.0.2.9:5353", "[2001:db8::9]:853", "203.0.113.5:53"));
  EXPECT_EQ(links["wlp2s0"].suffix, "");  // "~." routes only
  EXPECT_THAT(links["docker0"].servers, IsEmpty());
  EXPECT_THAT(AddressTexts(links["tun0"].servers), ElementsAre("192.0.2.66:53"));
  EXPECT_EQ(links["tun0"].suffix, "vpn.example");
  EXPECT_THAT(ParseResolvectl("", ""), IsEmpty());
}

TEST(NmcliDeviceShow, GivesServersAndDomainPerDevice) {
  auto devices = ParseNmcliDeviceShow(ReadBytes(kData / "nmcli_device_show.txt"));
  std::vector<std::string> names;
  for (const auto& [name, dns] : devices) names.push_back(name);
  EXPECT_THAT(names, ElementsAre("enp1s0", "lo", "wlp2s0"));
  EXPECT_THAT(AddressTexts(devices["enp1s0"].servers),
              ElementsAre("192.0.2.1:53", "192.0.2.2:53", "[2001:db8::1]:53"));
  EXPECT_EQ(devices["enp1s0"].suffix, "office.example");
  EXPECT_THAT(AddressTexts(devices["wlp2s0"].servers), ElementsAre("[fe80::1]:53"));
  EXPECT_EQ(devices["wlp2s0"].suffix, "");
  EXPECT_THAT(devices["lo"].servers, IsEmpty());  // lines after an empty device name belong to none
}

TEST(NmcliWifiList, UnescapesSsidsAndDropsHiddenAndBrokenLines) {
  auto networks = ParseNmcliWifiList(ReadBytes(kData / "nmcli_wifi_list.txt"));
  std::vector<std::string> rows;
  for (const auto& n : networks) rows.push_back(n.ssid + "|" + n.device + "|" + (n.connected ? "on" : "off"));
  EXPECT_THAT(rows, ElementsAre("Home Net|wlp2s0|on", "Cafe:Free|wlp2s0|off", "Back\\slash|wlp2s0|off",
                                "Grüße|wlp3s0|off"));
}

// The source with fake tools in place of nmcli and resolvectl.
class FakeToolsSource : public ::testing::Test {
 protected:
  SNetAdapterPaths Paths() {
    SNetAdapterPaths p;
    p.nmcli = (dir.Path() / "nmcli").string();
    p.resolvectl = (dir.Path() / "resolvectl").string();
    p.toolTimeoutMs = 300;
    return p;
  }
  TempFolder dir;
};

TEST_F(FakeToolsSource, ReadsTheCachedWifiListWithoutRescan) {
  WriteScript(dir.Path() / "nmcli", "[ \"$*\" = '-t -f ACTIVE,SSID,DEVICE device wifi list --rescan no' ] || exit 2\ncat '" +
                          (kData / "nmcli_wifi_list.txt").string() + "'");
  LinuxNetAdapterSource source(Paths());
  std::vector<SWlanNetwork> networks;
  ASSERT_TRUE(source.EnumerateWlanNetworks(networks));
  ASSERT_EQ(networks.size(), 4u);
  EXPECT_EQ(networks[0].ssid, "Home Net");
  EXPECT_TRUE(networks[0].connected);
}

TEST_F(FakeToolsSource, WifiServiceAbsentOrFailing) {
  struct Case {
    const char* name;
    const char* script;  // nullptr: no nmcli at all
    bool listOk, scanOk;
  } cases[] = {
      {"missing", nullptr, false, false},
      {"manager_not_running", "exit 8", false, false},
      {"hangs", "exec sleep 30", false, false},
      {"no_wifi_device", "exit 10", true, true},
      {"garbage_output", "echo '::::'; echo 'no'; exit 0", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    std::filesystem::remove(dir.Path() / "nmcli", ec);
    if (c.script) WriteScript(dir.Path() / "nmcli", c.script);
    LinuxNetAdapterSource source(Paths());
    std::vector<SWlanNetwork> networks{{"stale", "x", true}};
    EXPECT_EQ(source.EnumerateWlanNetworks(networks), c.listOk);
    EXPECT_THAT(networks, IsEmpty());
    EXPECT_EQ(source.RequestWlanScan(), c.scanOk);
  }
}

TEST_F(FakeToolsSource, ScanAsksForARescan) {
  auto log = dir.Path() / "args";
  WriteScript(dir.Path() / "nmcli", "echo \"$*\" > '" + log.string() + "'");
  LinuxNetAdapterSource source(Paths());
  EXPECT_TRUE(source.RequestWlanScan());
  EXPECT_EQ(ReadBytes(log), "device wifi rescan\n");
}

}  // namespace
}  // namespace platform
