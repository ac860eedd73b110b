// A real unbound for peer tests: started on a free port of 127.0.0.1 and ::1
// with a generated configuration and the test's local data, in a folder of
// its own; stopped (SIGTERM, then SIGKILL) when the fixture goes. It never
// recurses: names outside the test's local zones are refused, and it may
// only send from loopback. Queries are logged, so a test can check what
// reached it (QueryLog). Every wait is bounded; a failed start is a test
// failure that quotes unbound's log.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace testsupport {

struct SUnboundOptions {
  // local-zone lines, as "name type" ("example.test. static").
  std::vector<std::string> localZones;
  // local-data records in zone-file form ("host.example.test. 300 IN A 192.0.2.1").
  std::vector<std::string> localData;
  // More "server:" lines, as unbound reads them.
  std::vector<std::string> serverLines;
  // With both set, DNS over TLS is served on a port of its own (TlsPort) of
  // 127.0.0.1 with this certificate chain (leaf first) and key, in PEM.
  std::string tlsChainPem;
  std::string tlsKeyPem;
};

class CUnboundServer {
 public:
  static constexpr int kStartWaitMs = 10000;

  explicit CUnboundServer(const SUnboundOptions& options) {
    if (access("/usr/sbin/unbound", X_OK) != 0) {
      ADD_FAILURE() << "unbound is needed (/usr/sbin/unbound): run scripts/bootstrap";
      return;
    }
    // Another process may take the port between choosing and binding it.
    std::string error;
    for (int attempt = 0; attempt < 3 && m_pid <= 0; ++attempt) error = Start(options);
    if (m_pid <= 0) ADD_FAILURE() << error;
  }

  ~CUnboundServer() { Stop(); }
  CUnboundServer(const CUnboundServer&) = delete;
  CUnboundServer& operator=(const CUnboundServer&) = delete;

  bool Running() const { return m_pid > 0; }
  uint16_t Port() const { return m_port; }
  uint16_t TlsPort() const { return m_tlsPort; }
  const std::filesystem::path& Folder() const { return m_folder.Path(); }

  // A resolv.conf naming only this server (on 127.0.0.1, or ::1).
  std::filesystem::path WriteResolvConf(bool ipv6 = false) const {
    std::filesystem::path path = Folder() / "resolv.conf";
    WriteBytes(path, std::string("nameserver ") + (ipv6 ? "::1" : "127.0.0.1") + "\n");
    return path;
  }

  // unbound's log: one "info: <client> <name> <type> IN" line per query.
  std::string QueryLog() const { return ReadBytes(Folder() / "unbound.log"); }

  void Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (!WaitExit(3000)) {
      kill(m_pid, SIGKILL);
      WaitExit(3000);
    }
    m_pid = 0;
  }

 public:
  // Also what the named fixture listens on.
  static uint16_t FreePort() {
    // Free for UDP and TCP on both loopbacks at the moment of asking.
    for (int i = 0; i < 20; ++i) {
      int udp = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof address;
      bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address);
      getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length);
      uint16_t port = ntohs(address.sin_port);
      int tcp = socket(AF_INET, SOCK_STREAM, 0);
      bool free = bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      close(tcp);
      close(udp);
      if (free && port != 0) return port;
    }
    return 0;
  }

 private:
  // Empty when unbound runs, else why not.
  std::string Start(const SUnboundOptions& options) {
    m_port = FreePort();
    if (m_port == 0) return "no free loopback port";
    std::string dir = Folder().string();
    std::string conf = "server:\n";
    auto line = [&conf](const std::string& text) { conf += "  " + text + "\n"; };
    line("interface: 127.0.0.1@" + std::to_string(m_port));
    line("interface: ::1@" + std::to_string(m_port));
    line("do-daemonize: no");
    line("use-syslog: no");
    line("logfile: \"" + dir + "/unbound.log\"");
    line("log-queries: yes");
    line("verbosity: 1");
    line("chroot: \"\"");
    line("username: \"\"");
    line("directory: \"" + dir + "\"");
    line("pidfile: \"\"");
    line("num-threads: 1");
    line("module-config: \"iterator\"");
    line("rrset-roundrobin: no");
    line("minimal-responses: yes");
    line("outgoing-interface: 127.0.0.1");
    line("access-control: 127.0.0.0/8 allow");
    line("access-control: ::1 allow");
    line("local-zone: \".\" refuse");
    for (const auto& zone : options.localZones) line("local-zone: " + zone);
    for (const auto& data : options.localData) line("local-data: \"" + data + "\"");
    for (const auto& extra : options.serverLines) line(extra);
    if (!options.tlsChainPem.empty() && !options.tlsKeyPem.empty()) {
      do m_tlsPort = FreePort();
      while (m_tlsPort == m_port);
      if (m_tlsPort == 0) return "no free loopback port for DNS over TLS";
      WriteBytes(Folder() / "tls.pem", options.tlsChainPem);
      WriteBytes(Folder() / "tls.key", options.tlsKeyPem);
      line("interface: 127.0.0.1@" + std::to_string(m_tlsPort));
      line("tls-port: " + std::to_string(m_tlsPort));
      line("tls-service-pem: \"" + dir + "/tls.pem\"");
      line("tls-service-key: \"" + dir + "/tls.key\"");
    }
    conf += "remote-control:\n  control-enable: no\n";
    WriteBytes(Folder() / "unbound.conf", conf);

    std::string confPath = dir + "/unbound.conf";
    std::vector<std::string> args{"/usr/sbin/unbound", "-d", "-c", confPath};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return "cannot start unbound";
    if (pid == 0) {
      // A test process that dies takes its server with it.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      execv(argv[0], argv.data());
      _exit(127);
    }
    m_pid = pid;
    if (WaitReady()) return {};
    std::string log = ReadBytes(Folder() / "unbound.log");
    Stop();
    return "unbound did not start on port " + std::to_string(m_port) + ":\n" + log;
  }

  // Ready once it answers a query on 127.0.0.1; false when it exits or the
  // wait ends first.
  bool WaitReady() {
    // A query for "." NS: refused by the configuration, still an answer.
    const uint8_t query[] = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 1};
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ready = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
    while (!ready && std::chrono::steady_clock::now() < deadline) {
      int status;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = 0;
        break;
      }
      sendto(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      pollfd pfd{fd, POLLIN, 0};
      if (poll(&pfd, 1, 100) == 1) {
        uint8_t reply[512];
        ready = recv(fd, reply, sizeof reply, 0) >= 2 && reply[0] == 0x12 && reply[1] == 0x34;
      }
    }
    close(fd);
    return ready;
  }

  // Reaps the process once it has exited, waiting at most ms for that.
  bool WaitExit(int ms) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
    if (pidfd >= 0) {
      pollfd pfd{pidfd, POLLIN, 0};
      poll(&pfd, 1, ms);
      close(pidfd);
    }
    int status;
    return waitpid(m_pid, &status, WNOHANG) == m_pid;
  }

  TempFolder m_folder;
  uint16_t m_port = 0;
  uint16_t m_tlsPort = 0;
  pid_t m_pid = 0;
};

}  // namespace testsupport
