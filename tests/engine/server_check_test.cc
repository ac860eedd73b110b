// The server checker against a recording engine, a fake clock and a queue
// window: the two-answer cycle, retries, failures before sending, the 3-s
// limit from both sides, how many tests run at once, due entries, and
// results that come too late or twice.
#include "Quorvane/engine/server_check.h"

#include <gtest/gtest.h>

#include <memory>

#include "Quorvane/config/profile.h"
#include "Quorvane/platform/clock.h"
#include "tests/engine/engine_fixture.h"

namespace {

using namespace enginetest;
using testsupport::MakeServer;

// Records what the checker asks of the engine; answers nothing by itself.
class CRecordingCheckEngine : public CServerCheckEngine {
 public:
  struct SSent {
    SServerCheck check;
    SDnsMessageInfo info;
    Bytes query;
  };
  struct SChange {
    int kind;
    uint32_t serverId, relayId;
    bool check;
  };
  bool SendTestRequest(uint8_t* message, uint32_t& length, const SDnsMessageInfo& info,
                       const SServerCheck& check) override {
    sent.push_back({check, info, Bytes(message, message + length)});
    return accept;
  }
  void OnServerChange(int kind, const CDnsServer& server, const CDnsServer& relay, bool check) override {
    changes.push_back({kind, server.id, relay.id, check});
  }
  bool accept = true;
  std::vector<SSent> sent;
  std::vector<SChange> changes;
};

// What the owner saw of one handled result.
struct SSeen {
  bool taken;
  bool ok;
  int rttMs;
  uint32_t serverId;
  std::wstring text;
};

class ServerChecker : public ::testing::Test {
 protected:
  ServerChecker() {
    platform::SetClockSourceForTesting(&m_clock);
    m_testsPerTime = g_Configuration.checkerSettings.testsPerTime;
  }
  ~ServerChecker() override {
    m_checker.reset();
    g_Configuration.checkerSettings.testsPerTime = m_testsPerTime;
    platform::SetClockSourceForTesting(nullptr);
    for (const auto& message : m_window.TakeAll()) delete reinterpret_cast<SServerCheckResult*>(message.wParam);
  }

  // The engine's answer to sent test i, as the engine posts it.
  void Answer(size_t i, bool ok, const std::wstring& text = L"") {
    const SServerCheck& check = m_engine.sent.at(i).check;
    std::optional<CDnsServer> relay;
    CDnsServer server = check.server;
    if (check.dnsCryptServer.id != 0) {
      relay = check.server;
      server = check.dnsCryptServer;
    }
    ASSERT_TRUE(PostCheckResult(check.owner, server, relay, ok, check.sequence, text, false));
  }

  // The owner's message handler over everything posted so far.
  std::vector<SSeen> Pump() {
    std::vector<SSeen> seen;
    for (;;) {
      auto messages = m_window.TakeAll();
      if (messages.empty()) return seen;
      for (const auto& message : messages) {
        EXPECT_EQ(message.message, WM_DNSCHECK_RESULT);
        std::unique_ptr<SServerCheckResult> result(reinterpret_cast<SServerCheckResult*>(message.wParam));
        const bool taken = m_checker->OnResult(result.get());
        seen.push_back({taken, result->ok, result->rttMs, result->serverId, result->text});
      }
    }
  }

  void Start(const std::string& host = "probe.tarnwick.test") { m_checker->Start(m_window.Handle(), host); }

  platform::FakeClock m_clock;
  testsupport::LogCapture m_log{LogNormal};
  platform::CMessageQueueWindow m_window;
  CRecordingCheckEngine m_engine;
  std::unique_ptr<CDnsServerChecker> m_checker = std::make_unique<CDnsServerChecker>(&m_engine);
  int32_t m_testsPerTime;
};

std::vector<std::wstring> WithPart(const std::vector<std::wstring>& lines, const std::wstring& part) {
  std::vector<std::wstring> out;
  for (const std::wstring& line : lines)
    if (line.find(part) != std::wstring::npos) out.push_back(line);
  return out;
}

TEST_F(ServerChecker, AHealthyServerAnswersTwiceAndOnlyTheSecondIsTimed) {
  m_checker->Add(MakeServer(1, L"S1"), CDnsServer{}, "", 0);
  Start();
  ASSERT_EQ(m_engine.sent.size(), 1u);
  EXPECT_EQ(m_engine.sent[0].info.name.name, "probe.tarnwick.test.");
  EXPECT_EQ(m_engine.sent[0].check.owner, m_window.Handle());
  m_clock.AdvanceMs(20);
  Answer(0, true);
  auto seen = Pump();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].rttMs, -1);
  ASSERT_EQ(m_engine.sent.size(), 2u);  // the second test goes out at once
  EXPECT_NE(m_engine.sent[1].check.sequence, m_engine.sent[0].check.sequence);
  m_clock.AdvanceMs(30);
  Answer(1, true);
  seen = Pump();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].ok);
  EXPECT_EQ(seen[0].rttMs, 30);
  EXPECT_EQ(m_engine.sent.size(), 2u);
  ASSERT_EQ(m_engine.changes.size(), 1u);
  EXPECT_EQ(m_engine.changes[0].kind, 1);
  EXPECT_TRUE(m_engine.changes[0].check);
  EXPECT_TRUE(m_checker->m_checks.front().done && m_checker->m_checks.front().warmedUp);
  const auto lines = WithPart(m_log.TakeTexts(), L"OK, rtt=");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], L"DNS Server Checker: Server S1 (Plain): OK, rtt=20 ms");
  EXPECT_EQ(lines[1], L"DNS Server Checker: Server S1 (Plain): OK, rtt=30 ms");
}

TEST_F(ServerChecker, AFailedOneShotTestEndsAtOnceAndDropsItsEngineState) {
  m_checker->Add(MakeServer(1, L"S1"), CDnsServer{}, "", 0);
  Start();
  Answer(0, false, L"Non-existent domain");
  const auto seen = Pump();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].text, L"Non-existent domain");
  EXPECT_EQ(m_engine.sent.size(), 1u);
  ASSERT_EQ(m_engine.changes.size(), 1u);
  EXPECT_EQ(m_engine.changes[0].kind, 1);
  EXPECT_EQ(m_engine.changes[0].serverId, 1u);
  EXPECT_TRUE(m_engine.changes[0].check);
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"DNS Server Checker: Server S1 (Plain): Non-existent domain"));
  // Stop does not end it a second time.
  m_checker->Stop();
  EXPECT_EQ(m_engine.changes.size(), 1u);
}

TEST_F(ServerChecker, TimeoutComesOnlyAfterTheLimitAndOnlyDoqRetries) {
  struct SCase {
    const char* name;
    EDnsProtocol protocol;
    size_t tests;
  };
  for (const SCase& c : {SCase{"doq_retried_once", EDnsProtocol::Doq, 2}, SCase{"plain_not", EDnsProtocol::Plain, 1}}) {
    SCOPED_TRACE(c.name);
    m_engine.sent.clear();
    m_checker = std::make_unique<CDnsServerChecker>(&m_engine);
    m_checker->Add(MakeServer(1, L"S1", c.protocol), CDnsServer{}, "", 0);
    Start();
    for (size_t test = 0; test < c.tests; ++test) {
      m_clock.AdvanceMs(CDnsServerChecker::kTimeoutMs);
      m_checker->CheckTimeouts();
      EXPECT_TRUE(Pump().empty());
      m_clock.AdvanceMs(1);
      m_checker->CheckTimeouts();
      const auto seen = Pump();
      ASSERT_EQ(seen.size(), 1u);
      EXPECT_EQ(seen[0].text, L"Timeout");
    }
    EXPECT_EQ(m_engine.sent.size(), c.tests);
    EXPECT_TRUE(m_checker->m_checks.front().done);
  }
}

TEST_F(ServerChecker, TestsThatCannotBeSentFailWithoutRetry) {
  CDnsServer relay = MakeServer(6, L"R1", EDnsProtocol::Relay);
  struct SCase {
    const char* name;
    CDnsServer server, dnsCryptServer;
    std::string host;
    bool engineAccepts;
    std::wstring text;
  };
  const SCase cases[] = {
      {"relay_with_doh", relay, MakeServer(7, L"D", EDnsProtocol::Doh), "probe.tarnwick.test", true,
       L"Relay can only be tested with DNSCrypt server."},
      {"host_too_long", MakeServer(1, L"S1"), CDnsServer{}, std::string(300, 'a'), true,
       L"ComposeDnsRequestPacket failed."},
      {"engine_refuses", MakeServer(1, L"S1"), CDnsServer{}, "probe.tarnwick.test", false, L"SendTestRequest failed."},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    m_engine.accept = c.engineAccepts;
    m_engine.sent.clear();
    m_checker = std::make_unique<CDnsServerChecker>(&m_engine);
    m_checker->Add(c.server, c.dnsCryptServer, c.host, 0);
    Start();
    const auto seen = Pump();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].taken);
    EXPECT_EQ(seen[0].text, c.text);
    EXPECT_EQ(seen[0].serverId, c.server.id);  // a relay test reports the relay
    EXPECT_EQ(m_engine.sent.size(), c.engineAccepts ? 0u : 1u);
    EXPECT_TRUE(m_checker->m_checks.front().done);
    EXPECT_TRUE(Contains(m_log.TakeTexts(), L"DNS Server Checker: " + c.text));
  }
}

TEST_F(ServerChecker, ARelayIsTestedThroughItsDnsCryptServer) {
  m_checker->Add(MakeServer(6, L"R1", EDnsProtocol::Relay), MakeServer(5, L"C1", EDnsProtocol::DnsCrypt), "", 0);
  Start();
  ASSERT_EQ(m_engine.sent.size(), 1u);
  EXPECT_EQ(m_engine.sent[0].check.dnsCryptServer.id, 5u);
  Answer(0, false, L"Timeout");
  const auto seen = Pump();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].serverId, 6u);
  ASSERT_EQ(m_engine.changes.size(), 1u);
  EXPECT_EQ(m_engine.changes[0].serverId, 5u);
  EXPECT_EQ(m_engine.changes[0].relayId, 6u);
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"DNS Server Checker: Relay R1: Timeout"));
}

TEST_F(ServerChecker, OnlyTestsPerTimeRunAtOnceAndEachResultStartsTheNext) {
  g_Configuration.checkerSettings.testsPerTime = 15;
  for (uint32_t id = 1; id <= 40; ++id) m_checker->Add(MakeServer(id, L"S"), CDnsServer{}, "", 0);
  Start();
  ASSERT_EQ(m_engine.sent.size(), 15u);
  Answer(3, false, L"Non-existent domain");
  Pump();
  ASSERT_EQ(m_engine.sent.size(), 16u);
  EXPECT_EQ(m_engine.sent[15].check.server.id, 16u);
}

TEST_F(ServerChecker, ARecurringEntryIsDueAfterItsSecondsOrItsNextCheckTime) {
  m_checker->Add(MakeServer(1, L"S1"), CDnsServer{}, "", 60);
  Start();
  Answer(0, false, L"Non-existent domain");
  Pump();
  ASSERT_EQ(m_engine.sent.size(), 1u);
  EXPECT_FALSE(m_checker->m_checks.front().done);
  // 60 whole seconds are not more than 60.
  m_clock.AdvanceMs(60'000);
  EXPECT_FALSE(m_checker->SendNext());
  m_clock.AdvanceMs(1'000);
  EXPECT_TRUE(m_checker->SendNext());
  Answer(1, false, L"Non-existent domain");
  Pump();
  // An asked-for time brings the next cycle forward once it has passed.
  m_checker->m_checks.front().nextCheckTime = platform::WallTime() + 5;
  m_clock.AdvanceMs(5'000);
  EXPECT_FALSE(m_checker->SendNext());
  m_clock.AdvanceMs(1'000);
  EXPECT_TRUE(m_checker->SendNext());
  EXPECT_EQ(m_checker->m_checks.front().nextCheckTime, 0);
}

TEST_F(ServerChecker, AResultThatCannotBePostedLeavesTheTestToTheTimeout) {
  m_engine.accept = false;
  m_checker->Add(MakeServer(1, L"S1"), CDnsServer{}, "", 0);
  platform::HWND gone = 0;
  {
    platform::CMessageQueueWindow closed;
    gone = closed.Handle();
  }
  m_checker->Start(gone, "probe.tarnwick.test");
  EXPECT_TRUE(m_checker->m_checks.front().running);
  m_checker->m_checks.front().owner = m_window.Handle();  // the window is back
  m_clock.AdvanceMs(CDnsServerChecker::kTimeoutMs + 1);
  m_checker->CheckTimeouts();
  const auto seen = Pump();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].text, L"Timeout");
}

TEST_F(ServerChecker, LateAnswersAndRepeatedTimeoutsAreNotDecidedAgain) {
  // One-shot: two "Timeout"s, then the engine's answer, all before the
  // owner handles any.
  m_checker->Add(MakeServer(1, L"S1"), CDnsServer{}, "", 0);
  Start();
  m_clock.AdvanceMs(CDnsServerChecker::kTimeoutMs + 1);
  m_checker->CheckTimeouts();
  m_clock.AdvanceMs(1000);
  m_checker->CheckTimeouts();
  Answer(0, true);
  auto seen = Pump();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_TRUE(seen[0].taken);
  EXPECT_FALSE(seen[1].taken || seen[2].taken);
  EXPECT_EQ(m_engine.changes.size(), 1u);

  // Recurring: the late answer neither starts more tests nor records a time.
  m_engine.sent.clear();
  m_checker = std::make_unique<CDnsServerChecker>(&m_engine);
  m_checker->Add(MakeServer(2, L"S2"), CDnsServer{}, "", 60);
  m_checker->m_checks.front().warmedUp = true;
  Start();
  m_clock.AdvanceMs(CDnsServerChecker::kTimeoutMs + 1);
  m_checker->CheckTimeouts();
  m_checker->CheckTimeouts();
  m_clock.AdvanceMs(1500);
  Answer(0, true);
  seen = Pump();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_FALSE(seen[2].taken);
  EXPECT_EQ(seen[2].rttMs, -1);
  EXPECT_EQ(m_engine.sent.size(), 1u);
}

TEST_F(ServerChecker, FinalDotsOfTestHostsAreDropped) {
  m_checker->Add(MakeServer(1, L"S1"), CDnsServer{}, "own.tarnwick.test.", 0);
  m_checker->Add(MakeServer(2, L"S2"), CDnsServer{}, ".", 0);  // nothing left: the default
  Start("probe.tarnwick.test..");
  ASSERT_EQ(m_engine.sent.size(), 2u);
  EXPECT_EQ(m_engine.sent[0].check.testHost, "own.tarnwick.test");
  EXPECT_EQ(m_engine.sent[0].info.name.name, "own.tarnwick.test.");
  EXPECT_EQ(m_engine.sent[1].check.testHost, "probe.tarnwick.test");
  EXPECT_TRUE(Pump().empty());
}

}  // namespace
