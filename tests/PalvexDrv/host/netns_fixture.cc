#include "tests/PalvexDrv/host/netns_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace testsupport {

namespace {

std::atomic<int> g_Serial{0};

pid_t SpawnWithOutput(const std::vector<std::string>& argv, int outputFd) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  dup2(outputFd, 1);
  dup2(outputFd, 2);
  int devNull = open("/dev/null", O_RDONLY);
  dup2(devNull, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// Runs a setup command on the host; true on exit status 0.
bool Host(const std::vector<std::string>& argv, std::string& error) {
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t pid = SpawnWithOutput(argv, devNull);
  close(devNull);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "setup failed:";
    for (const std::string& arg : argv) error += " " + arg;
    return false;
  }
  return true;
}

// Namespaces of this fixture left by a test process that has died.
void RemoveOrphans() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("tvnc-", 0) != 0 && name.rfind("tvns-", 0) != 0) continue;
    long pid = std::strtol(name.c_str() + 5, nullptr, 10);
    if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      std::string ignored;
      Host({"ip", "netns", "delete", name}, ignored);
    }
  }
}

std::vector<uint8_t> Answer(const uint8_t* query, size_t length) {
  if (length < 12) return {};
  size_t end = 12;
  while (end < length && query[end] != 0) end += size_t(query[end]) + 1;
  if (end + 5 > length) return {};
  std::vector<uint8_t> answer(query, query + end + 5);
  answer[2] = 0x80 | (query[2] & 0x01);  // QR, RD as asked
  answer[3] = 0x80;                      // RA
  answer[4] = 0, answer[5] = 1;          // one question
  answer[6] = 0, answer[7] = 1;          // one answer
  for (int i = 8; i < 12; ++i) answer[i] = 0;
  const uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 53};
  answer.insert(answer.end(), record, record + sizeof(record));
  return answer;
}

}  // namespace

std::string RootRequired() {
  if (geteuid() == 0) return {};
  return "this test needs root (network namespaces, netfilter rules, raw sockets); run it as root or in CI";
}

CNetnsPair::~CNetnsPair() { Destroy(); }

bool CNetnsPair::Create(std::string& error) {
  RemoveOrphans();
  std::string id = std::to_string(getpid()) + "-" + std::to_string(++g_Serial);
  m_client = "tvnc-" + id;
  m_server = "tvns-" + id;
  std::string vethClient = "tvc" + std::to_string(g_Serial.load()), vethServer = "tvs" + std::to_string(g_Serial.load());
  const std::vector<std::vector<std::string>> steps = {
      {"ip", "netns", "add", m_client},
      {"ip", "netns", "add", m_server},
      {"ip", "link", "add", vethClient, "netns", m_client, "type", "veth", "peer", "name", vethServer, "netns",
       m_server},
      {"ip", "-n", m_client, "link", "set", "lo", "up"},
      {"ip", "-n", m_server, "link", "set", "lo", "up"},
      {"ip", "-n", m_client, "addr", "add", std::string(kClientAddress4) + "/24", "dev", vethClient},
      {"ip", "-n", m_server, "addr", "add", std::string(kServerAddress4) + "/24", "dev", vethServer},
      {"ip", "-n", m_client, "addr", "add", std::string(kClientAddress6) + "/64", "dev", vethClient, "nodad"},
      {"ip", "-n", m_server, "addr", "add", std::string(kServerAddress6) + "/64", "dev", vethServer, "nodad"},
      {"ip", "-n", m_client, "link", "set", vethClient, "up"},
      {"ip", "-n", m_server, "link", "set", vethServer, "up"},
  };
  for (const auto& step : steps) {
    if (!Host(step, error)) {
      Destroy();
      return false;
    }
  }
  return true;
}

::testing::AssertionResult CNetnsPair::CreateAsRoot() {
  if (std::string root = RootRequired(); !root.empty()) return ::testing::AssertionFailure() << root;
  std::string error;
  if (!Create(error)) return ::testing::AssertionFailure() << error;
  return ::testing::AssertionSuccess();
}

void CNetnsPair::Destroy() {
  for (pid_t pid : m_spawned) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  m_spawned.clear();
  std::string ignored;
  for (std::string* ns : {&m_client, &m_server}) {
    if (!ns->empty()) Host({"ip", "netns", "delete", *ns}, ignored);
    ns->clear();
  }
}

void CNetnsPair::RunIn(const std::string& ns, const std::function<void()>& fn) const {
  std::string failure;
  std::thread thread([&] {
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
      failure = "cannot join namespace " + ns + ": " + std::strerror(errno);
      if (fd >= 0) close(fd);
      return;
    }
    close(fd);
    fn();
  });
  thread.join();
  if (!failure.empty()) ADD_FAILURE() << failure;
}

SRunResult CNetnsPair::Run(const std::string& ns, const std::vector<std::string>& argv,
                           std::chrono::milliseconds limit) const {
  SRunResult result;
  if (!Owns(ns)) {
    result.output = "refused: namespace " + ns + " was not made by this fixture";
    return result;
  }
  std::vector<std::string> command = {"ip", "netns", "exec", ns};
  command.insert(command.end(), argv.begin(), argv.end());
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  pid_t pid = SpawnWithOutput(command, pipeFds[1]);
  close(pipeFds[1]);
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{pipeFds[0], POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    ssize_t n = read(pipeFds[0], buffer, sizeof(buffer));
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  // The output closed; the process ends at once, or is killed at the limit.
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.output += "\n[killed at the time limit]";
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

pid_t CNetnsPair::Spawn(const std::string& ns, const std::vector<std::string>& argv, const std::string& outputFile) {
  if (!Owns(ns)) return -1;
  std::vector<std::string> command = {"ip", "netns", "exec", ns};
  command.insert(command.end(), argv.begin(), argv.end());
  int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_t pid = SpawnWithOutput(command, out);
  close(out);
  if (pid > 0) m_spawned.push_back(pid);
  return pid;
}

bool CStubDnsServer::Start(const CNetnsPair& pair, std::string& error) {
  pair.RunIn(pair.Server(), [&] {
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
      for (int family : {AF_INET, AF_INET6}) {
        int fd = socket(family, type | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_storage address{};
        socklen_t length;
        if (family == AF_INET) {
          auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
          v4->sin_family = AF_INET;
          v4->sin_port = htons(53);
          inet_pton(AF_INET, kServerAddress4, &v4->sin_addr);
          length = sizeof(*v4);
        } else {
          auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
          v6->sin6_family = AF_INET6;
          v6->sin6_port = htons(53);
          inet_pton(AF_INET6, kServerAddress6, &v6->sin6_addr);
          length = sizeof(*v6);
        }
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (type == SOCK_STREAM && listen(fd, 8) != 0)) {
          error = std::string("stub server socket: ") + std::strerror(errno);
          if (fd >= 0) close(fd);
          return;
        }
        m_fds.push_back(fd);
      }
    }
  });
  if (m_fds.size() != 4) {
    Stop();
    return false;
  }
  m_wake = eventfd(0, EFD_CLOEXEC);
  m_thread = std::thread([this] { Run(); });
  return true;
}

void CStubDnsServer::Stop() {
  if (m_thread.joinable()) {
    uint64_t one = 1;
    (void)!write(m_wake, &one, sizeof(one));
    m_thread.join();
  }
  for (int fd : m_fds) close(fd);
  m_fds.clear();
  if (m_wake >= 0) close(m_wake);
  m_wake = -1;
}

std::vector<uint16_t> CStubDnsServer::UdpSourcePorts() const {
  std::lock_guard lock(m_mutex);
  return m_ports;
}

std::vector<size_t> CStubDnsServer::UdpQuerySizes() const {
  std::lock_guard lock(m_mutex);
  return m_sizes;
}

void CStubDnsServer::Run() {
  std::vector<uint8_t> query(65536);  // the largest datagram
  for (;;) {
    pollfd fds[5] = {{m_wake, POLLIN, 0}};
    for (size_t i = 0; i < 4; ++i) fds[i + 1] = {m_fds[i], POLLIN, 0};
    if (poll(fds, 5, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) return;
    for (size_t i = 0; i < 2; ++i) {
      if (!(fds[i + 1].revents & POLLIN)) continue;
      sockaddr_storage from{};
      socklen_t fromLength = sizeof(from);
      ssize_t n = recvfrom(m_fds[i], query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n <= 0) continue;
      ++m_udp;
      {
        std::lock_guard lock(m_mutex);
        m_ports.push_back(ntohs(reinterpret_cast<sockaddr_in*>(&from)->sin_port));  // same offset in both families
        m_sizes.push_back(static_cast<size_t>(n));
      }
      auto answer = Answer(query.data(), static_cast<size_t>(n));
      sendto(m_fds[i], answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
    for (size_t i = 2; i < 4; ++i) {
      if (!(fds[i + 1].revents & POLLIN)) continue;
      int client = accept4(m_fds[i], nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      ++m_tcp;
      timeval timeout{2, 0};
      setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
      uint8_t frame[4098];
      ssize_t n = recv(client, frame, sizeof(frame), 0);
      if (n > 2) {
        auto answer = Answer(frame + 2, static_cast<size_t>(n) - 2);
        uint8_t prefix[2] = {static_cast<uint8_t>(answer.size() >> 8), static_cast<uint8_t>(answer.size())};
        send(client, prefix, 2, MSG_NOSIGNAL);
        send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
      }
      close(client);
    }
  }
}

}  // namespace testsupport
