// The system-resolver stand-in against a real unbound on loopback, named by
// the test's own resolv.conf, and against a scripted responder for the
// replies unbound will not give on demand.
#include "Quorvane/platform/system_dns.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/temp_folder.h"
#include "tests/support/unbound_server.h"

namespace {

using namespace platform;

std::string Describe(const SSystemDnsRecord& record) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(record.address.size() == 4 ? AF_INET : AF_INET6, record.address.data(), text, sizeof text);
  return std::string(record.type == DNS_TYPE_A ? "A " : "AAAA ") + std::to_string(record.ttl) + " " + text;
}

std::vector<std::string> Describe(const SSystemDnsResult& result) {
  std::vector<std::string> lines;
  for (const auto& record : result.records) lines.push_back(Describe(record));
  return lines;
}

testsupport::SUnboundOptions Zone() {
  testsupport::SUnboundOptions options;
  options.localZones = {"example.test. static", "drop.test. deny"};
  options.localData = {
      "host.example.test. 300 IN A 192.0.2.1",
      "host.example.test. 120 IN AAAA 2001:db8::1",
      "host.example.test. 60 IN AAAA 2001:db8::2",
      "v4.example.test. 0 IN A 192.0.2.4",
      "v6.example.test. 30 IN AAAA 2001:db8::6",
      "text.example.test. 30 IN MX 10 mail.example.test.",
  };
  return options;
}

class SystemDnsPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_unbound = new testsupport::CUnboundServer(Zone()); }
  static void TearDownTestSuite() {
    delete s_unbound;
    s_unbound = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_unbound->Running()); }

  static SSystemDnsConfig Config(bool ipv6 = false) {
    SSystemDnsConfig config;
    config.resolvConf = s_unbound->WriteResolvConf(ipv6);
    config.port = s_unbound->Port();
    config.timeoutMs = 3000;
    return config;
  }

  static testsupport::CUnboundServer* s_unbound;
};
testsupport::CUnboundServer* SystemDnsPeer::s_unbound = nullptr;

struct LookupCase {
  const char* name;
  const char* host;
  uint16_t type;
  uint32_t options;
  uint32_t status;
  std::vector<std::string> records;
};

TEST_F(SystemDnsPeer, LooksUpAddressesWithTheirTtlsAndNamesEachFailure) {
  const uint32_t kDual = DNS_QUERY_BYPASS_CACHE | DNS_QUERY_DUAL_ADDR;
  const LookupCase cases[] = {
      {"a", "host.example.test", DNS_TYPE_A, DNS_QUERY_BYPASS_CACHE, 0, {"A 300 192.0.2.1"}},
      {"aaaa_in_answer_order", "host.example.test.", DNS_TYPE_AAAA, 0, 0, {"AAAA 120 2001:db8::1", "AAAA 60 2001:db8::2"}},
      {"dual_maps_a_after_aaaa", "host.example.test", DNS_TYPE_AAAA, kDual, 0,
       {"AAAA 120 2001:db8::1", "AAAA 60 2001:db8::2", "AAAA 300 ::ffff:192.0.2.1"}},
      {"dual_only_a_ttl_zero", "v4.example.test", DNS_TYPE_AAAA, kDual, 0, {"AAAA 0 ::ffff:192.0.2.4"}},
      {"dual_only_aaaa", "v6.example.test", DNS_TYPE_AAAA, kDual, 0, {"AAAA 30 2001:db8::6"}},
      {"letter_case_kept_and_matched", "HOST.Example.TEST", DNS_TYPE_A, 0, 0, {"A 300 192.0.2.1"}},
      {"no_address_record", "text.example.test", DNS_TYPE_A, 0, DNS_INFO_NO_RECORDS, {}},
      {"dual_no_address_record", "text.example.test", DNS_TYPE_AAAA, kDual, DNS_INFO_NO_RECORDS, {}},
      {"a_without_aaaa", "v4.example.test", DNS_TYPE_AAAA, 0, DNS_INFO_NO_RECORDS, {}},
      {"no_such_name", "missing.example.test", DNS_TYPE_A, 0, DNS_ERROR_RCODE_NAME_ERROR, {}},
      {"dual_no_such_name", "missing.example.test", DNS_TYPE_AAAA, kDual, DNS_ERROR_RCODE_NAME_ERROR, {}},
      {"refused", "elsewhere.org", DNS_TYPE_A, 0, DNS_ERROR_RCODE_REFUSED, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SSystemDnsResult result = SystemDnsQuery(Config(), c.host, c.type, c.options);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(Describe(result), c.records);
  }
  std::string log = s_unbound->QueryLog();
  EXPECT_NE(log.find("127.0.0.1 host.example.test. AAAA IN"), std::string::npos) << log;
  EXPECT_NE(log.find("127.0.0.1 HOST.Example.TEST. A IN"), std::string::npos) << log;
}

TEST_F(SystemDnsPeer, UsesTheProcessConfigurationAndAnIpv6Nameserver) {
  SSystemDnsConfig before = SystemDnsConfig();
  EXPECT_EQ(before.resolvConf, "/etc/resolv.conf");
  SetSystemDnsConfig(Config(true));
  SSystemDnsResult result = SystemDnsQuery("v6.example.test", DNS_TYPE_AAAA, DNS_QUERY_BYPASS_CACHE);
  SetSystemDnsConfig(before);
  EXPECT_EQ(result.status, 0u);
  EXPECT_EQ(Describe(result), std::vector<std::string>{"AAAA 30 2001:db8::6"});
  EXPECT_NE(s_unbound->QueryLog().find("::1 v6.example.test. AAAA IN"), std::string::npos);
}

// The engine resolves server names on many short threads at once.
TEST_F(SystemDnsPeer, ConcurrentLookupsEachGetTheirOwnAnswer) {
  constexpr int kThreads = 8, kLookups = 10;
  const char* hosts[] = {"host.example.test", "v4.example.test", "v6.example.test"};
  const std::vector<std::string> want[] = {
      {"AAAA 120 2001:db8::1", "AAAA 60 2001:db8::2", "AAAA 300 ::ffff:192.0.2.1"},
      {"AAAA 0 ::ffff:192.0.2.4"},
      {"AAAA 30 2001:db8::6"}};
  SSystemDnsConfig config = Config();
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLookups; ++i) {
        int which = (t + i) % 3;
        SSystemDnsResult result = SystemDnsQuery(config, hosts[which], DNS_TYPE_AAAA, DNS_QUERY_DUAL_ADDR);
        right += result.status == 0 && Describe(result) == want[which] ? 1 : 0;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(right.load(), kThreads * kLookups);
}

TEST_F(SystemDnsPeer, ASilentServerTimesOutWithinTheBoundAndTheNextOneIsAsked) {
  SSystemDnsConfig config = Config();
  config.timeoutMs = 600;
  for (uint32_t options : {0u, static_cast<uint32_t>(DNS_QUERY_DUAL_ADDR)}) {
    auto start = std::chrono::steady_clock::now();
    SSystemDnsResult result = SystemDnsQuery(config, "host.drop.test", DNS_TYPE_AAAA, options);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.status, ERROR_TIMEOUT);
    // Well below ldns's own defaults (seconds per try, sleeps between servers).
    EXPECT_LT(took, std::chrono::milliseconds(2500)) << "options " << options;
  }

  // 127.0.0.2 has nothing on the port: its share of the time passes, then
  // the listed server after it answers.
  config.resolvConf = s_unbound->Folder() / "two.conf";
  testsupport::WriteBytes(config.resolvConf, "nameserver 127.0.0.2\nnameserver 127.0.0.1\n");
  config.timeoutMs = 1000;
  SSystemDnsResult result = SystemDnsQuery(config, "host.example.test", DNS_TYPE_A, 0);
  EXPECT_EQ(result.status, 0u);
  EXPECT_EQ(Describe(result), std::vector<std::string>{"A 300 192.0.2.1"});
}

TEST(SystemDns, RefusesWhatItCannotAskWithoutSendingAnything) {
  testsupport::TempFolder folder;
  std::filesystem::path empty = folder.Path() / "empty.conf";
  testsupport::WriteBytes(empty, "# no servers\nsearch example.test\n");
  struct {
    const char* name;
    std::filesystem::path conf;
    std::string host;
    uint16_t type;
    uint32_t status;
  } cases[] = {
      {"no_resolv_conf", folder.Path() / "missing.conf", "host.example.test", DNS_TYPE_A, DNS_ERROR_NO_DNS_SERVERS},
      {"no_nameserver", empty, "host.example.test", DNS_TYPE_A, DNS_ERROR_NO_DNS_SERVERS},
      {"empty_label", empty, "a..example.test", DNS_TYPE_A, ERROR_INVALID_NAME},
      {"label_of_64", empty, std::string(64, 'a') + ".test", DNS_TYPE_A, ERROR_INVALID_NAME},
      {"empty_name", empty, "", DNS_TYPE_A, ERROR_INVALID_NAME},
      {"root_only", empty, ".", DNS_TYPE_A, ERROR_INVALID_NAME},
      {"other_type", empty, "host.example.test", 16, DNS_ERROR_INVALID_TYPE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SSystemDnsConfig config;
    config.resolvConf = c.conf;
    SSystemDnsResult result = SystemDnsQuery(config, c.host, c.type, 0);
    EXPECT_EQ(result.status, c.status);
    EXPECT_TRUE(result.records.empty());
    EXPECT_FALSE(SystemDnsErrorText(c.status).empty());
  }
}

// One UDP socket on 127.0.0.1 answering every query with reply(query).
class CScriptedResponder {
 public:
  explicit CScriptedResponder(std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> reply)
      : m_reply(std::move(reply)) {
    m_fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~CScriptedResponder() {
    m_stop = true;
    m_thread.join();
    close(m_fd);
  }
  uint16_t Port() const { return m_port; }

 private:
  void Run() {
    while (!m_stop) {
      pollfd pfd{m_fd, POLLIN, 0};
      if (poll(&pfd, 1, 50) != 1) continue;
      uint8_t buffer[512];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      ssize_t got = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (got < 12) continue;
      std::vector<uint8_t> reply = m_reply(std::vector<uint8_t>(buffer, buffer + got));
      sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }

  std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> m_reply;
  int m_fd = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// The query turned into a reply with rcode and, when address is given, one
// A record for it.
std::vector<uint8_t> Reply(const std::vector<uint8_t>& query, uint8_t rcode, uint16_t idDelta,
                           std::vector<uint8_t> address = {}) {
  std::vector<uint8_t> reply = query;
  uint16_t id = static_cast<uint16_t>((query[0] << 8 | query[1]) + idDelta);
  reply[0] = static_cast<uint8_t>(id >> 8);
  reply[1] = static_cast<uint8_t>(id);
  reply[2] = 0x81;  // QR, RD
  reply[3] = static_cast<uint8_t>(0x80 | rcode);
  if (!address.empty()) {
    reply[7] = 1;
    std::vector<uint8_t> rr = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4};
    reply.insert(reply.end(), rr.begin(), rr.end());
    reply.insert(reply.end(), address.begin(), address.end());
  }
  return reply;
}

TEST(SystemDnsScripted, ServerFailureAndAReplyToAnotherQuery) {
  struct {
    const char* name;
    uint8_t rcode;
    uint16_t idDelta;
    uint32_t status;
  } cases[] = {
      {"server_failure", 2, 0, DNS_ERROR_RCODE_SERVER_FAILURE},
      {"format_error", 1, 0, DNS_ERROR_RCODE_FORMAT_ERROR},
      {"other_id_with_an_address", 0, 1, DNS_ERROR_BAD_PACKET},
  };
  testsupport::TempFolder folder;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CScriptedResponder responder([&c](const std::vector<uint8_t>& query) {
      return Reply(query, c.rcode, c.idDelta, c.rcode == 0 ? std::vector<uint8_t>{203, 0, 113, 66} : std::vector<uint8_t>{});
    });
    SSystemDnsConfig config;
    config.resolvConf = folder.Path() / "resolv.conf";
    testsupport::WriteBytes(config.resolvConf, "nameserver 127.0.0.1\n");
    config.port = responder.Port();
    config.timeoutMs = 1000;
    SSystemDnsResult result = SystemDnsQuery(config, "host.example.test", DNS_TYPE_A, 0);
    EXPECT_EQ(result.status, c.status);
    EXPECT_TRUE(result.records.empty());
  }
}

}  // namespace
