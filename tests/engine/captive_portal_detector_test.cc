// The captive-portal detector's probe against scripted HTTP servers on
// loopback, its host resolved by a real unbound; the rate limit and the
// superseded check on a fake clock; a portal found and gone; the test-host
// bypass of the rule evaluation while a check runs, also under concurrent
// starts.
#include "Quorvane/engine/captive_portal_detector.h"

#include <gtest/gtest.h>

#include <thread>

#include "Quorvane/config/hooks.h"
#include "Quorvane/config/rule_processor.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/system_dns.h"
#include "tests/engine/engine_fixture.h"
#include "tests/engine/scripted_http_server.h"
#include "tests/support/unbound_server.h"
#include "tests/support/bounded_wait.h"

namespace {

using namespace enginetest;
using testsupport::MakeServer;
using Detector = CCaptivePortalDetector;

constexpr char kProbeHost[] = "probe.tarnwick.test";
constexpr int kCheckWaitMs = 15000;

const std::string kExpected = std::string("HTTP/1.1 200 OK\r\nContent-Length: 22\r\n\r\n") + Detector::kExpectedText;
const std::string kPortalPage = "HTTP/1.1 302 Found\r\nLocation: http://portal.tarnwick.test/\r\n\r\n<html>Log in</html>";

class CCountingBridge : public CDnsCryptProcessor {
 public:
  void ReleaseAllRemotes() override { ++releaseAll; }
  std::atomic<int> releaseAll{0};
};

class PortalDetector : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testsupport::SUnboundOptions options;
    options.localZones = {"tarnwick.test. static"};
    options.localData = {std::string(kProbeHost) + ". 60 IN A 127.0.0.1"};
    s_unbound = new testsupport::CUnboundServer(options);
  }
  static void TearDownTestSuite() {
    delete s_unbound;
    s_unbound = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(s_unbound->Running());
    m_savedDns = platform::SystemDnsConfig();
    platform::SSystemDnsConfig config;
    config.resolvConf = s_unbound->WriteResolvConf();
    config.port = s_unbound->Port();
    config.timeoutMs = 2000;
    platform::SetSystemDnsConfig(config);
    Detector::s_detected = false;
    Detector::s_lastCheckTick = 0;
    Detector::SetEngineForTesting(&m_engine);
  }
  void TearDown() override {
    EXPECT_TRUE(Detector::WaitForChecksForTesting(kCheckWaitMs));
    Detector::SetProbeForTesting("", 0);
    Detector::SetEngineForTesting(nullptr);
    Detector::s_detected = false;
    platform::SetSystemDnsConfig(m_savedDns);
    platform::SetClockSourceForTesting(nullptr);
  }

  // The detector's last debug line about its probe.
  std::wstring ProbeLine() {
    std::wstring last;
    for (const std::wstring& line : m_log.TakeTexts()) {
      if (line.rfind(L"Captive Portal Detector: ", 0) == 0 && line.find(L"=127.0.0.1") == std::wstring::npos)
        last = line;
    }
    return last;
  }

  static testsupport::CUnboundServer* s_unbound;
  testsupport::LogCapture m_log{LogDebug};
  CDnsEngine m_engine{std::make_unique<CCountingBridge>()};
  platform::SSystemDnsConfig m_savedDns;
};

testsupport::CUnboundServer* PortalDetector::s_unbound = nullptr;

// One probe per row.
struct SProbeCase {
  const char* name;
  std::vector<SScript> scripts;
  bool redirect;
  const wchar_t* line;
  const char* host = kProbeHost;
  enum { Serve, NoListener, FullBacklog } peer = Serve;
};

class PortalProbe : public PortalDetector, public ::testing::WithParamInterface<SProbeCase> {};

TEST_P(PortalProbe, EndsAsTheReplyDecides) {
  const SProbeCase& c = GetParam();
  std::unique_ptr<CScriptedHttpServer> server =
      std::make_unique<CScriptedHttpServer>(c.scripts, c.peer != SProbeCase::FullBacklog);
  std::vector<int> fillers;
  uint16_t port = server->Port();
  if (c.peer == SProbeCase::NoListener) {
    server.reset();  // the port is free again, nothing listens there
  } else if (c.peer == SProbeCase::FullBacklog) {
    // The one queued connection fills the queue; later SYNs go unanswered.
    for (int i = 0; i < 2; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_storage to = Ipv4("127.0.0.1", port);
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(sockaddr_in));
      fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Detector::SetProbeForTesting(c.host, port);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Detector::IsRedirect(), c.redirect);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(ProbeLine(), std::wstring(L"Captive Portal Detector: ") + c.line);
  // Silent, trickling and black-holed peers end by the probe's own limits.
  EXPECT_LT(took, std::chrono::milliseconds(Detector::kReceiveTimeoutMs + 2000));
  if (c.peer == SProbeCase::Serve && std::string(c.host) == kProbeHost) {
    ASSERT_EQ(server->Requests().size(), 1u);
    EXPECT_EQ(server->Requests()[0],
              "GET //connecttest.txt HTTP/1.1\r\nHost: probe.tarnwick.test\r\nConnection: close\r\n\r\n");
  }
  for (int fd : fillers) close(fd);
}

SScript Trickle() {
  SScript script;
  for (int i = 0; i < 30; ++i) {
    script.push_back(SendStep("x"));
    script.push_back(PauseStep(400));
  }
  return script;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, PortalProbe,
    ::testing::Values(
        SProbeCase{"text_over_two_sends",
                   {{SendStep("HTTP/1.1 200 OK\r\n\r\nMicrosoft Con"), PauseStep(200), SendStep("nect Test")}},
                   false, L" test reply matched"},
        SProbeCase{"portal_page_then_close", {{SendStep(kPortalPage), CloseStep()}}, true,
                   L"expected test reply not found"},
        // The text only past the 10000 bytes read is never seen.
        SProbeCase{"full_buffer_without_text",
                   {{SendStep(std::string(Detector::kReplyBufferSize - 5, 'x') + Detector::kExpectedText)}}, true,
                   L"unexpected test reply"},
        SProbeCase{"refused_connect", {}, false, L"connect() failed with error 10061", kProbeHost,
                   SProbeCase::NoListener},
        SProbeCase{"failed_resolution", {}, false, L"DnsQuery_A error 9003", "none.tarnwick.test"},
        SProbeCase{"silent_server", {{}}, false, L"recv() failed with error 10060"},
        SProbeCase{"trickling_server", {Trickle()}, false, L"recv() failed with error 10060"},
        SProbeCase{"unanswered_connect", {}, false, L"connect() failed with error 10060", kProbeHost,
                   SProbeCase::FullBacklog}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortalDetector, ChecksStartAtMostOncePerIntervalAndOnlyTheCurrentOneCounts) {
  platform::FakeClock clock;
  platform::SetClockSourceForTesting(&clock);
  // The first check is held and then sees a portal; the second sees the text.
  CScriptedHttpServer server({{HoldStep(), SendStep(kPortalPage), CloseStep()}, {SendStep(kExpected), CloseStep()}});
  Detector::SetProbeForTesting(kProbeHost, server.Port());

  Detector::StartCheck();
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_TRUE(Detector::IsCheckRunning());
  const uint64_t claimed = Detector::s_lastCheckTick;
  clock.AdvanceMs(1000);
  Detector::StartCheck();
  clock.AdvanceMs(Detector::kCheckIntervalMs - 1001);
  Detector::StartCheck();
  // A start is claimed on the caller's thread: neither of these claimed one.
  EXPECT_EQ(Detector::s_lastCheckTick, claimed);
  EXPECT_EQ(server.Requests().size(), 1u);

  clock.AdvanceMs(1);
  Detector::StartCheck();
  ASSERT_TRUE(server.WaitForRequests(2));
  testsupport::WaitUntil([&]() -> bool { return !Detector::IsCheckRunning(); }, testsupport::kDefaultWaitLimit,
                         std::chrono::milliseconds(20));
  EXPECT_FALSE(Detector::IsCheckRunning());
  server.Release();
  ASSERT_TRUE(Detector::WaitForChecksForTesting(kCheckWaitMs));
  // The first check's portal came after the second's verdict and changes nothing.
  EXPECT_FALSE(Detector::s_detected);
  const auto lines = m_log.TakeTexts();
  EXPECT_TRUE(Contains(lines, L"Captive Portal Detector: expected test reply not found"));
  EXPECT_FALSE(Contains(lines, L"Captive Portal detected. Use system resolver for all queries."));
}

TEST_F(PortalDetector, APortalFoundAndGoneResetsTheEngine) {
  platform::FakeClock clock;
  platform::SetClockSourceForTesting(&clock);
  CScriptedHttpServer server({{SendStep(kPortalPage), CloseStep()}, {SendStep(kExpected), CloseStep()}});
  Detector::SetProbeForTesting(kProbeHost, server.Port());
  (*m_engine.HostAddresses().lock())["dns.tarnwick.test"] = {AF_INET, {192, 0, 2, 1}, 0};

  Detector::StartCheck();
  ASSERT_TRUE(Detector::WaitForChecksForTesting(kCheckWaitMs));
  EXPECT_TRUE(Detector::s_detected);
  auto lines = m_log.TakeTexts();
  EXPECT_TRUE(Contains(lines, L"Captive Portal Detector activated"));
  EXPECT_TRUE(Contains(lines, L"Captive Portal detected. Use system resolver for all queries."));
  EXPECT_EQ(m_engine.HostAddresses().lock()->size(), 1u);

  clock.AdvanceMs(Detector::kCheckIntervalMs);
  Detector::StartCheck();
  ASSERT_TRUE(Detector::WaitForChecksForTesting(kCheckWaitMs));
  EXPECT_FALSE(Detector::s_detected);
  lines = m_log.TakeTexts();
  EXPECT_TRUE(Contains(lines, L"Captive Portal disabled. Use normal rules for all queries."));
  EXPECT_TRUE(Contains(lines, L"Captive Portal not detected"));
  EXPECT_TRUE(m_engine.HostAddresses().lock()->empty());
  EXPECT_EQ(static_cast<CCountingBridge&>(m_engine.DnsCrypt()).releaseAll, 1);
}

// The rule evaluation with the detector as its hooks.
class PortalBypass : public PortalDetector {
 protected:
  void SetUp() override {
    PortalDetector::SetUp();
    g_Configuration.settings.captivePortalDetection = true;
    SetCaptivePortalHooks(&Detector::Hooks());
  }
  void TearDown() override {
    SetCaptivePortalHooks(nullptr);
    g_Configuration.settings.captivePortalDetection = false;
    PortalDetector::TearDown();
  }
  static bool Decides(const std::string& host) {
    CRuleProcessor processor;
    processor.host = host;
    processor.servers = {MakeServer(1, L"S1")};
    processor.rules = {MakeRule(ERuleAction::ProcessServer, 1)};
    std::vector<sockaddr_storage> local;
    CDnsServer server;
    std::optional<CDnsServer> relay;
    CRule rule;
    bool block = false, redundancy = false;
    return processor.Process(local, server, relay, rule, block, redundancy);
  }
};

TEST_F(PortalBypass, TheTestHostBypassesTheRulesOnlyWhileACheckRuns) {
  CScriptedHttpServer server({{HoldStep(), SendStep(kExpected), CloseStep()}});
  Detector::SetProbeForTesting(kProbeHost, server.Port());
  EXPECT_TRUE(Decides(kProbeHost));
  Detector::StartCheck();
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_FALSE(Decides(kProbeHost));
  EXPECT_TRUE(Decides("other.tarnwick.test"));
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"probe.tarnwick.test - bypass (test hostname)"));
  server.Release();
  ASSERT_TRUE(Detector::WaitForChecksForTesting(kCheckWaitMs));
  EXPECT_TRUE(Decides(kProbeHost));
}

TEST_F(PortalBypass, ConcurrentStartsRaceTheRuleEvaluationsReads) {
  platform::FakeClock clock;
  platform::SetClockSourceForTesting(&clock);
  CScriptedHttpServer server({{SendStep(kPortalPage), CloseStep()}});
  Detector::SetProbeForTesting(kProbeHost, server.Port());
  m_log.SetLevel(LogError);  // the evaluations' lines would pile up
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> starts{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      while (!stop) {
        Detector::StartCheck();
        ++starts;
      }
    });
  }
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&] {
      while (!stop) {
        Decides(kProbeHost);
        Decides("other.tarnwick.test");
      }
    });
  }
  constexpr int kIntervals = 8;
  for (int i = 0; i < kIntervals; ++i) {
    // The racing callers meet each interval before the next one begins.
    const uint64_t before = starts.load();
    clock.AdvanceMs(Detector::kCheckIntervalMs);
    testsupport::WaitUntil([&] { return starts.load() >= before + 100; }, testsupport::kDefaultWaitLimit,
                           std::chrono::milliseconds(0));
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(Detector::WaitForChecksForTesting(kCheckWaitMs));
  // One check per interval at most, however many callers raced for it.
  EXPECT_GE(server.Requests().size(), 1u);
  EXPECT_LE(server.Requests().size(), static_cast<size_t>(kIntervals + 1));
  EXPECT_TRUE(Detector::s_detected);
  EXPECT_FALSE(Detector::IsCheckRunning());
}

}  // namespace
