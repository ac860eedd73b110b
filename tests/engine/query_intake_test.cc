// Intake of diverted queries: what is bypassed, answered in place, dropped or
// routed, by the rules and by the servers' own host names.
#include <gtest/gtest.h>

#include "tests/engine/engine_fixture.h"

namespace {

using namespace enginetest;
using testsupport::MakeServer;

constexpr uint32_t kDotId = 10;

CDnsServer DotByName(EServerStatus status = EServerStatus::Unknown) {
  CDnsServer server = MakeServer(kDotId, L"DoT", EDnsProtocol::Dot, "", status);
  server.addressKnown = false;
  server.dot_host_name = "dot.tarnwick.test";
  return server;
}

class QueryIntake : public ::testing::Test {
 protected:
  // The packet buffer as the driver client hands it over.
  EInterceptResult Process(const Bytes& message, Bytes& packet, uint32_t& length) {
    packet.assign(kInterceptBufferSize, 0);
    std::copy(message.begin(), message.end(), packet.begin());
    length = static_cast<uint32_t>(message.size());
    return m_engine.ProcessInterceptedQuery(packet.data(), length, DatagramContext{}, Ipv4("10.0.0.2", 40000),
                                            Ipv4("10.0.0.1", 53), L"app", 42);
  }
  EInterceptResult Process(const Bytes& message) {
    Bytes packet;
    uint32_t length = 0;
    return Process(message, packet, length);
  }

  testsupport::LogCapture m_log{LogDebug};
  CDnsEngine m_engine;
};

TEST_F(QueryIntake, AMessageThatIsNotAQueryIsBypassedWithABoundedDump) {
  CRunningConfiguration running({}, {DefaultRule()});
  struct {
    const char* name;
    size_t size;
    size_t dumped;
  } cases[] = {{"short", 20, 20}, {"long", 3000, 1000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes junk(c.size, 0xAB);
    EXPECT_EQ(Process(junk), InterceptBypass);
    auto lines = m_log.TakeTexts();
    EXPECT_TRUE(Contains(lines, L"Could not parse DNS packet. "));
    EXPECT_TRUE(Contains(lines, L"server=10.0.0.1:53, program=app, pid=42"));
    std::wstring dump = L"Packet size=" + std::to_wstring(c.size) + L", data=AB";
    for (size_t i = 1; i < c.dumped; ++i) dump += L":AB";
    bool exact = false;
    for (const std::wstring& line : lines) exact = exact || line == dump;
    EXPECT_TRUE(exact);
  }
  EXPECT_EQ(m_engine.ResolvesProcessed(), 0u);
}

TEST_F(QueryIntake, ABlockedQueryIsAnsweredWithTheZeroAddressOrDropped) {
  struct {
    const char* name;
    uint16_t qtype;
    bool zeroIp;
    EInterceptResult want;
    uint16_t answerType;
    size_t addressSize;
  } cases[] = {
      {"a_gets_0.0.0.0", kDnsTypeA, true, InterceptAnswered, kDnsTypeA, 4},
      {"aaaa_gets_::", kDnsTypeAaaa, true, InterceptAnswered, kDnsTypeAaaa, 16},
      {"other_types_get_::", kDnsTypeMx, true, InterceptAnswered, kDnsTypeAaaa, 16},
      {"without_zero_ip_dropped", kDnsTypeA, false, InterceptAbsorbed, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CRule block = MakeRule(ERuleAction::Block);
    block.block_return_zero_ip = c.zeroIp;
    CRunningConfiguration running({}, {block, DefaultRule()});
    const Bytes query = Query(0x4242, "ads.tarnwick.test.", c.qtype);
    Bytes packet;
    uint32_t length = 0;
    ASSERT_EQ(Process(query, packet, length), c.want);
    if (c.want == InterceptAbsorbed) {
      EXPECT_EQ(Bytes(packet.begin(), packet.begin() + length), query);
      continue;
    }
    const Bytes answer(packet.begin(), packet.begin() + length);
    EXPECT_EQ(IdOf(answer), 0x4242);
    // The one record follows the question: name, type, class, TTL, length, address.
    size_t record = query.size();
    ASSERT_EQ(answer.size(), record + 2 + 10 + c.addressSize);
    EXPECT_EQ(answer[record + 3], c.answerType);
    EXPECT_EQ(answer[record + 9], 5);  // TTL 5
    EXPECT_EQ(Bytes(answer.end() - static_cast<long>(c.addressSize), answer.end()), Bytes(c.addressSize, 0));
  }
  EXPECT_EQ(m_engine.Requests().Count(), 0u);
}

TEST_F(QueryIntake, RulesDecideBypassAndRouting) {
  CRunningConfiguration running({DotByName()},
                                {MakeRule(ERuleAction::Bypass, 0, L"direct.tarnwick.test"),
                                 MakeRule(ERuleAction::ProcessServer, kDotId, L"*.tarnwick.test"), DefaultRule()});
  (*m_engine.HostAddresses().lock())["dot.tarnwick.test"] = {AF_INET, {127, 0, 0, 9}, INT64_MAX};
  EXPECT_EQ(Process(Query(1, "direct.tarnwick.test.")), InterceptBypass);
  EXPECT_EQ(Process(Query(2, "elsewhere.example.")), InterceptBypass);  // the Default rule
  EXPECT_EQ(m_engine.Requests().Count(), 0u);
  m_log.Take();

  EXPECT_EQ(Process(Query(3, "www.tarnwick.test.")), InterceptAbsorbed);
  EXPECT_EQ(m_engine.Requests().Count(), 1u);
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"www.tarnwick.test - request cannot be send, ConnectEx failed with error: 10022 (Invalid argument)"));
  EXPECT_EQ(m_engine.ResolvesProcessed(), 3u);
}

TEST_F(QueryIntake, AServersOwnHostNameIsSettledBeforeTheRules) {
  const CRule blockAll = MakeRule(ERuleAction::Block);
  struct {
    const char* name;
    EServerStatus status;
    bool addressKnown;
    const char* query;
    EInterceptResult want;
    const wchar_t* line;
  } cases[] = {
      {"through_itself", EServerStatus::Ok, true, "dot.tarnwick.test.", InterceptAbsorbed,
       L"dot.tarnwick.test - resolve server hostname through itself"},
      {"failed_goes_to_system", EServerStatus::Failed, true, "dot.tarnwick.test.", InterceptBypass,
       L"dot.tarnwick.test - use system resolver for the server hostname"},
      {"unresolved_goes_to_system", EServerStatus::Ok, false, "dot.tarnwick.test.", InterceptBypass,
       L"dot.tarnwick.test - use system resolver for the server hostname"},
      // Exact comparison: another letter case is the rules' business.
      {"letter_case_goes_to_rules", EServerStatus::Ok, true, "DOT.tarnwick.test.", InterceptAnswered, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CRunningConfiguration running({DotByName(c.status)}, {blockAll, DefaultRule()});
    CDnsEngine engine;
    if (c.addressKnown) (*engine.HostAddresses().lock())["dot.tarnwick.test"] = {AF_INET, {127, 0, 0, 9}, INT64_MAX};
    Bytes packet(kInterceptBufferSize, 0);
    const Bytes query = Query(1, c.query);
    std::copy(query.begin(), query.end(), packet.begin());
    uint32_t length = static_cast<uint32_t>(query.size());
    EXPECT_EQ(engine.ProcessInterceptedQuery(packet.data(), length, DatagramContext{}, Ipv4("10.0.0.2", 40000),
                                             Ipv4("10.0.0.1", 53), L"app", 42),
              c.want);
    auto lines = m_log.TakeTexts();
    if (c.line) {
      EXPECT_TRUE(Contains(lines, c.line));
    }
    EXPECT_EQ(engine.Requests().Count(), c.want == InterceptAbsorbed ? 1u : 0u);
  }
}

TEST_F(QueryIntake, TheRootQueryMatchesAServerWithoutHostNameAndIsBypassed) {
  CRunningConfiguration running({MakeServer(1, L"Plain")}, {MakeRule(ERuleAction::Block), DefaultRule()});
  EXPECT_EQ(Process(Query(1, "", 2)), InterceptBypass);
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"root (.) - use system resolver for the server hostname"));
}

}  // namespace
