// The interface table against the real system, inside a network namespace
// that each test makes for itself, with /sys remounted in a mount namespace of
// the test process so that it shows that namespace's links. Needs root.
#include <fcntl.h>
#include <net/if.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/net_interfaces.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/net_adapters.h"
#include "Quorvane/platform/run_program.h"
#include "tests/support/temp_folder.h"

namespace {

using testing::UnorderedElementsAre;

// The real source, counting its enumerations.
class CountingSource : public platform::NetAdapterSource {
 public:
  explicit CountingSource(platform::SNetAdapterPaths paths) : m_real(std::move(paths)) {}
  bool EnumerateAdapters(std::vector<platform::SAdapterInfo>& out) override {
    ++enumerations;
    return m_real.EnumerateAdapters(out);
  }
  bool EnumerateWlanNetworks(std::vector<platform::SWlanNetwork>& out) override {
    return m_real.EnumerateWlanNetworks(out);
  }
  std::vector<sockaddr_storage> LoadSystemDnsServers() override { return m_real.LoadSystemDnsServers(); }
  bool RequestWlanScan() override { return m_real.RequestWlanScan(); }
  std::unique_ptr<platform::NetChangeWatcher> StartWatcher(std::function<void()> onChange) override {
    return m_real.StartWatcher(std::move(onChange));
  }
  std::atomic<int> enumerations{0};

 private:
  platform::LinuxNetAdapterSource m_real;
};

class NetnsInterfacesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(geteuid(), 0u) << "this test needs root: it creates a network namespace with veth links";
    static int s_serial = 0;
    m_name = "twnetif-" + std::to_string(getpid()) + "-" + std::to_string(++s_serial);
    ASSERT_TRUE(Ip({"netns", "add", m_name}));
    m_created = true;

    m_hostNet = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(m_hostNet, 0);
    // A mount namespace of the test process's own, kept until it exits, so that
    // /sys can show the test namespace. It follows the host's mounts, which
    // lets `ip netns del` remove the namespace's mount point there too.
    static bool s_privateMounts = false;
    if (!s_privateMounts) {
      ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
      ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr), 0) << strerror(errno);
      s_privateMounts = true;
    }
    int ns = open(("/var/run/netns/" + m_name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(ns, 0) << strerror(errno);
    int entered = setns(ns, CLONE_NEWNET);
    close(ns);
    ASSERT_EQ(entered, 0) << strerror(errno);
    m_entered = true;
    umount2("/sys", MNT_DETACH);
    ASSERT_EQ(mount("sysfs", "/sys", "sysfs", 0, nullptr), 0) << strerror(errno);

    // No link-local addresses and no duplicate detection: the namespace stays
    // quiet once set up, so every notification comes from the test.
    ASSERT_TRUE(Ip({"link", "add", "va", "type", "veth", "peer", "name", "vb"}));
    ASSERT_TRUE(Ip({"link", "set", "va", "addrgenmode", "none"}));
    ASSERT_TRUE(Ip({"link", "set", "vb", "addrgenmode", "none"}));
    ASSERT_TRUE(Ip({"addr", "add", "10.77.0.1/24", "dev", "va"}));
    ASSERT_TRUE(Ip({"addr", "add", "fd00:77::1/64", "dev", "va", "nodad"}));
    ASSERT_TRUE(Ip({"link", "set", "va", "up"}));
    ASSERT_TRUE(Ip({"link", "set", "vb", "up"}));

    m_folder = std::make_unique<testsupport::TempFolder>();
    m_dir = m_folder->Path();
    ASSERT_FALSE(m_dir.empty());
    Write("resolv.conf", "nameserver 10.77.0.53\n");
    Write("resolvectl",
          "#!/bin/sh\n"
          "case \"$1\" in\n"
          "  dns) echo 'Global: 10.77.0.99'; echo 'Link 2 (va): 10.77.0.54 fd00:77::54'; echo 'Link 3 (vb):';;\n"
          "  domain) echo 'Link 2 (va): ~. ns.example';;\n"
          "  *) exit 1;;\n"
          "esac\n");
    std::filesystem::permissions(m_dir / "resolvectl", std::filesystem::perms::owner_all);
    platform::SNetAdapterPaths paths;
    paths.resolvConf = m_dir / "resolv.conf";
    paths.resolvedUpstream = m_dir / "upstream.conf";
    paths.resolvectl = (m_dir / "resolvectl").string();
    paths.nmcli = (m_dir / "no-nmcli").string();
    m_source = std::make_unique<CountingSource>(paths);
    platform::SetNetAdapterSourceForTesting(m_source.get());
    ResetNetInterfacesForTesting();
  }

  void TearDown() override {
    CancelNetInterfaceChangeNotification();
    platform::SetNetAdapterSourceForTesting(nullptr);
    ResetNetInterfacesForTesting();
    if (m_entered) {
      EXPECT_EQ(setns(m_hostNet, CLONE_NEWNET), 0) << strerror(errno);
    }
    if (m_hostNet >= 0) close(m_hostNet);
    if (m_created) {
      EXPECT_EQ(platform::RunProgram({"ip", "netns", "del", m_name}, 5000).exitCode, 0);
    }
    m_folder.reset();
  }

  // `ip -n <namespace> args...`
  bool Ip(std::vector<std::string> args) {
    std::vector<std::string> argv = {"ip"};
    if (m_created) argv.insert(argv.end(), {"-n", m_name});
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = platform::RunProgram(argv, 5000);
    return r.exitCode == 0;
  }
  void Write(const std::string& name, const std::string& text) { testsupport::WriteBytes(m_dir / name, text); }

  SNetInterface ByName(const wchar_t* name) {
    SNetInterface found;
    EXPECT_TRUE(FindNetInterface(InterfaceIdName, name, found)) << WideToUtf8(name);
    return found;
  }
  static std::vector<std::wstring> Addresses(const SNetInterface& r) {
    std::vector<std::wstring> out;
    for (const auto& a : r.addresses) out.push_back(AddressListToText({a}, false));
    return out;
  }
  // Waits, at most 5 s, for the watcher to report something after count.
  static bool WaitForChangeAfter(uint64_t count) {
    for (int i = 0; i < 500; ++i) {
      if (g_NetInterfacesChangeCount.load() != count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string m_name;
  bool m_created = false;
  bool m_entered = false;
  int m_hostNet = -1;
  std::unique_ptr<testsupport::TempFolder> m_folder;
  std::filesystem::path m_dir;
  std::unique_ptr<CountingSource> m_source;
};

TEST_F(NetnsInterfacesTest, ListsLinksWithAddressesStateAndDns) {
  ASSERT_TRUE(Ip({"addr", "add", "10.77.1.1/24", "dev", "va", "label", "va:1"}));
  SNetInterfacesSnapshot s;
  GetNetInterfacesSnapshot(s);
  std::vector<std::wstring> names;
  for (const auto& [id, r] : s.interfaces) names.push_back(r.name);
  EXPECT_THAT(names, UnorderedElementsAre(L"va", L"vb"));  // no loopback

  SNetInterface va = ByName(L"va");
  EXPECT_EQ(va.id, L"{6D7ED771-25C3-58FC-BE71-6D5ECDBBE443}");
  EXPECT_TRUE(va.IsUp());
  EXPECT_EQ(va.GetText(false, true), L"va");
  EXPECT_THAT(Addresses(va), UnorderedElementsAre(L"10.77.0.1", L"10.77.1.1", L"fd00:77::1"));
  EXPECT_EQ(AddressListToText(va.dnsServers, false), L"10.77.0.54, fd00:77::54");
  EXPECT_EQ(va.dnsSuffix, L"ns.example");
  EXPECT_EQ(va.wireless, 0);
  SNetInterface vb = ByName(L"vb");
  EXPECT_TRUE(vb.up);
  EXPECT_FALSE(vb.IsUp());  // up, but without an address
  EXPECT_EQ(AddressListToText(GetSystemDnsServers(), false), L"10.77.0.53");

  // Taking the peer down drops va's carrier.
  ASSERT_TRUE(Ip({"link", "set", "vb", "down"}));
  OnIpInterfaceChange();
  va = ByName(L"va");
  EXPECT_FALSE(va.up);
  EXPECT_EQ(va.GetText(false, true), L"va [down]");
  EXPECT_FALSE(ByName(L"vb").up);
  EXPECT_EQ(m_source->enumerations, 2);
}

TEST_F(NetnsInterfacesTest, TrustsSysfsOnlyForTheSameInterface) {
  // A /sys tree of our own: va's entry has va's index, vb's that of another link.
  auto sys = m_dir / "sys";
  auto entry = [&](const char* name, unsigned index, const char* state, bool wireless) {
    std::filesystem::create_directories(sys / name);
    testsupport::WriteBytes(sys / name / "ifindex", std::to_string(index) + "\n");
    testsupport::WriteBytes(sys / name / "operstate", std::string(state) + "\n");
    testsupport::WriteBytes(sys / name / "type", "1\n");
    if (wireless) std::filesystem::create_directories(sys / name / "wireless");
  };
  entry("va", if_nametoindex("va"), "dormant", true);
  entry("vb", if_nametoindex("vb") + 100, "down", true);
  platform::SNetAdapterPaths paths;
  paths.sysClassNet = sys;
  paths.resolvConf = m_dir / "resolv.conf";
  paths.resolvectl = paths.nmcli = (m_dir / "none").string();
  platform::LinuxNetAdapterSource source(paths);
  std::vector<platform::SAdapterInfo> adapters;
  ASSERT_TRUE(source.EnumerateAdapters(adapters));
  ASSERT_EQ(adapters.size(), 2u);
  EXPECT_EQ(adapters[0].name, "va");
  EXPECT_FALSE(adapters[0].up);  // dormant is not up, though the link runs
  EXPECT_TRUE(adapters[0].wireless);
  EXPECT_EQ(adapters[1].name, "vb");
  EXPECT_TRUE(adapters[1].up);  // from the link's own flags
  EXPECT_FALSE(adapters[1].wireless);
  EXPECT_TRUE(adapters[1].dnsServers.empty());
}

TEST_F(NetnsInterfacesTest, WatcherReportsLinkAddressAndDnsFileChanges) {
  uint64_t count = g_NetInterfacesChangeCount.load();
  ASSERT_TRUE(RegisterNetInterfaceChangeNotification());
  ASSERT_TRUE(WaitForChangeAfter(count)) << "no initial notification";
  count = g_NetInterfacesChangeCount.load();
  EXPECT_TRUE(ByName(L"va").IsUp());

  ASSERT_TRUE(Ip({"addr", "add", "10.77.0.2/24", "dev", "va"}));
  ASSERT_TRUE(WaitForChangeAfter(count)) << "no notification for a new address";
  EXPECT_THAT(Addresses(ByName(L"va")), UnorderedElementsAre(L"10.77.0.1", L"10.77.0.2", L"fd00:77::1"));

  count = g_NetInterfacesChangeCount.load();
  ASSERT_TRUE(Ip({"link", "set", "vb", "down"}));
  ASSERT_TRUE(WaitForChangeAfter(count)) << "no notification for a link going down";
  EXPECT_FALSE(ByName(L"va").up);

  // resolv.conf is replaced by rename, as resolvers write it.
  count = g_NetInterfacesChangeCount.load();
  Write("resolv.conf.new", "nameserver 10.77.0.60\n");
  std::filesystem::rename(m_dir / "resolv.conf.new", m_dir / "resolv.conf");
  ASSERT_TRUE(WaitForChangeAfter(count)) << "no notification for a new resolv.conf";
  EXPECT_EQ(AddressListToText(GetSystemDnsServers(), false), L"10.77.0.60");
}

TEST_F(NetnsInterfacesTest, NoRebuildWhileNothingChanges) {
  ASSERT_TRUE(RegisterNetInterfaceChangeNotification());
  bool quiet = false;
  // Retried while the system still reports something (bounded).
  for (int attempt = 0; attempt < 50 && !quiet; ++attempt) {
    uint64_t count = g_NetInterfacesChangeCount.load();
    SNetInterfacesSnapshot s;
    GetNetInterfacesSnapshot(s);  // may rebuild for an earlier change
    int built = m_source->enumerations;
    GetNetInterfacesSnapshot(s);
    SNetInterface found;
    FindNetInterface(InterfaceIdName, L"va", found);
    GetSystemDnsServers();
    if (g_NetInterfacesChangeCount.load() == count) {
      quiet = true;
      EXPECT_EQ(m_source->enumerations, built);
    }
  }
  EXPECT_TRUE(quiet) << "the namespace never stopped reporting changes";
}

}  // namespace
