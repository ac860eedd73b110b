// The pending-request table on real messages: ids, the upstream id, DNSSEC
// bits as the DNS library reads them back, the TTL clamp, matching, and the
// time-out road on a fake clock.
#include "Quorvane/engine/dns_pending_requests.h"

#include <gtest/gtest.h>

#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/ldns_glue.h"
#include "tests/engine/engine_fixture.h"

namespace {

using namespace enginetest;

constexpr uint64_t kStartTickMs = 1'000'000;
constexpr int64_t kStart = kStartTickMs / 1000;  // on the tick clock, where lifetimes are kept

class PendingRequests : public ::testing::Test {
 protected:
  PendingRequests() : m_clock(kStartTickMs, 1'700'000'000) { platform::SetClockSourceForTesting(&m_clock); }
  ~PendingRequests() override { platform::SetClockSourceForTesting(nullptr); }

  // Registers a query for name through server; returns the request id.
  uint64_t Add(Bytes& query, const CDnsEngine::dnsDataType& data, bool local = false, bool reject = false) {
    uint32_t length = static_cast<uint32_t>(query.size());
    query.resize(kInterceptBufferSize);
    uint64_t id = m_table.Add(query.data(), length, kInterceptBufferSize, InfoOf(Bytes(query.begin(), query.begin() + length)),
                              local, reject, std::any(data));
    query.resize(length);
    return id;
  }

  platform::FakeClock m_clock;
  CDnsPendingRequests m_table;
  testsupport::LogCapture m_log{LogVerbose};
};

CDnsEngine::dnsDataType Through(const CDnsServer& server) {
  CDnsEngine::dnsDataType data;
  data.server = server;
  return data;
}

TEST_F(PendingRequests, IdsStartAtOneAndTheQueryCarriesTheRandomUpstreamId) {
  std::set<uint16_t> upstreamIds;
  for (uint64_t expected = 1; expected <= 20; ++expected) {
    Bytes query = Query(0x1234, "a.tarnwick.test.");
    const uint64_t id = Add(query, Through(testsupport::MakeServer(1, L"S")));
    ASSERT_EQ(id, expected);
    uint16_t upstream = 0;
    ASSERT_TRUE(m_table.UpstreamId(id, upstream));
    EXPECT_EQ(IdOf(query), upstream);
    upstreamIds.insert(upstream);
  }
  // Twenty draws from 65536 values that all collide would be no random id at all.
  EXPECT_GT(upstreamIds.size(), 1u);
}

struct SFlagsCase {
  const char* name;
  bool local, reject;
  bool ad, cd, ednsDo;
  uint16_t udpSize;
};

TEST_F(PendingRequests, DnssecBitsAreSetThroughTheLibrary) {
  const SFlagsCase cases[] = {
      {"none", false, false, false, false, false, 0},
      {"reject_unsigned", false, true, true, false, false, 0},
      {"local_validation", true, false, false, true, true, 4096},
      {"both", true, true, true, true, true, 4096},
  };
  for (const SFlagsCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes query = Query(7, "a.tarnwick.test.");
    ASSERT_NE(Add(query, Through(testsupport::MakeServer(1, L"S")), c.local, c.reject), 0u);
    ldns_pkt* packet = nullptr;
    ASSERT_EQ(ldns_wire2pkt(&packet, query.data(), query.size()), LDNS_STATUS_OK);
    EXPECT_EQ(ldns_pkt_ad(packet), c.ad);
    EXPECT_EQ(ldns_pkt_cd(packet), c.cd);
    EXPECT_EQ(ldns_pkt_edns_do(packet), c.ednsDo);
    EXPECT_EQ(ldns_pkt_edns_udp_size(packet), c.udpSize);
    EXPECT_TRUE(ldns_pkt_rd(packet));
    ldns_pkt_free(packet);
  }
}

TEST_F(PendingRequests, AnEncodingLargerThanTheBufferIsNotRegistered) {
  Bytes query = Query(7, "a.tarnwick.test.");
  const Bytes before = query;
  uint32_t length = static_cast<uint32_t>(query.size());
  // Room for the query itself but not for the OPT record local validation adds.
  query.resize(length + 4);
  EXPECT_EQ(m_table.Add(query.data(), length, length + 4, InfoOf(before), true, false,
                        std::any(Through(testsupport::MakeServer(1, L"S")))),
            0u);
  EXPECT_EQ(length, before.size());
  EXPECT_EQ(Bytes(query.begin(), query.begin() + length), before);
  EXPECT_EQ(m_table.Count(), 0u);
}

TEST_F(PendingRequests, AQueryTheLibraryRejectsGoesAsReadWithTheUpstreamId) {
  // An additional record cut short: the program's reader stops at the
  // question, the library refuses the message.
  Bytes query = Query(7, "a.tarnwick.test.");
  query[11] = 1;  // ARCOUNT 1
  query.push_back(0);
  const Bytes before = query;
  const uint64_t id = Add(query, Through(testsupport::MakeServer(1, L"S")), true, true);
  ASSERT_NE(id, 0u);
  uint16_t upstream = 0;
  ASSERT_TRUE(m_table.UpstreamId(id, upstream));
  EXPECT_EQ(IdOf(query), upstream);
  EXPECT_EQ(Bytes(query.begin() + 2, query.end()), Bytes(before.begin() + 2, before.end()));
}

struct STtlCase {
  const char* name;
  uint32_t ttlMin, ttlMax;
  std::vector<uint32_t> want;
};

TEST_F(PendingRequests, CompleteClampsAddressTtlsOnlyAndRestoresTheClientId) {
  const STtlCase cases[] = {
      {"into_range", 60, 3600, {60, 3600}},
      {"crossed_bounds_end_at_max", 600, 300, {300, 300}},
      {"wide_open", 0, 2147483647, {10, 86400}},
  };
  for (const STtlCase& c : cases) {
    SCOPED_TRACE(c.name);
    CRunningConfiguration running({}, {});
    g_Configuration.settings.ttlMin = c.ttlMin;
    g_Configuration.settings.ttlMax = c.ttlMax;
    Bytes query = Query(0xBEEF, "A.Tarnwick.Test.");
    const uint64_t id = Add(query, Through(testsupport::MakeServer(1, L"S")));
    // The answer's name differs in letter case only: it still matches.
    Bytes answer = Answer(IdOf(query), "a.tarnwick.test.", kDnsTypeA,
                          {{"a.tarnwick.test.", kDnsTypeCname, 7, WireName("b.tarnwick.test.")},
                           {"b.tarnwick.test.", kDnsTypeA, 10, {192, 0, 2, 1}},
                           {"b.tarnwick.test.", kDnsTypeA, 86400, {192, 0, 2, 2}}});
    SDnsMessageInfo info;
    std::vector<SDnsAnswerAddress> addresses;
    std::string text;
    ASSERT_EQ(ParseDnsReply(answer.data(), answer.size(), DnsResponse, info, addresses, text), DnsParseOk);
    std::any data;
    bool reject = true, local = true;
    ASSERT_TRUE(m_table.Complete(answer.data(), static_cast<uint32_t>(answer.size()), data, reject, local, info,
                                 addresses, id));
    EXPECT_EQ(AddressTtls(answer), c.want);
    EXPECT_EQ(IdOf(answer), 0xBEEF);
    EXPECT_FALSE(reject);
    EXPECT_FALSE(local);
    EXPECT_NE(std::any_cast<CDnsEngine::dnsDataType>(&data), nullptr);
    // The CNAME's TTL sits right after its owner name, type and class.
    const size_t cnameTtl = 12 + WireName("a.tarnwick.test.").size() + 4 + WireName("a.tarnwick.test.").size() + 4;
    EXPECT_EQ(answer[cnameTtl + 3], 7);
    EXPECT_EQ(m_table.Count(), 0u);
  }
}

TEST_F(PendingRequests, AnAnswerThatDoesNotMatchLeavesTheRequestWaiting) {
  Bytes query = Query(1, "a.tarnwick.test.");
  const uint64_t id = Add(query, Through(testsupport::MakeServer(1, L"S")));
  struct SMismatch {
    const char* name;
    Bytes answer;
  } cases[] = {
      {"other_id", Answer(static_cast<uint16_t>(IdOf(query) + 1), "a.tarnwick.test.", kDnsTypeA, {})},
      {"other_name", Answer(IdOf(query), "b.tarnwick.test.", kDnsTypeA, {})},
      {"other_type", Answer(IdOf(query), "a.tarnwick.test.", kDnsTypeAaaa, {})},
  };
  for (SMismatch& c : cases) {
    SCOPED_TRACE(c.name);
    std::any data;
    bool reject = false, local = false;
    std::vector<SDnsAnswerAddress> addresses;
    EXPECT_FALSE(m_table.Complete(c.answer.data(), static_cast<uint32_t>(c.answer.size()), data, reject, local,
                                  InfoOf(c.answer), addresses, id));
    EXPECT_TRUE(Contains(m_log.TakeTexts(),
                         L"DNS answer processing error: the information in the answer does not represent the "
                         L"original request (requst id " + std::to_wstring(id) + L")"));
  }
  EXPECT_EQ(m_table.Count(), 1u);

  std::any data;
  bool reject = false, local = false;
  std::vector<SDnsAnswerAddress> addresses;
  Bytes late = Answer(1, "a.tarnwick.test.", kDnsTypeA, {});
  EXPECT_FALSE(m_table.Complete(late.data(), static_cast<uint32_t>(late.size()), data, reject, local, InfoOf(late),
                                addresses, id + 1));
  EXPECT_TRUE(Contains(m_log.TakeTexts(),
                       L"DNS answer processing error: request " + std::to_wstring(id + 1) + L" not found"));
}

TEST_F(PendingRequests, ARequestIsLiveFiveSecondsAndExpiresAtTheSixth) {
  CMainWindow window;
  CDnsEngine::dnsDataType data = Through(testsupport::MakeServer(9, L"Nine"));
  data.fromRedundancyPool = true;
  Bytes query = Query(1, "a.tarnwick.test.");
  const uint64_t id = Add(query, data);

  std::set<uint64_t> expired, live;
  m_table.CheckTimeouts(expired, live, kStart + CDnsPendingRequests::kTimeoutSeconds);
  EXPECT_EQ(live, std::set<uint64_t>{id});
  EXPECT_TRUE(expired.empty());
  EXPECT_TRUE(window.Take().empty());

  live.clear();
  m_table.CheckTimeouts(expired, live, kStart + CDnsPendingRequests::kTimeoutSeconds + 1);
  EXPECT_EQ(expired, std::set<uint64_t>{id});
  EXPECT_TRUE(live.empty());
  EXPECT_EQ(m_table.Count(), 0u);
  auto messages = window.Take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].message, WM_SERVER_STATE);
  EXPECT_EQ(messages[0].wParam, 9u);
  EXPECT_EQ(messages[0].lParam, 0x10000);
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"a.tarnwick.test - request timeout : server=Nine"));
}

// An administrator or time service stepping the wall clock neither expires
// pending requests at once nor keeps them for hours.
TEST_F(PendingRequests, AWallClockStepMovesNoLifetime) {
  for (int64_t step : {int64_t{3600}, int64_t{-3600}}) {
    SCOPED_TRACE(step);
    Bytes query = Query(1, "a.tarnwick.test.");
    const uint64_t id = Add(query, Through(testsupport::MakeServer(9, L"Nine")));
    m_clock.StepWallSeconds(step);
    std::set<uint64_t> expired, live;
    m_table.CheckTimeouts(expired, live);
    EXPECT_EQ(live, std::set<uint64_t>{id});
    EXPECT_TRUE(expired.empty());

    m_clock.AdvanceMs(CDnsPendingRequests::kTimeoutSeconds * 1000);
    live.clear();
    m_table.CheckTimeouts(expired, live);
    EXPECT_EQ(live, std::set<uint64_t>{id});

    m_clock.AdvanceMs(1000);
    live.clear();
    m_table.CheckTimeouts(expired, live);
    EXPECT_EQ(expired, std::set<uint64_t>{id});
    EXPECT_EQ(m_table.Count(), 0u);
  }
}

TEST_F(PendingRequests, FailuresAreReportedByTheServersState) {
  CMainWindow window;
  std::vector<std::string> reResolved;
  m_table.SetHostFailedHandler([&](const std::string& host) { reResolved.push_back(host); });

  CDnsServer byName = testsupport::MakeServer(3, L"DoT", EDnsProtocol::Dot, "", EServerStatus::Failed);
  byName.addressKnown = false;
  byName.dot_host_name = "dot.tarnwick.test";
  CDnsEngine::dnsDataType test = Through(testsupport::MakeServer(4, L"Tested"));
  test.test = true;
  CDnsEngine::dnsDataType viaRelay = Through(testsupport::MakeServer(5, L"Crypt", EDnsProtocol::DnsCrypt));
  viaRelay.relay = testsupport::MakeServer(6, L"Relay", EDnsProtocol::Relay);

  Bytes q1 = Query(1, "a.tarnwick.test."), q2 = Query(2, "b.tarnwick.test."), q3 = Query(3, "c.tarnwick.test.");
  const uint64_t failedHost = Add(q1, Through(byName));
  const uint64_t tested = Add(q2, test);
  const uint64_t relayed = Add(q3, viaRelay);
  m_log.Take();

  std::set<uint64_t> expired, live;
  m_table.CheckTimeouts(expired, live, kStart + 6);
  EXPECT_EQ(expired, (std::set<uint64_t>{failedHost, tested, relayed}));
  // The Failed server given by host name is looked up again instead of a
  // second failure message; the test goes silently; the relay is reported.
  EXPECT_EQ(reResolved, std::vector<std::string>{"dot.tarnwick.test"});
  auto messages = window.Take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].wParam, 6u);
  EXPECT_EQ(messages[0].lParam, 0);
  auto lines = m_log.TakeTexts();
  EXPECT_FALSE(Contains(lines, L"b.tarnwick.test"));
  EXPECT_TRUE(Contains(lines, L"c.tarnwick.test - request timeout : server=Relay"));
}

TEST_F(PendingRequests, OnErrorForgetsTheRequestOnce) {
  CMainWindow window;
  Bytes query = Query(1, "a.tarnwick.test.");
  const uint64_t id = Add(query, Through(testsupport::MakeServer(2, L"Two")));
  m_log.Take();
  m_table.OnError(id, L"a.tarnwick.test", L"boom");
  m_table.OnError(id, L"a.tarnwick.test", L"again");
  auto lines = m_log.TakeTexts();
  EXPECT_TRUE(Contains(lines, L"a.tarnwick.test - error: boom"));
  EXPECT_TRUE(Contains(lines, L"a.tarnwick.test - error (request " + std::to_wstring(id) + L"): again"));
  EXPECT_EQ(window.Take().size(), 1u);
  EXPECT_EQ(m_table.Count(), 0u);
}

}  // namespace
