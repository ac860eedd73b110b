// The machine's network picture as the operating system gives it: adapters
// with their addresses and DNS servers, the system DNS servers, visible Wi-Fi
// networks, and a notification when any of them may have changed. Stands in
// for the IP Helper adapter list and change notification, DnsQueryConfig, the
// WLAN API and the RAS phonebook (which has no counterpart: no entries).
// Backed by getifaddrs, /sys/class/net, rtnetlink, inotify, resolv.conf and,
// when installed, `resolvectl` and `nmcli` (each run with a 2-s bound).
// A missing tool or file means "no such information", never an error.
// The Linux source keeps no state between calls, so any thread may call it;
// the watcher calls back on its own thread. /sys shows the network namespace
// it was mounted in: its values are used only for a link whose index matches.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A UUID's 16 bytes in the order they are written (RFC 4122).
using InterfaceUuid = std::array<uint8_t, 16>;

// The name-based (version 5, SHA-1) UUID of name under the namespace ns.
InterfaceUuid NameBasedUuid(const InterfaceUuid& ns, std::string_view name);
// An interface's stable id: NameBasedUuid of its name under the program's own
// fixed namespace, so that ids stored in conf-files stay valid across runs.
InterfaceUuid InterfaceUuidFromName(std::string_view name);

struct SAdapterInfo {
  std::string name;                        // the kernel's interface name
  InterfaceUuid uuid{};                    // InterfaceUuidFromName(name)
  bool up = false;                         // operational state up
  bool wireless = false;                   // an 802.11 device
  std::vector<sockaddr_storage> addresses; // unicast IPv4 and IPv6, zero-padded
  std::vector<sockaddr_storage> dnsServers;
  std::string dnsSuffix;                   // UTF-8
};

struct SWlanNetwork {
  std::string ssid;    // UTF-8, never empty
  std::string device;  // the interface that sees it
  bool connected = false;
};

struct SInterfaceDns {
  std::vector<sockaddr_storage> servers;
  std::string suffix;  // the first search domain, UTF-8
};

// Parsers of the files and tool outputs, for tests. Each skips every line or
// token it does not understand. Server addresses without a port get port 53.

// "nameserver" lines of resolv.conf, in file order.
std::vector<sockaddr_storage> ParseResolvConf(std::string_view text);
// `resolvectl dns` and `resolvectl domain` output, by interface name.
std::map<std::string, SInterfaceDns> ParseResolvectl(std::string_view dnsOutput, std::string_view domainOutput);
// `nmcli -t -f GENERAL.DEVICE,IP4.DNS,IP6.DNS,IP4.DOMAIN,IP6.DOMAIN device show`.
std::map<std::string, SInterfaceDns> ParseNmcliDeviceShow(std::string_view text);
// `nmcli -t -f ACTIVE,SSID,DEVICE device wifi list`; hidden networks are left out.
std::vector<SWlanNetwork> ParseNmcliWifiList(std::string_view text);
// One server token: "1.2.3.4", "1.2.3.4:853", "fe80::1%eth0", "[::1]:53",
// any of them followed by "#server-name".
bool ParseServerToken(std::string_view token, sockaddr_storage& address);

struct SNetAdapterPaths {
  std::filesystem::path resolvConf = "/etc/resolv.conf";
  // systemd-resolved's list of upstream servers, used when resolvConf names
  // only its local stub 127.0.0.53.
  std::filesystem::path resolvedUpstream = "/run/systemd/resolve/resolv.conf";
  std::filesystem::path sysClassNet = "/sys/class/net";
  std::string nmcli = "nmcli";            // looked up in PATH unless it holds a "/"
  std::string resolvectl = "resolvectl";
  int toolTimeoutMs = 2000;
};

// The system DNS servers from paths.resolvConf, or from the upstream file when
// it names only the stub. Empty when neither can be read.
std::vector<sockaddr_storage> LoadSystemDnsServers(const SNetAdapterPaths& paths);

// A running change watcher; destroying it stops the watch and joins its thread.
class NetChangeWatcher {
 public:
  virtual ~NetChangeWatcher() = default;
};

class NetAdapterSource {
 public:
  virtual ~NetAdapterSource() = default;
  // Every interface but loopback, sorted by name, with per-interface DNS.
  // False (out empty) when the system could not be asked.
  virtual bool EnumerateAdapters(std::vector<SAdapterInfo>& out) = 0;
  // The cached list of visible networks (no rescan). False when no Wi-Fi
  // service answers.
  virtual bool EnumerateWlanNetworks(std::vector<SWlanNetwork>& out) = 0;
  virtual std::vector<sockaddr_storage> LoadSystemDnsServers() = 0;
  // Asks for a fresh Wi-Fi scan; false when no Wi-Fi service answers.
  virtual bool RequestWlanScan() = 0;
  // Calls onChange on the watcher's thread once at start and after every
  // change of links, addresses or the DNS files. nullptr when it cannot watch.
  virtual std::unique_ptr<NetChangeWatcher> StartWatcher(std::function<void()> onChange) = 0;
};

class LinuxNetAdapterSource : public NetAdapterSource {
 public:
  explicit LinuxNetAdapterSource(SNetAdapterPaths paths = {});
  bool EnumerateAdapters(std::vector<SAdapterInfo>& out) override;
  bool EnumerateWlanNetworks(std::vector<SWlanNetwork>& out) override;
  std::vector<sockaddr_storage> LoadSystemDnsServers() override;
  bool RequestWlanScan() override;
  std::unique_ptr<NetChangeWatcher> StartWatcher(std::function<void()> onChange) override;

 private:
  std::map<std::string, SInterfaceDns> QueryInterfaceDns();
  SNetAdapterPaths m_paths;
};

// The process's source: a LinuxNetAdapterSource with the default paths unless
// a test replaced it. nullptr restores the default; the replacement must
// outlive its use.
NetAdapterSource& GetNetAdapterSource();
void SetNetAdapterSourceForTesting(NetAdapterSource* source);

}  // namespace platform
