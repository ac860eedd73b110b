// Plain UDP against a real unbound on a free loopback port, answering from
// local data only (it never recurses).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Quorvane/transports/plain_udp_processor.h"
#include "tests/transports/capture_sink.h"
#include "tests/support/dns_messages.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Manager = CSocketEventsManager;

constexpr int kBoundedWaits = 250;  // 20-ms waits: 5 s at most

uint16_t FreeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Answers one query with a plain blocking socket; false after 200 ms.
bool Answers(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Bytes query = dnstest::Query(1, "a.tarnwick.test", 1);
  sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  pollfd p{fd, POLLIN, 0};
  bool answered = poll(&p, 1, 200) == 1;
  close(fd);
  return answered;
}

class CUnbound {
 public:
  CUnbound() {
    char pattern[] = "/tmp/tarnwick-unbound-XXXXXX";
    m_dir = mkdtemp(pattern);
    m_port = FreeUdpPort();
    std::ofstream conf(m_dir / "unbound.conf");
    conf << "server:\n"
         << "  interface: 127.0.0.1\n  port: " << m_port << "\n"
         << "  do-daemonize: no\n  username: \"\"\n  chroot: \"\"\n"
         << "  directory: \"" << m_dir.string() << "\"\n"
         << "  pidfile: \"" << (m_dir / "unbound.pid").string() << "\"\n"
         << "  logfile: \"" << (m_dir / "unbound.log").string() << "\"\n"
         << "  use-syslog: no\n  verbosity: 1\n  log-queries: yes\n"
         << "  do-ip6: no\n  do-tcp: no\n  access-control: 127.0.0.0/8 allow\n"
         << "  module-config: \"iterator\"\n  max-udp-size: 4096\n"
         << "  local-zone: \"tarnwick.test.\" static\n"
         << "  local-data: \"a.tarnwick.test. 300 IN A 192.0.2.7\"\n";
    // About 3.6 KiB of TXT: more than 2048 bytes, less than 4096.
    for (int i = 0; i < 14; ++i) {
      conf << "  local-data: 'big.tarnwick.test. 300 IN TXT \"" << i << std::string(240, 'x') << "\"'\n";
    }
    conf << "remote-control:\n  control-enable: no\n";
    conf.close();
    m_pid = fork();
    if (m_pid == 0) {
      std::string path = (m_dir / "unbound.conf").string();
      execl("/usr/sbin/unbound", "unbound", "-d", "-c", path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 25 && !m_ready; ++i) m_ready = Answers(m_port);  // 5 s at most
  }
  ~CUnbound() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }
  std::string Log() {
    std::ifstream in(m_dir / "unbound.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path m_dir;
  uint16_t m_port = 0;
  pid_t m_pid = -1;
  bool m_ready = false;
};

class PlainUdpPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists("/usr/sbin/unbound")) << "unbound is not installed (scripts/bootstrap)";
    ASSERT_TRUE(m_unbound.m_ready) << "unbound did not start on port " << m_unbound.m_port << ":\n"
                                   << m_unbound.Log();
    ASSERT_TRUE(m_manager.SetPort(m_port));
    m_sink.onRemove = [this](uint64_t id) { m_udp.RemoveRequestProcessor(id, m_manager); };
    m_server.family = AF_INET;
    m_server.port = m_unbound.m_port;
    m_server.address = {127, 0, 0, 1};
  }

  // Sends one query and runs the worker's part until the sink hears of it.
  CCaptureSink::SCall Resolve(const Bytes& query, uint64_t id) {
    SDnsMessageInfo info;
    info.name = SDnsName("query.");
    size_t before = m_sink.Calls().size();
    EXPECT_TRUE(m_udp.SendRequest(query.data(), static_cast<uint32_t>(query.size()), info, m_server, {}, m_manager,
                                  id, std::nullopt));
    for (int i = 0; i < kBoundedWaits && m_sink.Calls().size() == before; ++i) {
      uint64_t key;
      Manager::SSocketEntry entry;
      Manager::SCompletionEvent event;
      if (m_manager.WaitForEvent(key, entry, event) == Manager::WaitEvent) {
        entry.processor->ProcessEvent(event, entry.socket->Handle(), key, m_manager, entry.processor);
      }
    }
    auto calls = m_sink.Calls();
    EXPECT_GT(calls.size(), before);
    return calls.size() > before ? calls[before] : CCaptureSink::SCall{};
  }

  CUnbound m_unbound;
  std::shared_ptr<platform::CompletionPort> m_port = platform::CompletionPort::Create();
  Manager m_manager{20};
  CPlainUdpProcessor m_udp;
  CCaptureSink m_sink;
  CDnsServer m_server;
};

TEST_F(PlainUdpPeerTest, AnswerFromUnboundReachesTheEngine) {
  Bytes query = dnstest::Query(0x4242, "a.tarnwick.test", 1);
  CCaptureSink::SCall call = Resolve(query, 1);
  ASSERT_EQ(call.entry, "answer");
  SDnsMessageInfo info;
  std::vector<SDnsAnswerAddress> addresses;
  std::string text;
  ASSERT_EQ(ParseDnsReply(call.bytes.data(), call.bytes.size(), DnsResponse, info, addresses, text), DnsParseOk);
  EXPECT_EQ(info.id, 0x4242);
  EXPECT_EQ(info.name.lower, "a.tarnwick.test.");
  ASSERT_EQ(addresses.size(), 1u);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addresses[0].address);
  EXPECT_EQ(ntohl(v4->sin_addr.s_addr), 0xc0000207u);
  EXPECT_NE(m_unbound.Log().find("a.tarnwick.test. A IN"), std::string::npos) << m_unbound.Log();
}

TEST_F(PlainUdpPeerTest, LargeAnswerToAQueryAdvertising4096IsDelivered) {
  CCaptureSink::SCall call = Resolve(dnstest::Query(7, "big.tarnwick.test", 16, 4096), 2);
  ASSERT_EQ(call.entry, "answer");
  EXPECT_GT(call.bytes.size(), 2048u);
  EXPECT_LT(call.bytes.size(), 4096u);
  EXPECT_EQ(call.bytes[2] & 0x02, 0);  // not truncated
}

TEST_F(PlainUdpPeerTest, BoundedLoopOfQueriesLeavesNoSocketBehind) {
  for (uint64_t id = 10; id < 40; ++id) {
    CCaptureSink::SCall call = Resolve(dnstest::Query(static_cast<uint16_t>(id), "a.tarnwick.test", 1), id);
    ASSERT_EQ(call.entry, "answer");
    m_udp.RemoveRequestProcessor(id, m_manager);
  }
  EXPECT_TRUE(m_udp.RequestsForTesting().empty());
}

}  // namespace
