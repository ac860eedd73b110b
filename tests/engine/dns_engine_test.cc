// The engine around its table: answers by kind of request, the transports
// this build does not have, server changes against a recording bridge, the
// resolution limit, housekeeping and the start and stop road.
#include "Quorvane/engine/dns_engine.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "Quorvane/config/hooks.h"
#include "Quorvane/engine/captive_portal_detector.h"
#include "Quorvane/platform/clock.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/bounded_wait.h"

namespace {

using namespace enginetest;
using testsupport::MakeServer;

// Remembers what the engine asks of the bridge.
class CRecordingBridge : public CDnsCryptProcessor {
 public:
  struct SRelease {
    uint32_t serverId, relayId;
    bool test;
  };
  void Init() override { ++inits; }
  uint64_t ReleaseRemotes(uint32_t serverId, uint32_t relayId, bool isTest) override {
    releases.push_back({serverId, relayId, isTest});
    return 77;
  }
  void ReleaseAllRemotes() override { ++releaseAll; }
  bool SendRequest(const uint8_t*, uint32_t, const SDnsMessageInfo&, const CDnsServer& server,
                   const std::vector<sockaddr_storage>&, bool isTest, uint64_t requestId,
                   std::optional<CDnsServer> relay) override {
    sent.push_back({server.id, relay ? relay->id : 0, isTest});
    sentAddress = AddressToText(static_cast<int>(server.family), server.address);
    lastRequestId = requestId;
    return true;
  }
  int inits = 0;
  std::vector<SRelease> sent;  // server, relay and test flag of each query
  uint64_t lastRequestId = 0;
  std::string sentAddress;  // of the last query's server
  int releaseAll = 0;
  std::vector<SRelease> releases;
};

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() {
    auto bridge = std::make_unique<CRecordingBridge>();
    m_bridge = bridge.get();
    m_engine = std::make_unique<CDnsEngine>(std::move(bridge));
    m_engine->SetInjectorForTesting(m_injections.Fn());
  }

  // A pending request for name with the given record; returns its id and
  // the answer header's id through upstreamId.
  uint64_t Pending(const std::string& name, const CDnsEngine::dnsDataType& data, uint16_t& upstreamId,
                   bool local = false, bool reject = false, uint16_t qtype = kDnsTypeA) {
    Bytes query = Query(0x1111, name, qtype);
    uint32_t length = static_cast<uint32_t>(query.size());
    query.resize(kInterceptBufferSize);
    const SDnsMessageInfo info = InfoOf(Bytes(query.begin(), query.begin() + length));
    const uint64_t id = m_engine->Requests().Add(query.data(), length, kInterceptBufferSize, info, local, reject,
                                                 std::any(data));
    EXPECT_TRUE(m_engine->Requests().UpstreamId(id, upstreamId));
    return id;
  }

  testsupport::LogCapture m_log{LogDebug};
  CInjections m_injections;
  CRecordingBridge* m_bridge = nullptr;
  std::unique_ptr<CDnsEngine> m_engine;
};

CDnsEngine::dnsDataType Intercepted(const CDnsServer& server) {
  CDnsEngine::dnsDataType data;
  data.server = server;
  data.clientAddress = Ipv4("10.0.0.2", 40000);
  data.serverAddress = Ipv4("10.0.0.1", 53);
  data.context.endpointHandle = 0xE1;
  return data;
}

const Bytes kAddress = {192, 0, 2, 7};

TEST_F(EngineTest, AnOrdinaryAnswerIsInjectedFromTheAddressedServerToTheProcess) {
  CMainWindow window;
  uint16_t upstream = 0;
  const uint64_t id = Pending("a.tarnwick.test.", Intercepted(MakeServer(1, L"S")), upstream);
  Bytes answer = Answer(upstream, "a.tarnwick.test.", kDnsTypeA, {{"a.tarnwick.test.", kDnsTypeA, 300, kAddress}});
  EXPECT_TRUE(m_engine->OnUpstreamAnswer(answer, id));
  auto items = m_injections.Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(IdOf(items[0].message), 0x1111);
  EXPECT_EQ(SockaddrToText(items[0].from), "10.0.0.1:53");
  EXPECT_EQ(SockaddrToText(items[0].to), "10.0.0.2:40000");
  EXPECT_EQ(items[0].context.endpointHandle, 0xE1u);
  EXPECT_TRUE(items[0].receive);
  EXPECT_TRUE(window.Take().empty());  // the server was not Failed
  // A second copy finds no request.
  EXPECT_FALSE(m_engine->OnUpstreamAnswer(answer, id));
  auto lines = m_log.TakeTexts();
  EXPECT_TRUE(Contains(lines, L"DNS answer processing error: request " + std::to_wstring(id) + L" not found"));
  EXPECT_TRUE(Contains(lines, L"a.tarnwick.test - reply : type=A, id=" + std::to_wstring(upstream) + L", intId=" +
                                  std::to_wstring(id) + L", ips=192.0.2.7"));
  EXPECT_EQ(m_injections.Items().size(), 1u);
  // An answer that does not parse is logged with its bytes and goes nowhere.
  EXPECT_FALSE(m_engine->OnUpstreamAnswer(Bytes{0xAB, 0xCD, 0x01}, id));
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"DnsParser error: "));
}

// What cannot be read cannot be clamped or trusted: dropped, while the
// request waits on for its real answer.
TEST_F(EngineTest, AnAnswerThatDoesNotParseOrIsNoResponseIsDropped) {
  uint16_t upstream = 0;
  const uint64_t id = Pending("a.tarnwick.test.", Intercepted(MakeServer(1, L"S")), upstream);
  const SRecord good = {"a.tarnwick.test.", kDnsTypeA, 300, kAddress};
  Bytes query = Answer(upstream, "a.tarnwick.test.", kDnsTypeA, {good});
  query[2] &= 0x7F;  // QR clear
  struct Case {
    const char* name;
    Bytes answer;
    std::wstring line;
  };
  const Case cases[] = {
      {"a_rdata_of_5_bytes", Answer(upstream, "a.tarnwick.test.", kDnsTypeA, {{good.name, kDnsTypeA, 300, {1, 2, 3, 4, 5}}}),
       L"DnsParser error: "},
      {"qr_clear", query,
       L"DNS answer processing error: the answer to request " + std::to_wstring(id) + L" is not a response"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(m_engine->OnUpstreamAnswer(c.answer, id));
    EXPECT_TRUE(Contains(m_log.TakeTexts(), c.line));
    EXPECT_TRUE(m_injections.Items().empty());
    EXPECT_EQ(m_engine->Requests().Count(), 1u);
  }
  EXPECT_TRUE(m_engine->OnUpstreamAnswer(Answer(upstream, "a.tarnwick.test.", kDnsTypeA, {good}), id));
  EXPECT_EQ(m_injections.Items().size(), 1u);
}

TEST_F(EngineTest, AnswersGoToTheDriverClientUnlessATestSaysOtherwise) {
  CDnsEngine engine;
  uint16_t upstream = 0;
  Bytes query = Query(0x1111, "a.tarnwick.test.");
  uint32_t length = static_cast<uint32_t>(query.size());
  const uint64_t id = engine.Requests().Add(query.data(), length, length, InfoOf(query), false, false,
                                            std::any(Intercepted(MakeServer(1, L"S"))));
  ASSERT_TRUE(engine.Requests().UpstreamId(id, upstream));
  EXPECT_TRUE(engine.OnUpstreamAnswer(Answer(upstream, "a.tarnwick.test.", kDnsTypeA, {}), id));
  // The driver client was never opened here, so its request fails: the answer reached it.
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"InjectUdp failed with error DeviceIoControl failed with error"));
}

TEST_F(EngineTest, AFailedServerThatAnswersIsReportedWellAgain) {
  CMainWindow window;
  for (bool redundancy : {false, true}) {
    SCOPED_TRACE(redundancy);
    CDnsEngine::dnsDataType data = Intercepted(MakeServer(4, L"S", EDnsProtocol::Plain, "192.0.2.1",
                                                          EServerStatus::Failed));
    data.fromRedundancyPool = redundancy;
    uint16_t upstream = 0;
    const uint64_t id = Pending("a.tarnwick.test.", data, upstream);
    EXPECT_TRUE(m_engine->OnUpstreamAnswer(Answer(upstream, "a.tarnwick.test.", kDnsTypeA, {}), id));
    auto messages = window.Take();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, WM_SERVER_STATE);
    EXPECT_EQ(messages[0].wParam, 4u);
    EXPECT_EQ(messages[0].lParam, redundancy ? 0x10001 : 1);
  }
  EXPECT_EQ(m_injections.Items().size(), 2u);
}

TEST_F(EngineTest, DnssecFlagsDecideWhetherAnAnswerIsInjected) {
  struct {
    const char* name;
    bool local, reject;
    uint16_t flags;
    bool injected;
    const wchar_t* line;
  } cases[] = {
      {"signed_answer_passes", false, true, 0x0020, true, nullptr},
      {"unsigned_answer_discarded", false, true, 0, false,
       L"a.tarnwick.test - reply : type=A discarded because there is no DNSSEC signature"},
      // Validated here: without a signature it passes only when unsigned answers may.
      {"unsigned_validated_passes", true, false, 0x0020, true,
       L"a.tarnwick.test - DNSSEC check failed (answer is not signed)"},
      {"unsigned_validated_rejected", true, true, 0x0020, false,
       L"a.tarnwick.test - DNSSEC check failed (answer is not signed)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = m_injections.Items().size();
    uint16_t upstream = 0;
    const uint64_t id = Pending("a.tarnwick.test.", Intercepted(MakeServer(1, L"S")), upstream, c.local, c.reject);
    EXPECT_TRUE(m_engine->OnUpstreamAnswer(Answer(upstream, "a.tarnwick.test.", kDnsTypeA, {}, c.flags), id));
    EXPECT_EQ(m_injections.Items().size() - before, c.injected ? 1u : 0u);
    if (c.line) {
      EXPECT_TRUE(Contains(m_log.TakeTexts(), c.line));
    }
  }
}

TEST_F(EngineTest, ATestAnswerIsJudgedAndPostedToTheChecker) {
  platform::CMessageQueueWindow checker;
  struct {
    const char* name;
    const char* answerName;
    std::vector<SRecord> records;
    bool ok;
    const wchar_t* text;
  } cases[] = {
      {"good", "probe.tarnwick.test.", {{"probe.tarnwick.test.", kDnsTypeA, 60, kAddress}}, true, L""},
      {"no_address", "probe.tarnwick.test.", {}, false, L"Non-existent domain"},
      {"other_name", "other.tarnwick.test.", {}, false, L"Unexpected reply: name=other.tarnwick.test, type=1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CDnsEngine::dnsDataType data;
    data.server = MakeServer(8, L"Tested");
    data.test = true;
    data.owner = checker.Handle();
    data.sequence = 31;
    data.testHost = "Probe.tarnwick.test";
    uint16_t upstream = 0;
    // The request asked for the answer's name, so only the test's verdict differs.
    const uint64_t id = Pending(c.answerName, data, upstream);
    EXPECT_TRUE(m_engine->OnUpstreamAnswer(Answer(upstream, c.answerName, kDnsTypeA, c.records), id));
    platform::SWindowMessage message;
    ASSERT_TRUE(checker.WaitForMessage(message, 1000));
    ASSERT_EQ(message.message, WM_DNSCHECK_RESULT);
    std::unique_ptr<SServerCheckResult> result(reinterpret_cast<SServerCheckResult*>(message.wParam));
    EXPECT_EQ(result->serverId, 8u);
    EXPECT_EQ(result->ok, c.ok);
    EXPECT_EQ(result->sequence, 31u);
    EXPECT_EQ(result->text, c.text);
    EXPECT_FALSE(result->retryAllowed);
  }
  EXPECT_TRUE(m_injections.Items().empty());
}

TEST_F(EngineTest, DnssecSubAnswersAreStoredBySequenceAndCachedByTypeAndName) {
  Bytes stored[2];
  for (uint32_t sequence : {9u, 10u}) {
    CDnsEngine::dnsDataType data;
    data.kind = 1;
    std::memcpy(&data.clientAddress, &sequence, sizeof sequence);
    uint16_t upstream = 0;
    const uint64_t id = Pending("A.tarnwick.test.", data, upstream);
    stored[sequence - 9] = Answer(upstream, "A.tarnwick.test.", kDnsTypeA, {{"a.tarnwick.test.", kDnsTypeA, sequence, kAddress}});
    EXPECT_TRUE(m_engine->OnUpstreamAnswer(stored[sequence - 9], id));
  }
  auto store = m_engine->DnssecStore().lock();
  ASSERT_EQ(store->answers.size(), 2u);
  EXPECT_EQ(AddressTtls(store->answers[9].bytes), std::vector<uint32_t>{9});
  ASSERT_EQ(store->cache.size(), 1u);
  // The later answer for the same type and name replaced the first.
  EXPECT_EQ(AddressTtls(store->cache.begin()->second.bytes), std::vector<uint32_t>{10});
  EXPECT_EQ(store->cache.begin()->first, std::make_pair(kDnsTypeA, std::string("a.tarnwick.test.")));
  EXPECT_TRUE(m_injections.Items().empty());
}

// An engine that was never started has no completion port: the stream
// transports cannot connect.
TEST_F(EngineTest, TransportsThatCannotStartRefuseTheQueryAndLeaveItPending) {
  CDnsServer tcp = MakeServer(2, L"Tcp");
  tcp.plain_use_tcp = true;
  struct {
    const char* name;
    CDnsServer server;
    const wchar_t* line;
  } cases[] = {
      {"dnscrypt", MakeServer(1, L"Crypt", EDnsProtocol::DnsCrypt), L"a.tarnwick.test - Cannot init server: Crypt"},
      {"doh", MakeServer(1, L"Https", EDnsProtocol::Doh), L"a.tarnwick.test - Cannot init server: Https"},
      {"nextdns", MakeServer(1, L"Next", EDnsProtocol::NextDns), L"a.tarnwick.test - Cannot init server: Next"},
      {"plain_tcp", tcp, L"a.tarnwick.test - request cannot be send, ConnectEx failed with error: 10022 (Invalid argument)"},
      {"dot", MakeServer(3, L"Tls", EDnsProtocol::Dot),
       L"a.tarnwick.test - request cannot be send, ConnectEx failed with error: 10022 (Invalid argument)"},
  };
  CDnsEngine engine;  // with the usual bridge, which has no library here
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = engine.Requests().Count();
    Bytes query = Query(1, "a.tarnwick.test.");
    uint32_t length = static_cast<uint32_t>(query.size());
    query.resize(kInterceptBufferSize);
    EXPECT_FALSE(engine.RouteRequest(query.data(), length, kInterceptBufferSize,
                                     InfoOf(Bytes(query.begin(), query.begin() + length)), false, false,
                                     Intercepted(c.server)));
    EXPECT_TRUE(Contains(m_log.TakeTexts(), c.line));
    EXPECT_EQ(engine.Requests().Count(), before + 1);
  }
}

TEST_F(EngineTest, AQueryThatOutgrowsItsBufferIsDroppedWithoutBlamingTheServer) {
  CMainWindow window;
  Bytes query = Query(1, "a.tarnwick.test.");
  uint32_t length = static_cast<uint32_t>(query.size());
  const uint32_t capacity = length + 4;  // no room for the OPT record
  query.resize(capacity);
  EXPECT_FALSE(m_engine->RouteRequest(query.data(), length, capacity,
                                      InfoOf(Bytes(query.begin(), query.begin() + length)), true, false,
                                      Intercepted(MakeServer(1, L"Crypt", EDnsProtocol::DnsCrypt))));
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"a.tarnwick.test - the query does not fit in " +
                                              std::to_wstring(capacity) + L" bytes once prepared for upstream"));
  EXPECT_EQ(m_engine->Requests().Count(), 0u);
  EXPECT_TRUE(m_bridge->sent.empty());
  EXPECT_TRUE(window.Take().empty());
}

TEST_F(EngineTest, AnAddressLiteralAsHostNameIsUsedWithoutResolving) {
  CDnsServer doh = MakeServer(1, L"Https", EDnsProtocol::Doh, "");
  doh.doh_host_name = "192.0.2.9";
  Bytes query = Query(1, "a.tarnwick.test.");
  uint32_t length = static_cast<uint32_t>(query.size());
  query.resize(kInterceptBufferSize);
  EXPECT_TRUE(m_engine->RouteRequest(query.data(), length, kInterceptBufferSize,
                                     InfoOf(Bytes(query.begin(), query.begin() + length)), false, false,
                                     Intercepted(doh)));
  EXPECT_EQ(m_bridge->sentAddress, "192.0.2.9");
  EXPECT_FALSE(Contains(m_log.TakeTexts(), L"will be resolved"));
}

TEST_F(EngineTest, TestsAndQueriesOfOneServerUseSeparateHolders) {
  auto query = m_engine->GetTlsServerProcessor(3, false, L"Tls");
  auto test = m_engine->GetTlsServerProcessor(3, true, L"Tls");
  EXPECT_NE(query, test);
  EXPECT_EQ(query, m_engine->GetTlsServerProcessor(3, false, L"Tls"));
  EXPECT_NE(query->NextConnectionKey(), query->NextConnectionKey());
  // Holders without connections go with the next removal of a request.
  m_engine->RemoveRequestProcessor(1);
  EXPECT_TRUE(m_engine->TlsPool().lock()->empty());
}

TEST_F(EngineTest, ServerChangesReleaseTheBridgesRemotesForEveryProtocolOnIt) {
  struct {
    const char* name;
    int kind;
    EDnsProtocol protocol;
    bool check;
    bool released;
    const wchar_t* line;
  } cases[] = {
      {"added", 0, EDnsProtocol::DnsCrypt, false, false, L"Server added: name=X, id=5, relayName=R, relayId=6"},
      {"dnscrypt", 1, EDnsProtocol::DnsCrypt, false, true, L"Server 77 removed: name=X, id=5, relayName=R, relayId=6"},
      {"doh_check", 1, EDnsProtocol::Doh, true, true, L"Check server 77 removed: name=X, id=5"},
      {"nextdns", 1, EDnsProtocol::NextDns, false, true, L"Server 77 removed: name=X, id=5"},
      {"dot_drops_nothing", 1, EDnsProtocol::Dot, false, false, L"name=X, id=5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_bridge->releases.clear();
    CDnsServer relay = c.kind == 0 || c.protocol == EDnsProtocol::DnsCrypt ? MakeServer(6, L"R", EDnsProtocol::Relay)
                                                                           : CDnsServer{};
    m_engine->OnServerChange(c.kind, MakeServer(5, L"X", c.protocol), relay, c.check);
    ASSERT_EQ(m_bridge->releases.size(), c.released ? 1u : 0u);
    if (c.released) {
      EXPECT_EQ(m_bridge->releases[0].serverId, 5u);
      EXPECT_EQ(m_bridge->releases[0].relayId, relay.id);
      EXPECT_EQ(m_bridge->releases[0].test, c.check);
    }
    auto lines = m_log.TakeTexts();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], c.line);
  }
}

TEST_F(EngineTest, ARelayTestGoesToTheDnsCryptServerThroughTheRelay) {
  SServerCheck check;
  check.server = MakeServer(6, L"Relay", EDnsProtocol::Relay);
  check.dnsCryptServer = MakeServer(5, L"Crypt", EDnsProtocol::DnsCrypt);
  check.owner = 1;
  check.testHost = "probe.tarnwick.test";
  uint8_t buffer[kDnsPacketBufferSize];
  const int size = ComposeDnsRequestPacket(check.testHost, buffer);
  ASSERT_GT(size, 0);
  uint32_t length = static_cast<uint32_t>(size);
  const SDnsMessageInfo info = InfoOf(Bytes(buffer, buffer + length));
  EXPECT_TRUE(m_engine->SendTestRequest(buffer, length, info, check));
  check.dnsCryptServer = CDnsServer{};
  check.server = MakeServer(7, L"Doh", EDnsProtocol::Doh);
  length = static_cast<uint32_t>(size);
  EXPECT_TRUE(m_engine->SendTestRequest(buffer, length, info, check));
  ASSERT_EQ(m_bridge->sent.size(), 2u);
  EXPECT_EQ(m_bridge->sent[0].serverId, 5u);
  EXPECT_EQ(m_bridge->sent[0].relayId, 6u);
  EXPECT_TRUE(m_bridge->sent[0].test);
  EXPECT_EQ(m_bridge->sent[1].serverId, 7u);
  EXPECT_EQ(m_bridge->sent[1].relayId, 0u);
}

TEST_F(EngineTest, HousekeepingDropsUdpStateOfExpiredAndOrphanedRequests) {
  // Registration keys that the manager does not hold: removing them is a no-op there.
  for (uint64_t id : {1, 2, 3}) m_engine->Udp().SetRequestForTesting(id, 900 + id);
  m_engine->ExpireRequestProcessors({1});
  EXPECT_EQ(m_engine->Udp().RequestsForTesting().count(1), 0u);
  m_engine->RemoveOrphanProcessors({2});
  EXPECT_EQ(m_engine->Udp().RequestsForTesting(), (std::map<uint64_t, uint64_t>{{2, 902}}));
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"UDP processor for non existent request removed 3"));
  // Without a pending request the orphan walk does not run at all.
  m_engine->Udp().SetRequestForTesting(4, 904);
  m_engine->Housekeeping(platform::TickSeconds());
  EXPECT_EQ(m_engine->Udp().RequestsForTesting().size(), 2u);
}

TEST_F(EngineTest, ARemovedServerReachesTheEngineThroughTheConfigurationHooks) {
  CRunningConfiguration running({MakeServer(5, L"Crypt", EDnsProtocol::DnsCrypt), MakeServer(6, L"Plain")}, {});
  SetConfigEngineHooks(&m_engine->ConfigHooks());
  CProfile::SetServers({MakeServer(6, L"Plain")});
  SetConfigEngineHooks(nullptr);
  ASSERT_EQ(m_bridge->releases.size(), 1u);
  EXPECT_EQ(m_bridge->releases[0].serverId, 5u);
}

TEST_F(EngineTest, DoqServerChangeRemovesItsFactory) {
  m_engine->GetQuicFactory(5, false, L"Q");
  m_engine->GetQuicFactory(5, true, L"Q");
  m_engine->OnServerChange(1, MakeServer(5, L"Q", EDnsProtocol::Doq), CDnsServer{}, true);
  {
    auto pool = m_engine->QuicPool().lock();
    ASSERT_EQ(pool->size(), 1u);
    EXPECT_EQ(std::get<2>(pool->begin()->first), 0);
  }
  EXPECT_FALSE(m_engine->RemoveQuicProcessors(5, true));
}

TEST_F(EngineTest, ResolutionsAreRefusedPastTheLimitAndTheCountBacksOut) {
  m_engine->ResolvesRunningForTesting() = CDnsEngine::kMaxResolvesRunning;
  EXPECT_EQ(m_engine->ResolveServerHost("dot.tarnwick.test"), 0);
  EXPECT_EQ(m_engine->ResolvesRunningForTesting(), CDnsEngine::kMaxResolvesRunning);
  EXPECT_EQ(m_engine->ResolveServerHost(""), 0);
  auto lines = m_log.TakeTexts();
  EXPECT_TRUE(Contains(lines, L"Too many resolves in progress. The dot.tarnwick.test will not be resolved"));
  EXPECT_TRUE(Contains(lines, L"DNS Server empty hostname"));
  m_engine->ResolvesRunningForTesting() = 0;
}

TEST_F(EngineTest, ResetForgetsAddressesAndRemotes) {
  (*m_engine->HostAddresses().lock())["dot.tarnwick.test"] = {AF_INET, {127, 0, 0, 1}, 0};
  m_engine->ResetServerState();
  EXPECT_TRUE(m_engine->HostAddresses().lock()->empty());
  EXPECT_EQ(m_bridge->releaseAll, 1);
}

TEST_F(EngineTest, HousekeepingTimesRequestsOutAndAsksForAPortalCheck) {
  platform::FakeClock clock(1'000'000, 1000);
  platform::SetClockSourceForTesting(&clock);
  CRunningConfiguration running({}, {});
  g_Configuration.settings.captivePortalDetection = true;
  CCaptivePortalDetector::s_lastCheckTick = 0;
  CMainWindow window;

  uint16_t upstream = 0;
  Pending("a.tarnwick.test.", Intercepted(MakeServer(2, L"Two")), upstream);
  m_engine->Housekeeping(1005);
  EXPECT_EQ(m_engine->Requests().Count(), 1u);
  m_engine->Housekeeping(1006);
  EXPECT_EQ(m_engine->Requests().Count(), 0u);
  EXPECT_EQ(window.Take().size(), 1u);
  // The detector claimed a start; its probe finds no resolver here.
  EXPECT_EQ(CCaptivePortalDetector::s_lastCheckTick, clock.TickMs());
  EXPECT_TRUE(CCaptivePortalDetector::WaitForChecksForTesting(5000));
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"a.tarnwick.test - request timeout : server=Two"));

  platform::SetClockSourceForTesting(nullptr);
}

TEST_F(EngineTest, StartBindsTheTransportsAndStopJoinsTheWorker) {
  ASSERT_TRUE(m_engine->Start());
  EXPECT_EQ(m_bridge->inits, 1);
  // One socket per UDP query: the soft descriptor limit is raised to the hard one.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
  EXPECT_TRUE(m_engine->IsRunning());
  // The transports' sink now reaches this engine's table.
  EXPECT_FALSE(GetEngineSink().OnUpstreamAnswer(Answer(1, "a.tarnwick.test.", kDnsTypeA, {}), 999));
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"DNS answer processing error: request 999 not found"));
  EXPECT_TRUE(m_engine->Stop());
  EXPECT_FALSE(m_engine->WorkerJoinableForTesting());
  m_engine.reset();
  // Gone with the engine.
  EXPECT_FALSE(GetEngineSink().OnUpstreamAnswer(Answer(1, "a.tarnwick.test.", kDnsTypeA, {}), 999));
}

TEST(EngineStartTest, FailsAndSaysWhyWhenTheCompletionPortCannotBeMade) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto startWithoutDescriptors = [] {
    testsupport::LogCapture log;
    CDnsEngine engine;
    // UBSan checks a call's dynamic type through a pipe the first time it
    // meets it: make the clock calls the log makes while descriptors are free.
    platform::GetTickCount64();
    platform::WallTime();
    // open() takes the lowest free number, so below it every one is taken:
    // with the limit just above it, the port gets no descriptor.
    const int next = open("/dev/null", O_RDONLY);
    const rlimit limit{static_cast<rlim_t>(next + 1), static_cast<rlim_t>(next + 1)};
    if (next < 0 || setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
    const bool started = engine.Start();
    const bool said = Contains(log.TakeTexts(), L"Could not create the completion port, error 24");
    _exit(!started && said && !engine.IsRunning() && !engine.WorkerJoinableForTesting() ? 0 : 1);
  };
  EXPECT_EXIT(startWithoutDescriptors(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

namespace {

// Holds the worker inside one completion for a while.
class CSlowProcessor : public CSocketEventsManager::CSocketEventProcessor {
 public:
  const std::type_info& GetType() const override { return typeid(CSlowProcessor); }
  void ProcessEvent(const CSocketEventsManager::SCompletionEvent&, int, uint64_t, CSocketEventsManager&,
                    const std::shared_ptr<CSocketEventProcessor>&) override {
    entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(CDnsEngine::kStopWaitMs + 500));
    left = true;
  }
  bool IsTimedOut(int64_t) override { return false; }
  void OnError(const std::wstring&) override {}
  std::atomic<bool> entered{false}, left{false};
};

TEST_F(EngineTest, AWorkerThatDoesNotEndInTimeIsDetachedAndLogged) {
  ASSERT_TRUE(m_engine->Start());
  auto processor = std::make_shared<CSlowProcessor>();
  uint64_t key = 0;
  ASSERT_TRUE(m_engine->SocketEvents().AddSocketToQueueWithReadEvents(
      processor, key, CSafeSocket::Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP)));
  platform::Overlapped overlapped;
  ASSERT_TRUE(m_engine->SocketEvents().GetPort()->Post(1, key, &overlapped));
  testsupport::WaitUntil([&]() -> bool { return processor->entered; }, std::chrono::milliseconds(2000));
  ASSERT_TRUE(processor->entered);

  EXPECT_FALSE(m_engine->Stop());
  EXPECT_FALSE(m_engine->WorkerJoinableForTesting());
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"Dns Engine stop failed with error "));
  // The engine waits for the detached worker before it goes.
  m_engine->SocketEvents().RemoveSocket(key);
  m_engine.reset();
  EXPECT_TRUE(processor->left);
}

}  // namespace
