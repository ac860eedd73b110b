// The coroutine road: how chains suspend and resume, the exchange's send and
// poll, and a chain destroyed half way.
#include <gtest/gtest.h>

#include "Quorvane/engine/dnssec/dnssec_chain.h"
#include "tests/engine/dnssec/dnssec_fixture.h"

namespace {

using namespace dnssectest;
using dnssec::ldns_awaiter;

// Four levels: each records when it starts and ends; the innermost waits for
// the gate once.
struct SOrder {
  std::vector<std::string> events;
  bool gateOpen = false;
};

ldns_awaiter<int> Level(SOrder& order, int depth) {
  order.events.push_back("start " + std::to_string(depth));
  int result = depth;
  if (depth == 4) {
    while (!order.gateOpen) co_await std::suspend_always{};
  } else {
    result += co_await Level(order, depth + 1);
  }
  order.events.push_back("end " + std::to_string(depth));
  co_return result;
}

TEST(Awaiter, AChainFourDeepResumesInnermostFirstAndEachFinishLetsItsParentGoOn) {
  SOrder order;
  ldns_awaiter<int> top = Level(order, 1);
  EXPECT_TRUE(order.events.empty());  // created suspended
  dnssec::AdvanceAwaiter(top);
  EXPECT_EQ(order.events, (std::vector<std::string>{"start 1", "start 2", "start 3", "start 4"}));
  dnssec::AdvanceAwaiter(top);  // the gate is shut: only the innermost ran again
  EXPECT_FALSE(top.Done());
  EXPECT_EQ(order.events.size(), 4u);
  order.gateOpen = true;
  dnssec::AdvanceAwaiter(top);
  ASSERT_TRUE(top.Done());
  EXPECT_EQ(top.Result(), 1 + 2 + 3 + 4);
  EXPECT_EQ(order.events, (std::vector<std::string>{"start 1", "start 2", "start 3", "start 4", "end 4", "end 3",
                                                    "end 2", "end 1"}));
  EXPECT_FALSE(top.Promise().child);  // a finished child is destroyed and unlinked
}

ldns_awaiter<int> Finishes(int value) { co_return value; }
ldns_awaiter<int> AwaitsTwoThatFinish() {
  int sum = co_await Finishes(2);
  sum += co_await Finishes(3);
  co_return sum;
}

TEST(Awaiter, ChildrenThatFinishAtOnceNeverSuspendTheParent) {
  ldns_awaiter<int> top = AwaitsTwoThatFinish();
  dnssec::AdvanceAwaiter(top);
  ASSERT_TRUE(top.Done());
  EXPECT_EQ(top.Result(), 5);
}

ldns_awaiter<ldns_enum_status> SendThroughExchange(dnssec::SDnssecResolver& resolver, ldns_buffer* query,
                                                   dnssec::PktPtr* answer) {
  co_return co_await dnssec::ldns_send_buffer_async(answer, resolver, query, nullptr);
}

TEST(Exchange, AFailedSendEndsTheExchangeAndTheSendWithNoNameserver) {
  dnssec::DnssecResolverPtr resolver = dnssec::NewDnssecResolver();
  ASSERT_TRUE(resolver);
  int polls = 0;
  dnssec::SetupDnssecResolver([](uint8_t*, uint32_t, timeval, uint32_t&) { return false; },
                              [&](uint32_t, uint8_t**, timeval, uint32_t*) { return ++polls, false; }, *resolver,
                              dnssec::DnssecExchange);
  dnssec::BufferPtr query(ldns_buffer_new(512));
  ldns_buffer_write_u16(query.get(), 0x1234);
  dnssec::PktPtr answer;
  auto send = SendThroughExchange(*resolver, query.get(), &answer);
  dnssec::AdvanceAwaiter(send);
  ASSERT_TRUE(send.Done());
  EXPECT_EQ(send.Result(), LDNS_STATUS_RES_NO_NS);
  EXPECT_EQ(polls, 0);
  EXPECT_FALSE(answer);
}

TEST(Exchange, PollsAtOnceAndOnEveryResumptionUntilTheAnswerIsThere) {
  CDnssecScene scene;
  CFakeUpstream upstream(CDnssecScene::World());
  upstream.hold = true;
  dnssec::DnssecResolverPtr resolver = dnssec::NewDnssecResolver();
  dnssec::SetupDnssecResolver(upstream.Send(), upstream.Poll(), *resolver, dnssec::DnssecExchange);
  dnssec::RdfPtr name(Name("secure.test."));
  dnssec::PktPtr answer;
  auto query = dnssec::ldns_resolver_query_async(&answer, *resolver, name.get(), LDNS_RR_TYPE_DNSKEY,
                                                 LDNS_RR_CLASS_IN, LDNS_RD);
  dnssec::AdvanceAwaiter(query);
  EXPECT_EQ(upstream.polls, 1);
  dnssec::AdvanceAwaiter(query);
  EXPECT_EQ(upstream.polls, 2);
  EXPECT_FALSE(query.Done());
  upstream.Release();
  dnssec::AdvanceAwaiter(query);
  ASSERT_TRUE(query.Done());
  EXPECT_EQ(query.Result(), LDNS_STATUS_OK);
  ASSERT_TRUE(answer);
  EXPECT_EQ(ldns_pkt_ancount(answer.get()), 2u);  // the key and its signature
  EXPECT_EQ(upstream.asked, std::vector<std::string>{"secure.test. 48"});
}

TEST(Exchange, ASubAnswerWithARecordMissingItsFieldsIsRefused) {
  dnssec::DnssecResolverPtr resolver = dnssec::NewDnssecResolver();
  // secure.test.'s keys and a signature without rdata.
  Bytes answer = CDnssecScene::World().Respond("secure.test.", LDNS_RR_TYPE_DNSKEY, 1);
  answer[7] = static_cast<uint8_t>(answer[7] + 1);
  const Bytes empty = {0xC0, 0x0C, 0x00, 0x2E, 0x00, 0x01, 0, 0, 1, 0x2C, 0x00, 0x00};
  answer.insert(answer.end(), empty.begin(), empty.end());
  dnssec::SetupDnssecResolver(
      [](uint8_t*, uint32_t, timeval, uint32_t& sequence) { return sequence = 1, true; },
      [&](uint32_t, uint8_t** out, timeval, uint32_t* length) {
        *out = static_cast<uint8_t*>(std::malloc(answer.size()));
        std::memcpy(*out, answer.data(), answer.size());
        *length = static_cast<uint32_t>(answer.size());
        return true;
      },
      *resolver, dnssec::DnssecExchange);
  dnssec::RdfPtr name(Name("secure.test."));
  dnssec::PktPtr got;
  auto query =
      dnssec::ldns_resolver_query_async(&got, *resolver, name.get(), LDNS_RR_TYPE_DNSKEY, LDNS_RR_CLASS_IN, LDNS_RD);
  dnssec::AdvanceAwaiter(query);
  ASSERT_TRUE(query.Done());
  EXPECT_EQ(query.Result(), LDNS_STATUS_WIRE_RDATA_ERR);
  EXPECT_FALSE(got);
}

TEST(Exchange, WithoutAnExchangeFunctionLdnsOwnSendRuns) {
  // No nameserver: ldns's own road refuses before any socket.
  dnssec::DnssecResolverPtr resolver = dnssec::NewDnssecResolver();
  dnssec::BufferPtr query(ldns_buffer_new(512));
  dnssec::PktPtr answer;
  auto send = SendThroughExchange(*resolver, query.get(), &answer);
  dnssec::AdvanceAwaiter(send);
  ASSERT_TRUE(send.Done());
  EXPECT_EQ(send.Result(), LDNS_STATUS_RES_NO_NS);
}

TEST(Chain, ACheckDestroyedMidChainFreesEverything) {
  // Run under the address sanitizer: a leak or double free of a half-built
  // chain fails there.
  CDnssecScene scene;
  scene.WriteRootKey(CDnssecScene::World().AnchorText() + "\n");
  for (size_t stopAfter : {1u, 2u, 4u, 6u}) {
    SCOPED_TRACE(stopAfter);
    CFakeUpstream upstream(CDnssecScene::World());
    upstream.hold = true;
    {
      auto check = dnssec::DnssecCheckTask(CDnssecScene::World().Respond("nx.secure.test.", LDNS_RR_TYPE_A, 1),
                                           upstream.Send(), upstream.Poll());
      for (size_t i = 0; i < stopAfter; ++i) {
        dnssec::AdvanceAwaiter(check);
        upstream.Release();
      }
      EXPECT_FALSE(check.Done());
    }
    EXPECT_EQ(upstream.asked.size(), stopAfter);
  }
}

}  // namespace
