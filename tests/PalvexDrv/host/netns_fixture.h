// Two network namespaces made by the test: a client namespace and a server
// namespace joined by a veth pair, 10.53.0.2 / fd53::2 on the client side
// and 10.53.0.1 / fd53::1 (nodad) on the server side, loopback up, no
// route out. Code runs inside one through RunIn (a thread that joins the
// namespace) and programs through Run, which refuses a namespace this
// fixture did not create. Everything is removed when the fixture goes,
// also when a test fails half-way.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

inline const char* const kServerAddress4 = "10.53.0.1";
inline const char* const kServerAddress6 = "fd53::1";
inline const char* const kClientAddress4 = "10.53.0.2";
inline const char* const kClientAddress6 = "fd53::2";

// A clear failure text when the process is not root, else empty.
std::string RootRequired();

struct SRunResult {
  int status = -1;  // exit status; -1 killed at the time limit or not started
  std::string output;  // standard output and error
};

class CNetnsPair {
 public:
  CNetnsPair() = default;
  ~CNetnsPair();
  CNetnsPair(const CNetnsPair&) = delete;
  CNetnsPair& operator=(const CNetnsPair&) = delete;

  // False with error set; whatever was made is removed again.
  bool Create(std::string& error);
  // Create for a test: fails with a clear message when not root.
  ::testing::AssertionResult CreateAsRoot();
  const std::string& Client() const { return m_client; }
  const std::string& Server() const { return m_server; }

  // Runs fn on a fresh thread inside ns and waits for it.
  void RunIn(const std::string& ns, const std::function<void()>& fn) const;
  // Runs argv inside ns ("ip netns exec"), killed after limit. Refuses
  // (status -1, output says why) a namespace this fixture did not create.
  SRunResult Run(const std::string& ns, const std::vector<std::string>& argv,
                 std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  // Starts argv inside ns and returns its pid, or -1 (also for a foreign
  // namespace). The fixture kills what is still running when it goes.
  pid_t Spawn(const std::string& ns, const std::vector<std::string>& argv, const std::string& outputFile);

 private:
  bool Owns(const std::string& ns) const { return ns == m_client || ns == m_server; }
  void Destroy();

  std::string m_client, m_server;
  std::vector<pid_t> m_spawned;
};

// A DNS server in the server namespace at 10.53.0.1 and fd53::1, port 53,
// over UDP and TCP. It answers every query with one A record 192.0.2.53
// (TTL 60) and counts what it sees.
class CStubDnsServer {
 public:
  ~CStubDnsServer() { Stop(); }
  bool Start(const CNetnsPair& pair, std::string& error);
  void Stop();
  int UdpQueries() const { return m_udp.load(); }
  int TcpConnections() const { return m_tcp.load(); }
  // Source ports and sizes of the UDP queries, in order.
  std::vector<uint16_t> UdpSourcePorts() const;
  std::vector<size_t> UdpQuerySizes() const;

 private:
  void Run();

  std::vector<int> m_fds;  // udp4, udp6, tcp4, tcp6
  int m_wake = -1;
  std::thread m_thread;
  std::atomic<int> m_udp{0}, m_tcp{0};
  mutable std::mutex m_mutex;
  std::vector<uint16_t> m_ports;
  std::vector<size_t> m_sizes;
};

}  // namespace testsupport
