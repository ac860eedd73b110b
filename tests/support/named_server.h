// A real named (bind9) for peer tests: authoritative only, on a free port of
// 127.0.0.1, for zones written and signed at test time with dnssec-keygen
// and dnssec-signzone (bind9-utils) in a folder of its own. Each signed
// child gets its DS in its parent; a bogus zone has a record changed after
// signing, an expired one signatures that ended an hour ago. The first
// zone's key file is the trust anchor (AnchorFile). Queries are logged
// (QueryLog). Every wait is bounded; a failed start is a test failure that
// quotes named's log.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_folder.h"
#include "tests/support/unbound_server.h"
#include "tests/support/bounded_wait.h"

namespace testsupport {

enum class ENamedSigning { Unsigned, Signed, Bogus, Expired };

struct SNamedZone {
  std::string origin;                // "secure.test."
  ENamedSigning signing = ENamedSigning::Signed;
  std::vector<std::string> records;  // zone-file lines ("www 300 IN A 192.0.2.1")
  std::string bogusFrom, bogusTo;    // Bogus: this text replaced after signing
};

class CNamedServer {
 public:
  static constexpr int kStartWaitMs = 10000;

  // zones: parents before their children; the first is the anchor's zone.
  explicit CNamedServer(std::vector<SNamedZone> zones) : m_zones(std::move(zones)) {
    for (const char* tool : {"/usr/sbin/named", "/usr/bin/dnssec-keygen", "/usr/bin/dnssec-signzone"}) {
      if (access(tool, X_OK) != 0) {
        ADD_FAILURE() << tool << " is needed (bind9, bind9-utils): run scripts/bootstrap";
        return;
      }
    }
    std::string error = WriteZones();
    for (int attempt = 0; error.empty() && attempt < 3 && m_pid <= 0; ++attempt) error = Start();
    if (m_pid <= 0) ADD_FAILURE() << error;
  }
  ~CNamedServer() { Stop(); }
  CNamedServer(const CNamedServer&) = delete;
  CNamedServer& operator=(const CNamedServer&) = delete;

  bool Running() const { return m_pid > 0; }
  uint16_t Port() const { return m_port; }
  const std::filesystem::path& Folder() const { return m_folder.Path(); }
  // The first zone's key file: its DNSKEY after ";" comment lines.
  std::filesystem::path AnchorFile() const { return m_anchor; }
  std::string QueryLog() const { return ReadBytes(Folder() / "named.log"); }

  void Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    const bool ended = testsupport::WaitUntil(
        [&] {
          int status;
          return waitpid(m_pid, &status, WNOHANG) == m_pid;
        },
        std::chrono::milliseconds(3000));
    if (ended) {
      m_pid = 0;
      return;
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = 0;
  }

 private:
  // The command's standard output; empty when it failed.
  static std::string Run(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    if (pclose(pipe) != 0) return "FAILED: " + command + "\n" + out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  static std::string Stamp(std::time_t t) {
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", std::gmtime(&t));
    return text;
  }

  static bool IsChildOf(const std::string& child, const std::string& parent) {
    const size_t dot = child.find('.');
    return dot != std::string::npos && child.substr(dot + 1) == parent;
  }

  // Empty when every zone is written (and signed), else why not.
  std::string WriteZones() {
    const std::string dir = Folder().string();
    std::vector<std::string> dsLines(m_zones.size());
    // Children first, so that each parent can take their DS records.
    for (size_t i = m_zones.size(); i-- > 0;) {
      const SNamedZone& zone = m_zones[i];
      std::string text = "$TTL 300\n@ 300 IN SOA ns." + zone.origin + " admin." + zone.origin +
                         " 1 3600 600 86400 300\n@ 300 IN NS ns." + zone.origin + "\nns 300 IN A 127.0.0.1\n";
      for (const std::string& record : zone.records) text += record + "\n";
      for (size_t j = i + 1; j < m_zones.size(); ++j) {
        if (!IsChildOf(m_zones[j].origin, zone.origin)) continue;
        text += m_zones[j].origin + " 300 IN NS ns." + m_zones[j].origin + "\nns." + m_zones[j].origin +
                " 300 IN A 127.0.0.1\n" + dsLines[j];
      }
      const std::filesystem::path file = Folder() / (zone.origin + "db");
      if (zone.signing == ENamedSigning::Unsigned) {
        WriteBytes(file, text);
        continue;
      }
      std::string key = Run("dnssec-keygen -q -K " + dir + " -a ECDSAP256SHA256 -f KSK -n ZONE " + zone.origin);
      if (key.rfind("FAILED", 0) == 0 || key.empty()) return key;
      if (i == 0) m_anchor = Folder() / (key + ".key");
      text += "$INCLUDE " + dir + "/" + key + ".key\n";
      WriteBytes(file, text);
      std::string times;
      if (zone.signing == ENamedSigning::Expired) {
        const std::time_t now = std::time(nullptr);
        // -P: its own check would refuse signatures that have ended.
        times = " -P -s " + Stamp(now - 30 * 86400) + " -e " + Stamp(now - 3600);
      }
      std::string signedOut = Run("dnssec-signzone -q -z -K " + dir + " -d " + dir + " -o " + zone.origin + times +
                                  " -f " + file.string() + ".signed " + file.string() + " " + key);
      if (signedOut.rfind("FAILED", 0) == 0) return signedOut;
      if (zone.signing == ENamedSigning::Bogus) {
        std::string content = ReadBytes(file.string() + ".signed");
        const size_t at = content.find(zone.bogusFrom);
        if (zone.bogusFrom.empty() || at == std::string::npos) return "nothing to change in " + zone.origin;
        content.replace(at, zone.bogusFrom.size(), zone.bogusTo);
        WriteBytes(file.string() + ".signed", content);
      }
      std::string ds = Run("dnssec-dsfromkey -2 " + dir + "/" + key + ".key");
      if (ds.rfind("FAILED", 0) == 0) return ds;
      dsLines[i] = ds + "\n";
    }
    return {};
  }

  std::string Start() {
    m_port = CUnboundServer::FreePort();
    if (m_port == 0) return "no free loopback port";
    const std::string dir = Folder().string();
    std::string conf = "options {\n  directory \"" + dir + "\";\n  pid-file none;\n  session-keyfile \"" + dir +
                       "/session.key\";\n  listen-on port " + std::to_string(m_port) +
                       " { 127.0.0.1; };\n  listen-on-v6 { none; };\n  recursion no;\n  dnssec-validation no;\n"
                       "  notify no;\n  querylog yes;\n};\n"
                       "logging {\n  channel all { file \"" + dir + "/named.log\"; print-time yes; severity info; };\n"
                       "  category default { all; };\n  category queries { all; };\n};\n";
    for (const SNamedZone& zone : m_zones) {
      const std::string file = zone.origin + "db" + (zone.signing == ENamedSigning::Unsigned ? "" : ".signed");
      conf += "zone \"" + zone.origin + "\" { type primary; file \"" + dir + "/" + file + "\"; };\n";
    }
    WriteBytes(Folder() / "named.conf", conf);
    std::vector<std::string> args{"/usr/sbin/named", "-f", "-4", "-n", "1", "-c", dir + "/named.conf"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return "cannot start named";
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      execv(argv[0], argv.data());
      _exit(127);
    }
    m_pid = pid;
    if (WaitReady()) return {};
    const std::string log = QueryLog();
    Stop();
    return "named did not start on port " + std::to_string(m_port) + ":\n" + log;
  }

  // Ready once it answers the first zone's SOA query.
  bool WaitReady() {
    std::vector<uint8_t> query{0x51, 0x52, 0x00, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    const std::string& origin = m_zones.empty() ? std::string(".") : m_zones[0].origin;
    size_t start = 0;
    for (size_t dot; (dot = origin.find('.', start)) != std::string::npos && dot > start; start = dot + 1) {
      query.push_back(static_cast<uint8_t>(dot - start));
      query.insert(query.end(), origin.begin() + static_cast<long>(start), origin.begin() + static_cast<long>(dot));
    }
    query.insert(query.end(), {0, 0, 6, 0, 1});
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ready = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
    while (!ready && std::chrono::steady_clock::now() < deadline) {
      int status;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = 0;
        break;
      }
      sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      pollfd pfd{fd, POLLIN, 0};
      if (poll(&pfd, 1, 100) == 1) {
        uint8_t reply[512];
        ready = recv(fd, reply, sizeof reply, 0) >= 4 && reply[0] == 0x51 && (reply[3] & 0x0F) == 0;
      }
    }
    close(fd);
    return ready;
  }

  std::vector<SNamedZone> m_zones;
  TempFolder m_folder;
  std::filesystem::path m_anchor;
  uint16_t m_port = 0;
  pid_t m_pid = 0;
};

}  // namespace testsupport
