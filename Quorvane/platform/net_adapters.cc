#include "Quorvane/platform/net_adapters.h"

#include <arpa/inet.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "Quorvane/platform/run_program.h"

namespace platform {
namespace {

// The program's own namespace for interface ids. Never change it: conf-files
// store the ids made under it.
constexpr InterfaceUuid kInterfaceNamespace = {0x2c, 0x33, 0xaa, 0xfb, 0xe9, 0x55, 0x49, 0x7f,
                                               0x91, 0x94, 0x8d, 0x65, 0x17, 0x3f, 0x75, 0x4b};

constexpr size_t kFileLimit = 1 << 20;  // resolv.conf and its kin

std::string_view Trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    lines.push_back(text.substr(0, nl));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < text.size()) {
    size_t b = text.find_first_not_of(" \t\r", i);
    if (b == std::string_view::npos) break;
    size_t e = text.find_first_of(" \t\r", b);
    if (e == std::string_view::npos) e = text.size();
    words.push_back(text.substr(b, e - b));
    i = e;
  }
  return words;
}

// nmcli's terse mode writes ':' and '\' inside values as "\:" and "\\".
std::vector<std::string> SplitTerse(std::string_view line) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      fields.back() += line[++i];
    } else if (c == ':') {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

std::string UnescapeTerse(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    out += value[i];
  }
  return out;
}

bool ParsePort(std::string_view text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// An IPv4 or IPv6 address, the latter optionally with "%scope" (a name or number).
bool ParseHostAddress(std::string_view host, uint16_t port, sockaddr_storage& address) {
  std::string scope;
  size_t percent = host.find('%');
  if (percent != std::string_view::npos) {
    scope = std::string(host.substr(percent + 1));
    host = host.substr(0, percent);
  }
  std::string text(host);
  sockaddr_storage result{};
  in_addr v4{};
  in6_addr v6{};
  if (scope.empty() && inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&result);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    sin->sin_addr = v4;
  } else if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&result);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    sin6->sin6_addr = v6;
    if (!scope.empty()) {
      uint16_t number = 0;
      sin6->sin6_scope_id = ParsePort(scope, number) ? number : if_nametoindex(scope.c_str());
    }
  } else {
    return false;
  }
  address = result;
  return true;
}

bool ReadSmallFile(const std::filesystem::path& path, std::string& text, size_t limit = kFileLimit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(limit, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return !in.bad();
}

std::string ReadSysValue(const std::filesystem::path& path) {
  std::string text;
  if (!ReadSmallFile(path, text, 256)) return {};
  return std::string(Trim(text));
}

bool IsResolvedStub(const sockaddr_storage& address) {
  if (address.ss_family != AF_INET) return false;
  const auto* sin = reinterpret_cast<const sockaddr_in*>(&address);
  return ntohl(sin->sin_addr.s_addr) == 0x7F000035;  // 127.0.0.53
}

bool IsUnicastFamily(const sockaddr* address) {
  return address && (address->sa_family == AF_INET || address->sa_family == AF_INET6);
}

// Reads the change sources until stopped; one callback per burst.
class CLinuxNetChangeWatcher : public NetChangeWatcher {
 public:
  CLinuxNetChangeWatcher(int netlink, int inotify, int stop, std::map<int, std::set<std::string>> names,
                         std::function<void()> onChange)
      : m_netlink(netlink), m_inotify(inotify), m_stop(stop), m_names(std::move(names)),
        m_onChange(std::move(onChange)) {
    m_thread = std::thread([this] { Run(); });
  }

  ~CLinuxNetChangeWatcher() override {
    uint64_t one = 1;
    if (write(m_stop, &one, sizeof one) != sizeof one) {
      // An eventfd write fails only on counter overflow; the thread still sees it readable.
    }
    m_thread.join();
    close(m_netlink);
    if (m_inotify >= 0) close(m_inotify);
    close(m_stop);
  }

 private:
  void Run() {
    m_onChange();
    for (;;) {
      pollfd fds[3] = {{m_stop, POLLIN, 0}, {m_netlink, POLLIN, 0}, {m_inotify, POLLIN, 0}};
      nfds_t n = m_inotify >= 0 ? 3 : 2;
      if (poll(fds, n, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents) return;
      bool changed = false;
      if (fds[1].revents) changed |= DrainNetlink();
      if (n == 3 && fds[2].revents) changed |= DrainInotify();
      if (changed) m_onChange();
    }
  }

  bool DrainNetlink() {
    bool changed = false;
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
      ssize_t got = recv(m_netlink, buffer, sizeof buffer, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        // ENOBUFS: the kernel dropped messages, so something changed unseen.
        if (errno == ENOBUFS) changed = true;
        return changed;
      }
      if (got == 0) return changed;
      size_t left = static_cast<size_t>(got);
      for (const char* p = buffer; left >= sizeof(nlmsghdr);) {
        const auto* h = reinterpret_cast<const nlmsghdr*>(p);
        if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > left) break;
        switch (h->nlmsg_type) {
          case RTM_NEWLINK:
          case RTM_DELLINK:
          case RTM_NEWADDR:
          case RTM_DELADDR:
            changed = true;
            break;
          default:
            break;
        }
        size_t step = NLMSG_ALIGN(h->nlmsg_len);
        if (step >= left) break;
        p += step;
        left -= step;
      }
    }
  }

  bool DrainInotify() {
    bool changed = false;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      ssize_t got = read(m_inotify, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return changed;
      for (ssize_t i = 0; i + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + i);
        if (e->mask & IN_Q_OVERFLOW) {
          changed = true;
        } else if (e->len > 0) {
          auto it = m_names.find(e->wd);
          if (it != m_names.end() && it->second.count(e->name)) changed = true;
        }
        i += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  }

  int m_netlink;
  int m_inotify;  // -1 when the DNS files are not watched
  int m_stop;     // eventfd
  std::map<int, std::set<std::string>> m_names;  // watch descriptor -> file names that matter
  std::function<void()> m_onChange;
  std::thread m_thread;
};

std::atomic<NetAdapterSource*> g_SourceOverride{nullptr};

}  // namespace

InterfaceUuid NameBasedUuid(const InterfaceUuid& ns, std::string_view name) {
  std::string data(reinterpret_cast<const char*>(ns.data()), ns.size());
  data.append(name);
  uint8_t digest[20] = {};
  gnutls_hash_fast(GNUTLS_DIG_SHA1, data.data(), data.size(), digest);
  InterfaceUuid uuid;
  std::memcpy(uuid.data(), digest, uuid.size());
  uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x50);  // version 5
  uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return uuid;
}

InterfaceUuid InterfaceUuidFromName(std::string_view name) { return NameBasedUuid(kInterfaceNamespace, name); }

bool ParseServerToken(std::string_view token, sockaddr_storage& address) {
  token = token.substr(0, token.find('#'));
  if (token.empty()) return false;
  uint16_t port = 53;
  std::string_view host = token;
  if (token.front() == '[') {
    size_t close = token.find(']');
    if (close == std::string_view::npos) return false;
    host = token.substr(1, close - 1);
    std::string_view rest = token.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !ParsePort(rest.substr(1), port))) return false;
  } else if (std::count(token.begin(), token.end(), ':') == 1) {
    size_t colon = token.find(':');
    host = token.substr(0, colon);
    if (!ParsePort(token.substr(colon + 1), port)) return false;
  }
  return ParseHostAddress(host, port, address);
}

std::vector<sockaddr_storage> ParseResolvConf(std::string_view text) {
  std::vector<sockaddr_storage> servers;
  for (std::string_view line : Lines(text)) {
    auto words = Words(line);
    if (words.size() < 2 || words[0] != "nameserver") continue;
    sockaddr_storage address;
    if (ParseHostAddress(words[1], 53, address)) servers.push_back(address);
  }
  return servers;
}

std::map<std::string, SInterfaceDns> ParseResolvectl(std::string_view dnsOutput, std::string_view domainOutput) {
  std::map<std::string, SInterfaceDns> result;
  // "Link 2 (eth0): value value ..."; the Global line has no interface.
  auto forEachLink = [](std::string_view text, auto&& take) {
    for (std::string_view line : Lines(text)) {
      line = Trim(line);
      if (line.substr(0, 5) != "Link ") continue;
      size_t open = line.find('(');
      size_t close = line.find("):");
      if (open == std::string_view::npos || close == std::string_view::npos || close <= open + 1) continue;
      take(std::string(line.substr(open + 1, close - open - 1)), Words(line.substr(close + 2)));
    }
  };
  forEachLink(dnsOutput, [&](const std::string& name, const std::vector<std::string_view>& values) {
    auto& entry = result[name];
    for (auto value : values) {
      sockaddr_storage address;
      if (ParseServerToken(value, address)) entry.servers.push_back(address);
    }
  });
  forEachLink(domainOutput, [&](const std::string& name, const std::vector<std::string_view>& values) {
    auto& entry = result[name];
    for (auto value : values) {
      // "~domain" only routes queries; it is no search suffix.
      if (!value.empty() && value.front() != '~') {
        entry.suffix = std::string(value);
        break;
      }
    }
  });
  return result;
}

std::map<std::string, SInterfaceDns> ParseNmcliDeviceShow(std::string_view text) {
  std::map<std::string, SInterfaceDns> result;
  SInterfaceDns* current = nullptr;
  for (std::string_view line : Lines(text)) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view key = line.substr(0, colon);
    key = key.substr(0, key.find('['));
    std::string value = UnescapeTerse(Trim(line.substr(colon + 1)));
    if (key == "GENERAL.DEVICE") {
      current = value.empty() ? nullptr : &result[value];
      continue;
    }
    if (!current) continue;
    if (key == "IP4.DNS" || key == "IP6.DNS") {
      sockaddr_storage address;
      if (ParseServerToken(value, address)) current->servers.push_back(address);
    } else if ((key == "IP4.DOMAIN" || key == "IP6.DOMAIN") && current->suffix.empty() && value != "--") {
      current->suffix = value;
    }
  }
  return result;
}

std::vector<SWlanNetwork> ParseNmcliWifiList(std::string_view text) {
  std::vector<SWlanNetwork> networks;
  for (std::string_view line : Lines(text)) {
    auto fields = SplitTerse(line);
    if (fields.size() != 3) continue;
    if (fields[0] != "yes" && fields[0] != "no") continue;
    if (fields[1].empty() || fields[1] == "--" || fields[2].empty()) continue;
    networks.push_back({fields[1], fields[2], fields[0] == "yes"});
  }
  return networks;
}

std::vector<sockaddr_storage> LoadSystemDnsServers(const SNetAdapterPaths& paths) {
  std::string text;
  if (!ReadSmallFile(paths.resolvConf, text)) return {};
  auto servers = ParseResolvConf(text);
  bool onlyStub = !servers.empty() && std::all_of(servers.begin(), servers.end(), IsResolvedStub);
  if (onlyStub && ReadSmallFile(paths.resolvedUpstream, text)) servers = ParseResolvConf(text);
  return servers;
}

LinuxNetAdapterSource::LinuxNetAdapterSource(SNetAdapterPaths paths) : m_paths(std::move(paths)) {}

std::map<std::string, SInterfaceDns> LinuxNetAdapterSource::QueryInterfaceDns() {
  auto dns = RunProgram({m_paths.resolvectl, "dns"}, m_paths.toolTimeoutMs);
  if (dns.started && !dns.timedOut && dns.exitCode == 0) {
    auto domain = RunProgram({m_paths.resolvectl, "domain"}, m_paths.toolTimeoutMs);
    bool domainOk = domain.started && !domain.timedOut && domain.exitCode == 0;
    return ParseResolvectl(dns.output, domainOk ? domain.output : std::string());
  }
  auto show = RunProgram({m_paths.nmcli, "-t", "-f", "GENERAL.DEVICE,IP4.DNS,IP6.DNS,IP4.DOMAIN,IP6.DOMAIN",
                          "device", "show"},
                         m_paths.toolTimeoutMs);
  if (show.started && !show.timedOut && show.exitCode == 0) return ParseNmcliDeviceShow(show.output);
  return {};
}

bool LinuxNetAdapterSource::EnumerateAdapters(std::vector<SAdapterInfo>& out) {
  out.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;

  struct Entry {
    SAdapterInfo info;
    unsigned flags = 0;
    int ifindex = 0;
  };
  std::map<std::string, Entry> entries;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_name || IsUnicastFamily(a->ifa_addr)) continue;
    Entry& e = entries[a->ifa_name];
    e.flags |= a->ifa_flags;
    if (a->ifa_addr && a->ifa_addr->sa_family == AF_PACKET)
      e.ifindex = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr)->sll_ifindex;
  }
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_name || !IsUnicastFamily(a->ifa_addr)) continue;
    std::string name = a->ifa_name;
    // IPv4 address labels ("eth0:1") belong to their link.
    size_t colon = name.find(':');
    if (!entries.count(name) && colon != std::string::npos && entries.count(name.substr(0, colon)))
      name.resize(colon);
    Entry& e = entries[name];
    e.flags |= a->ifa_flags;
    sockaddr_storage address{};
    std::memcpy(&address, a->ifa_addr,
                a->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    e.info.addresses.push_back(address);
  }
  freeifaddrs(list);

  auto dns = QueryInterfaceDns();
  for (auto& [name, e] : entries) {
    if (e.flags & IFF_LOOPBACK) continue;
    const auto dir = m_paths.sysClassNet / name;
    if (e.ifindex == 0) e.ifindex = static_cast<int>(if_nametoindex(name.c_str()));
    // /sys shows the namespace it was mounted in, which need not be ours: trust
    // it only for the same interface index.
    bool sysMatches = e.ifindex != 0 && ReadSysValue(dir / "ifindex") == std::to_string(e.ifindex);
    bool running = (e.flags & IFF_UP) && (e.flags & IFF_RUNNING);
    if (sysMatches) {
      if (ReadSysValue(dir / "type") == std::to_string(ARPHRD_LOOPBACK)) continue;
      std::string state = ReadSysValue(dir / "operstate");
      // Tunnels and point-to-point links that report no state are up when running.
      e.info.up = state == "up" || (state == "unknown" && running);
      std::error_code ec;
      e.info.wireless = std::filesystem::exists(dir / "wireless", ec) || std::filesystem::exists(dir / "phy80211", ec);
    } else {
      e.info.up = running;
    }
    e.info.name = name;
    e.info.uuid = InterfaceUuidFromName(name);
    if (auto it = dns.find(name); it != dns.end()) {
      e.info.dnsServers = it->second.servers;
      e.info.dnsSuffix = it->second.suffix;
    }
    out.push_back(std::move(e.info));
  }
  return true;
}

bool LinuxNetAdapterSource::EnumerateWlanNetworks(std::vector<SWlanNetwork>& out) {
  out.clear();
  auto r = RunProgram({m_paths.nmcli, "-t", "-f", "ACTIVE,SSID,DEVICE", "device", "wifi", "list", "--rescan", "no"},
                      m_paths.toolTimeoutMs);
  // Exit status 8: NetworkManager is not running.
  if (!r.started || r.timedOut || r.exitCode == 8) return false;
  if (r.exitCode == 0) out = ParseNmcliWifiList(r.output);
  return true;
}

std::vector<sockaddr_storage> LinuxNetAdapterSource::LoadSystemDnsServers() {
  return platform::LoadSystemDnsServers(m_paths);
}

bool LinuxNetAdapterSource::RequestWlanScan() {
  auto r = RunProgram({m_paths.nmcli, "device", "wifi", "rescan"}, m_paths.toolTimeoutMs);
  return r.started && !r.timedOut && r.exitCode != 8;
}

std::unique_ptr<NetChangeWatcher> LinuxNetAdapterSource::StartWatcher(std::function<void()> onChange) {
  int netlink = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (netlink < 0) return nullptr;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  int stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (bind(netlink, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || stop < 0) {
    close(netlink);
    if (stop >= 0) close(stop);
    return nullptr;
  }

  // The DNS files are replaced by rename, so their folders are watched. When
  // resolv.conf is a link, the folder of its target is watched as well.
  std::vector<std::filesystem::path> files = {m_paths.resolvConf, m_paths.resolvedUpstream};
  std::error_code ec;
  if (std::filesystem::is_symlink(m_paths.resolvConf, ec)) {
    auto target = std::filesystem::weakly_canonical(m_paths.resolvConf, ec);
    if (!ec) files.push_back(target);
  }
  int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  std::map<int, std::set<std::string>> names;
  if (inotify >= 0) {
    for (const auto& file : files) {
      auto folder = file.parent_path();
      if (folder.empty()) folder = ".";
      int wd = inotify_add_watch(inotify, folder.c_str(),
                                 IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE);
      if (wd >= 0) names[wd].insert(file.filename().string());
    }
    if (names.empty()) {
      close(inotify);
      inotify = -1;
    }
  }
  return std::make_unique<CLinuxNetChangeWatcher>(netlink, inotify, stop, std::move(names), std::move(onChange));
}

NetAdapterSource& GetNetAdapterSource() {
  static LinuxNetAdapterSource s_default;
  NetAdapterSource* source = g_SourceOverride.load(std::memory_order_acquire);
  return source ? *source : s_default;
}

void SetNetAdapterSourceForTesting(NetAdapterSource* source) {
  g_SourceOverride.store(source, std::memory_order_release);
}

}  // namespace platform
