// The whole engine, its worker and the UDP transport against a real unbound
// on loopback: the query goes up with a random id, the answer comes back with
// the client's id and a clamped TTL; an upstream that never answers takes the
// time-out road; server host names are resolved through the system resolver.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Quorvane/platform/clock.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/system_dns.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/unbound_server.h"
#include "tests/transports/test_trust.h"
#include "tests/support/bounded_wait.h"

namespace {

using namespace enginetest;
using testsupport::MakeServer;

constexpr int kWaitMs = 5000;

// Sits between the engine and unbound: records the one query it gets and
// passes it on only when the test releases it, so the test can compare the id
// with the pending request's before the answer ends the request.
class CHeldRelay {
 public:
  explicit CHeldRelay(uint16_t upstreamPort) : m_upstreamPort(upstreamPort) {
    m_fd = BoundLoopbackSocket(SOCK_DGRAM, m_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~CHeldRelay() {
    m_stop = true;
    m_release = true;
    m_thread.join();
    close(m_fd);
  }
  uint16_t Port() const { return m_port; }
  // Bounded wait for the query; empty when none came.
  Bytes WaitForQuery() {
    testsupport::WaitUntil([&]() -> bool { return m_received; }, std::chrono::milliseconds(kWaitMs));
    return m_received ? m_query : Bytes{};
  }
  void Release() { m_release = true; }

 private:
  void Run() {
    sockaddr_storage client{};
    socklen_t clientLength = sizeof client;
    uint8_t buffer[4096];
    ssize_t size = -1;
    for (int i = 0; i < kWaitMs / 20 && !m_stop && size < 0; ++i) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 20) == 1) {
        size = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&client), &clientLength);
      }
    }
    if (size < 0) return;
    m_query.assign(buffer, buffer + size);
    m_received = true;
    testsupport::WaitUntil([&]() -> bool { return m_release; }, std::chrono::milliseconds(kWaitMs));
    if (m_stop) return;
    int up = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_storage to = Ipv4("127.0.0.1", m_upstreamPort);
    sendto(up, m_query.data(), m_query.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(sockaddr_in));
    pollfd p{up, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) == 1) {
      size = recv(up, buffer, sizeof buffer, 0);
      if (size > 0) sendto(m_fd, buffer, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&client), clientLength);
    }
    close(up);
  }

  const uint16_t m_upstreamPort;
  uint16_t m_port = 0;
  int m_fd = -1;
  Bytes m_query;                      // written before m_received is set
  std::atomic<bool> m_received{false};
  std::atomic<bool> m_release{false};
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

class EnginePeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testsupport::SUnboundOptions options;
    options.localZones = {"tarnwick.test. static"};
    options.localData = {"a.tarnwick.test. 86400 IN A 192.0.2.7", "dot.tarnwick.test. 1 IN A 127.0.0.1",
                         "dot6.tarnwick.test. 300 IN AAAA 2001:db8::5",
                         "dot6.tarnwick.test. 300 IN AAAA 2001:db8::6"};
    s_unbound = new testsupport::CUnboundServer(options);
  }
  static void TearDownTestSuite() {
    delete s_unbound;
    s_unbound = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_unbound->Running()); }

  EInterceptResult Divert(CDnsEngine& engine, const Bytes& query) {
    Bytes packet(kInterceptBufferSize, 0);
    std::copy(query.begin(), query.end(), packet.begin());
    uint32_t length = static_cast<uint32_t>(query.size());
    return engine.ProcessInterceptedQuery(packet.data(), length, DatagramContext{}, Ipv4("10.0.0.2", 40000),
                                          Ipv4("10.0.0.1", 53), L"app", 42);
  }

  // Bounded wait until a log line holds part; lines seen go to seen.
  bool WaitForLine(const std::wstring& part, std::vector<std::wstring>& seen, int timeoutMs = kWaitMs) {
    return WaitForLogLine(m_log, part, seen, timeoutMs);
  }

  static testsupport::CUnboundServer* s_unbound;
  testsupport::LogCapture m_log{LogDebug};
  CInjections m_injections;
};

testsupport::CUnboundServer* EnginePeer::s_unbound = nullptr;

CDnsServer PlainOn(uint32_t id, const wchar_t* name, uint16_t port) {
  CDnsServer server = MakeServer(id, name, EDnsProtocol::Plain, "127.0.0.1");
  server.port = port;
  return server;
}

TEST_F(EnginePeer, AQueryGoesUpWithTheRandomIdAndComesBackWithTheClientsIdAndAClampedTtl) {
  CHeldRelay relay(s_unbound->Port());
  CRunningConfiguration running({PlainOn(1, L"Unbound", relay.Port())},
                                {MakeRule(ERuleAction::ProcessServer, 1, L"*.tarnwick.test"), DefaultRule()});
  g_Configuration.settings.ttlMax = 3600;
  CDnsEngine engine;
  engine.SetInjectorForTesting(m_injections.Fn());
  ASSERT_TRUE(engine.Start());

  EXPECT_EQ(Divert(engine, Query(0x1234, "a.tarnwick.test.")), InterceptAbsorbed);
  const Bytes upstream = relay.WaitForQuery();
  ASSERT_GE(upstream.size(), 12u);
  uint16_t drawn = 0;
  ASSERT_TRUE(engine.Requests().UpstreamId(1, drawn));
  EXPECT_EQ(IdOf(upstream), drawn);
  relay.Release();

  ASSERT_TRUE(m_injections.WaitFor(1, kWaitMs));
  const SInjected answer = m_injections.Items()[0];
  EXPECT_EQ(IdOf(answer.message), 0x1234);
  EXPECT_EQ(AddressTtls(answer.message), std::vector<uint32_t>{3600});
  EXPECT_EQ(SockaddrToText(answer.from), "10.0.0.1:53");
  EXPECT_EQ(SockaddrToText(answer.to), "10.0.0.2:40000");
  EXPECT_EQ(engine.Requests().Count(), 0u);
  EXPECT_NE(s_unbound->QueryLog().find("a.tarnwick.test. A IN"), std::string::npos);
  EXPECT_TRUE(engine.Stop());
}

TEST_F(EnginePeer, AnUpstreamThatNeverAnswersIsReportedAtTheNextCheckAfterFiveSeconds) {
  uint16_t port = 0;
  const int silent = BoundLoopbackSocket(SOCK_DGRAM, port);  // bound, never read: no refusal either
  CRunningConfiguration running({PlainOn(2, L"Silent", port)},
                                {MakeRule(ERuleAction::ProcessServer, 2, L"*.tarnwick.test"), DefaultRule()});
  platform::FakeClock clock;
  platform::SetClockSourceForTesting(&clock);
  CMainWindow window;
  {
    CDnsEngine engine;
    engine.SetInjectorForTesting(m_injections.Fn());
    ASSERT_TRUE(engine.Start());
    EXPECT_EQ(Divert(engine, Query(0x4321, "late.tarnwick.test.")), InterceptAbsorbed);
    const uint64_t passes = engine.AwaitHousekeepingForTesting(0, kWaitMs);

    // Five seconds on: the worker's checks still see the request live.
    clock.AdvanceMs(5000);
    ASSERT_GT(engine.AwaitHousekeepingForTesting(passes, kWaitMs), passes);
    EXPECT_EQ(engine.Requests().Count(), 1u);
    EXPECT_TRUE(window.Take().empty());

    // The next check comes two seconds after the last: seven seconds in.
    clock.AdvanceMs(2000);
    platform::SWindowMessage message;
    ASSERT_TRUE(window.Wait(message, kWaitMs));
    EXPECT_EQ(message.message, WM_SERVER_STATE);
    EXPECT_EQ(message.wParam, 2u);
    EXPECT_EQ(message.lParam, 0);
    std::vector<std::wstring> seen;
    EXPECT_TRUE(WaitForLine(L"late.tarnwick.test - request timeout : server=Silent", seen));
    EXPECT_EQ(engine.Requests().Count(), 0u);
    EXPECT_TRUE(engine.Stop());
  }
  platform::SetClockSourceForTesting(nullptr);
  close(silent);
  EXPECT_TRUE(m_injections.Items().empty());
}

TEST_F(EnginePeer, AServerGivenByHostNameIsResolvedThroughTheSystemResolverFirst) {
  const platform::SSystemDnsConfig before = platform::SystemDnsConfig();
  platform::SSystemDnsConfig config;
  config.resolvConf = s_unbound->WriteResolvConf();
  config.port = s_unbound->Port();
  config.timeoutMs = 2000;
  platform::SetSystemDnsConfig(config);

  struct {
    const char* name;
    const char* host;
    bool resolved;
    std::string address;
    const wchar_t* line;
  } cases[] = {
      {"ipv4", "dot.tarnwick.test", true, "127.0.0.1", L"dot.tarnwick.test - server hostname resolved as 127.0.0.1, TTL=2"},
      {"last_ipv6", "dot6.tarnwick.test", true, "2001:db8::6", L"server hostname resolved as 2001:db8::6, TTL=300"},
      {"unknown", "gone.tarnwick.test", false, "", L"gone.tarnwick.test - server hostname resolution failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CDnsServer server = MakeServer(3, L"DoT", EDnsProtocol::Dot, "");
    server.addressKnown = false;
    server.dot_host_name = c.host;
    CRunningConfiguration running({server}, {MakeRule(ERuleAction::ProcessServer, 3, L"*.example"), DefaultRule()});
    CDnsEngine engine;
    if (!c.resolved) {
      // A stale entry serves this query while a refresh runs.
      (*engine.HostAddresses().lock())[c.host] = {AF_INET, {127, 0, 0, 8}, platform::WallTime() - 1};
    }
    EXPECT_EQ(Divert(engine, Query(1, "www.example.")), InterceptAbsorbed);
    std::vector<std::wstring> seen;
    EXPECT_TRUE(WaitForLine(c.line, seen));
    EXPECT_TRUE(Contains(seen, c.resolved ? L"www.example - IP address of " + ToWide(c.host, false) +
                                                L" is not yet known and will be resolved"
                                          : ToWide(c.host, false) + L" - time to update DNS server IP address"));
    if (c.resolved) {
      // Then the waiting query is dispatched to the transport.
      EXPECT_TRUE(WaitForLine(L"www.example - request cannot be send, ConnectEx failed with error: 10022 (Invalid argument)", seen));
      int family = 0;
      std::vector<uint8_t> address;
      ASSERT_TRUE(engine.LookupServerAddress(c.host, family, address));
      EXPECT_EQ(AddressToText(family, address), c.address);
    } else {
      EXPECT_EQ(engine.HostAddresses().lock()->count(c.host), 0u);
    }
    EXPECT_EQ(engine.Requests().Count(), 1u);  // it times out later
  }
  platform::SetSystemDnsConfig(before);
}

TEST_F(EnginePeer, PlainTcpAndATlsServerNamedByHostAnswerThroughTheStartedEngine) {
  testsupport::SIssued leaf =
      testsupport::TrustedCa().IssueLeaf(testsupport::LeafFor({"dot.tarnwick.test"}));
  testsupport::SUnboundOptions options;
  options.localZones = {"tarnwick.test. static"};
  options.localData = {"a.tarnwick.test. 86400 IN A 192.0.2.7", "dot.tarnwick.test. 300 IN A 127.0.0.1"};
  options.tlsChainPem = leaf.certificatePem;
  options.tlsKeyPem = leaf.keyPem;
  testsupport::CUnboundServer tlsUnbound(options);
  ASSERT_TRUE(tlsUnbound.Running());
  const platform::SSystemDnsConfig before = platform::SystemDnsConfig();
  platform::SSystemDnsConfig config;
  config.resolvConf = tlsUnbound.WriteResolvConf();
  config.port = tlsUnbound.Port();
  config.timeoutMs = 2000;
  platform::SetSystemDnsConfig(config);

  CDnsServer tcp = PlainOn(5, L"Tcp", tlsUnbound.Port());
  tcp.plain_use_tcp = true;
  // Named by host only: resolved first, then its certificate is checked for the name.
  CDnsServer dot = MakeServer(6, L"DoT", EDnsProtocol::Dot, "");
  dot.addressKnown = false;
  dot.dot_host_name = "dot.tarnwick.test";
  dot.port = tlsUnbound.TlsPort();
  struct {
    const char* name;
    CDnsServer server;
  } cases[] = {{"plain_tcp", tcp}, {"dot_by_host", dot}};
  uint16_t id = 0x5000;
  size_t answers = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CRunningConfiguration running({c.server},
                                  {MakeRule(ERuleAction::ProcessServer, c.server.id, L"*.tarnwick.test"), DefaultRule()});
    CDnsEngine engine;
    engine.SetInjectorForTesting(m_injections.Fn());
    ASSERT_TRUE(engine.Start());
    EXPECT_EQ(Divert(engine, Query(++id, "a.tarnwick.test.")), InterceptAbsorbed);
    ASSERT_TRUE(m_injections.WaitFor(++answers, kWaitMs));
    const SInjected answer = m_injections.Items().back();
    EXPECT_EQ(IdOf(answer.message), id);
    EXPECT_EQ(AddressTtls(answer.message).size(), 1u);
    EXPECT_TRUE(engine.Stop());
  }
  platform::SetSystemDnsConfig(before);
}

}  // namespace
