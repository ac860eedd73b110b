// The engine's checks: sub-queries routed to a recording bridge and answered
// by the signed test zones, the verdict's injection, the cache, the deadline,
// and answers delivered from two threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "Quorvane/engine/dns_engine.h"
#include "tests/support/config_records.h"
#include "tests/support/log_capture.h"
#include "tests/engine/dnssec/dnssec_fixture.h"
#include "tests/engine/engine_fixture.h"

namespace {

using namespace dnssectest;
using enginetest::CInjections;
using enginetest::Contains;
using enginetest::InfoOf;
using enginetest::Ipv4;

// Takes the engine's sub-queries (the check's server is a DNSCrypt one, so
// they come here) and keeps them for the test to answer.
class CSubQueryBridge : public CDnsCryptProcessor {
 public:
  struct SSent {
    uint64_t requestId;
    Bytes query;
  };
  void Init() override {}
  bool SendRequest(const uint8_t* message, uint32_t length, const SDnsMessageInfo&, const CDnsServer&,
                   const std::vector<sockaddr_storage>&, bool, uint64_t requestId, std::optional<CDnsServer>) override {
    std::lock_guard lock(mutex);
    if (fail) return false;
    sent.push_back({requestId, Bytes(message, message + length)});
    return true;
  }
  bool Next(SSent& out) {
    std::lock_guard lock(mutex);
    if (sent.empty()) return false;
    out = std::move(sent.front());
    sent.pop_front();
    ++taken;
    return true;
  }
  std::mutex mutex;
  std::deque<SSent> sent;  // under mutex
  int taken = 0;           // under mutex
  bool fail = false;       // under mutex
};

// The signed zones' answer to a sub-query, with its DNS id.
Bytes AnswerTo(const Bytes& query) {
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&pkt, query.data(), query.size()), LDNS_STATUS_OK);
  const ldns_rr* question = ldns_rr_list_rr(ldns_pkt_question(pkt), 0);
  char* name = ldns_rdf2str(ldns_rr_owner(question));
  Bytes answer = CDnssecScene::World().Respond(name, ldns_rr_get_type(question), ldns_pkt_id(pkt));
  std::free(name);
  ldns_pkt_free(pkt);
  return answer;
}

class DnssecEngine : public ::testing::Test {
 protected:
  DnssecEngine() {
    m_scene.WriteRootKey(CDnssecScene::World().AnchorText() + "\n");
    auto bridge = std::make_unique<CSubQueryBridge>();
    m_bridge = bridge.get();
    m_engine = std::make_unique<CDnsEngine>(std::move(bridge));
    m_engine->SetInjectorForTesting(m_injections.Fn());
  }

  // A process's query for name awaiting its answer, under local validation;
  // returns the request id and the upstream DNS id.
  uint64_t Pending(const std::string& name, uint16_t type, uint16_t& upstream, bool reject = false) {
    Bytes query = enginetest::Query(0x4242, name, type);
    uint32_t length = static_cast<uint32_t>(query.size());
    const SDnsMessageInfo info = InfoOf(query);
    query.resize(kInterceptBufferSize);
    CDnsEngine::dnsDataType data;
    data.server = testsupport::MakeServer(5, L"Validating", EDnsProtocol::DnsCrypt);
    data.clientAddress = Ipv4("10.0.0.2", 40000);
    data.serverAddress = Ipv4("10.0.0.1", 53);
    const uint64_t id = m_engine->Requests().Add(query.data(), length, kInterceptBufferSize, info, true, reject,
                                                 std::any(data));
    EXPECT_TRUE(m_engine->Requests().UpstreamId(id, upstream));
    return id;
  }
  // Starts the check of name's answer.
  void Check(const std::string& name, uint16_t type = LDNS_RR_TYPE_A, bool reject = false) {
    uint16_t upstream = 0;
    const uint64_t id = Pending(name, type, upstream, reject);
    EXPECT_TRUE(m_engine->OnUpstreamAnswer(CDnssecScene::World().Respond(name, type, upstream), id));
  }
  // Answers sub-queries until none is left (bounded); how many were answered.
  int AnswerAll() {
    int answered = 0;
    CSubQueryBridge::SSent sent;
    while (answered < 100 && m_bridge->Next(sent)) {
      m_engine->OnUpstreamAnswer(AnswerTo(sent.query), sent.requestId);
      ++answered;
    }
    return answered;
  }
  size_t Checks() {
    return m_engine->DnssecChecksForTesting();
  }

  CDnssecScene m_scene;
  testsupport::LogCapture m_log{LogVerbose};
  CInjections m_injections;
  CSubQueryBridge* m_bridge = nullptr;
  std::unique_ptr<CDnsEngine> m_engine;
};

TEST_F(DnssecEngine, APassedAnswerIsInjectedWithTheClientsIdAndARepeatComesFromTheCache) {
  Check("www.secure.test.");
  EXPECT_TRUE(m_injections.Items().empty());  // held back while the chain is followed
  // Six chain queries; the second fetches of both key sets come from the cache.
  EXPECT_EQ(AnswerAll(), 4);
  auto items = m_injections.Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(enginetest::IdOf(items[0].message), 0x4242);
  EXPECT_EQ(SockaddrToText(items[0].to), "10.0.0.2:40000");
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"www.secure.test - DNSSEC check passed"));
  EXPECT_EQ(Checks(), 0u);

  // The same chain again: every key and delegation is cached, but not the
  // refused DS query for test. (no records).
  Check("www.secure.test.");
  EXPECT_EQ(AnswerAll(), 1);
  EXPECT_EQ(m_injections.Items().size(), 2u);
}

TEST_F(DnssecEngine, VerdictsDecideInjection) {
  struct {
    const char* name;
    const char* qname;
    bool reject;
    bool injected;
    const wchar_t* line;
  } cases[] = {
      {"expired", "www.expired.test.", false, false, L"www.expired.test - DNSSEC check failed"},
      {"unsigned_passes", "www.insecure.test.", false, true,
       L"www.insecure.test - DNSSEC check failed (answer is not signed)"},
      {"unsigned_rejected", "www.insecure.test.", true, false,
       L"www.insecure.test - DNSSEC check failed (answer is not signed)"},
      {"nxdomain_denied", "nx.secure.test.", false, true, L"nx.secure.test - DNSSEC check passed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = m_injections.Items().size();
    Check(c.qname, LDNS_RR_TYPE_A, c.reject);
    AnswerAll();
    EXPECT_EQ(m_injections.Items().size() - before, c.injected ? 1u : 0u);
    const std::vector<std::wstring> lines = m_log.TakeTexts();
    EXPECT_TRUE(std::find(lines.begin(), lines.end(), c.line) != lines.end()) << ::testing::PrintToString(lines);
    EXPECT_EQ(Checks(), 0u);
  }
}

TEST_F(DnssecEngine, ACachedSubQueryGetsTheNewIdAndItsExchangeNeverSuspends) {
  Check("www.secure.test.");
  AnswerAll();
  const Bytes query = enginetest::Query(0xBEEF, "Secure.Test.", LDNS_RR_TYPE_DNSKEY);
  ldns_buffer* buffer = ldns_buffer_new(512);
  ldns_buffer_write(buffer, query.data(), query.size());
  dnssec::BytesPtr reply;
  size_t size = 0;
  auto exchange = dnssec::DnssecExchange(
      [&](uint8_t* q, uint32_t l, timeval t, uint32_t& s) {
        return m_engine->SendDnssecQuery(testsupport::MakeServer(5, L"V", EDnsProtocol::DnsCrypt), {}, q, l, t, s);
      },
      [&](uint32_t s, uint8_t** a, timeval t, uint32_t* l) { return m_engine->PollDnssecAnswer(s, a, t, l); },
      buffer, timeval{}, &reply, &size);
  dnssec::AdvanceAwaiter(exchange);
  EXPECT_TRUE(exchange.Done());
  ASSERT_TRUE(reply);
  EXPECT_EQ(enginetest::IdOf(Bytes(reply.get(), reply.get() + size)), 0xBEEF);
  EXPECT_EQ(AnswerAll(), 0);  // nothing went upstream
  ldns_buffer_free(buffer);
}

TEST_F(DnssecEngine, AnAnswerIsPolledOnce) {
  const Bytes answer = CDnssecScene::World().Respond("secure.test.", LDNS_RR_TYPE_DNSKEY, 9);
  m_engine->OnDnssecSubAnswer(77, answer, InfoOf(answer));
  for (bool expected : {true, false}) {
    uint8_t* out = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(m_engine->PollDnssecAnswer(77, &out, timeval{}, &length), expected);
    if (out) {
      EXPECT_EQ(Bytes(out, out + length), answer);
    }
    std::free(out);
  }
}

TEST_F(DnssecEngine, AnUnroutableSubQueryEndsTheCheckAtOnce) {
  {
    std::lock_guard lock(m_bridge->mutex);
    m_bridge->fail = true;
  }
  Check("www.secure.test.");
  EXPECT_EQ(Checks(), 0u);
  EXPECT_TRUE(m_injections.Items().empty());
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"www.secure.test - DNSSEC check failed"));
}

TEST_F(DnssecEngine, ACheckStillRunningAtItsDeadlineIsGivenUpAndOldSubAnswersGo) {
  const int64_t start = platform::TickSeconds();  // lifetimes run on the tick clock
  Check("www.secure.test.");
  ASSERT_EQ(Checks(), 1u);
  m_engine->OnDnssecSubAnswer(900, {0, 1, 2}, SDnsMessageInfo{});  // never polled
  m_engine->ExpireDnssecState(start + CDnsEngine::kDnssecCheckSeconds - 1);
  EXPECT_EQ(Checks(), 1u);
  m_engine->ExpireDnssecState(start + CDnsEngine::kDnssecCheckSeconds);
  EXPECT_EQ(Checks(), 0u);
  EXPECT_TRUE(Contains(m_log.TakeTexts(), L"www.secure.test - DNSSEC check failed (timeout)"));
  {
    EXPECT_TRUE(m_engine->DnssecStore().lock()->answers.empty());
  }
  // Its sub-query's late answer finds no check to resume.
  EXPECT_EQ(AnswerAll(), 1);
  EXPECT_TRUE(m_injections.Items().empty());
}

TEST_F(DnssecEngine, TheCacheHoldsForTheSmallestTtlAndWhenFullDropsTheFirstToExpire) {
  const Bytes keys = CDnssecScene::World().Respond("secure.test.", LDNS_RR_TYPE_DNSKEY, 9);  // TTL 3600
  m_engine->OnDnssecSubAnswer(1, keys, InfoOf(keys));
  const Bytes query = enginetest::Query(1, "secure.test.", LDNS_RR_TYPE_DNSKEY);
  EXPECT_TRUE(m_engine->LookupDnssecCache(LDNS_RR_TYPE_DNSKEY, "secure.test.", 2, query.data(), 12));
  m_scene.Clock().AdvanceMs(3600 * 1000);
  EXPECT_FALSE(m_engine->LookupDnssecCache(LDNS_RR_TYPE_DNSKEY, "secure.test.", 3, query.data(), 12));

  {
    auto store = m_engine->DnssecStore().lock();
    store->cache.clear();
    for (size_t i = 0; i < CDnsEngine::kDnssecCacheMax; ++i) {
      store->cache[{1, "n" + std::to_string(i) + "."}] = {keys, kNow + 100000 + (i == 5 ? -50000 : 0)};
    }
  }
  m_engine->OnDnssecSubAnswer(4, keys, InfoOf(keys));
  auto store = m_engine->DnssecStore().lock();
  EXPECT_EQ(store->cache.size(), CDnsEngine::kDnssecCacheMax);
  EXPECT_EQ(store->cache.count({1, "n5."}), 0u);
  EXPECT_EQ(store->cache.count({LDNS_RR_TYPE_DNSKEY, "secure.test."}), 1u);
}

TEST_F(DnssecEngine, SubAnswersFromTwoThreadsAdvanceTheChecksOneAtATime) {
  constexpr int kChecks = 6;
  for (int i = 0; i < kChecks; ++i) {
    Check(i % 2 ? "www.secure.test." : "nx.secure3.test.");
  }
  std::atomic<bool> stop{false};
  auto deliver = [&] {
    CSubQueryBridge::SSent sent;
    for (int spins = 0; !stop && spins < 200000; ++spins) {
      if (m_bridge->Next(sent)) m_engine->OnUpstreamAnswer(AnswerTo(sent.query), sent.requestId);
      else std::this_thread::yield();
    }
  };
  std::thread a(deliver), b(deliver);
  EXPECT_TRUE(m_injections.WaitFor(kChecks, 10000));
  stop = true;
  a.join();
  b.join();
  EXPECT_EQ(m_injections.Items().size(), static_cast<size_t>(kChecks));
  EXPECT_EQ(Checks(), 0u);
}

}  // namespace
