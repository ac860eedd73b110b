#include "PalvexDrv/callout_classify.h"

#include <gtest/gtest.h>

#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/engine_state.h"
#include "tests/PalvexDrv/filter_fixture.h"

namespace drvtest {
namespace {

using CalloutClassifyTest = FilterTest;

ksim::SPacket Connect(bool v6 = false, uint32_t pid = kClientPid) {
  ksim::SPacket p = FilterTest::At(v6 ? FWPS_LAYER_ALE_AUTH_CONNECT_V6 : FWPS_LAYER_ALE_AUTH_CONNECT_V4,
                                   v6 ? SEnds::V6() : SEnds{}, 0xC0, pid);
  p.protocol = 6;
  return p;
}

TEST_F(CalloutClassifyTest, WhileStoppedEverythingPassesAndNothingIsQueued) {
  Configure({});
  for (int round = 0; round < 2; ++round) {  // before the first start and after a stop
    SCOPED_TRACE(round);
    EXPECT_EQ(OpenFlow().action, FWP_ACTION_PERMIT);
    EXPECT_EQ(ksim::Classify(Connect()).action, FWP_ACTION_PERMIT);
    EXPECT_EQ(TvnFlowCount(), 0u);
    EXPECT_EQ(g_TvnEventListSize.load(), round == 0 ? 0u : 2u);  // started, stopped
    Start();
    ASSERT_EQ(Call(IOCTL_PALVEX_STOP).status, STATUS_SUCCESS);
  }
}

struct SConnectCase {
  const char* name;
  uint32_t block, pid, includeService;
  bool v6;
  FWP_ACTION_TYPE action;
  uint32_t verdict;  // 0: no event
};

class TcpConnect : public FilterTest, public ::testing::WithParamInterface<SConnectCase> {};

TEST_P(TcpConnect, IsReportedAndBlockedAsConfigured) {
  const SConnectCase& c = GetParam();
  StartWith([&](DriverConfig& config) {
    config.blockTcpPort53 = c.block;
    config.includeServiceTraffic = c.includeService;
  });
  Drain();
  ksim::SVerdict v = ksim::Classify(Connect(c.v6, c.pid));
  EXPECT_EQ(v.action, c.action);
  EXPECT_EQ((v.rights & FWPS_RIGHT_ACTION_WRITE) != 0, c.action == FWP_ACTION_PERMIT);
  std::vector<SEvent> events = DrainNonLog();
  if (c.verdict == 0) {
    EXPECT_TRUE(events.empty());
    return;
  }
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].header.eventType, EventTcpConnect);
  EXPECT_EQ(events[0].header.verdict, c.verdict);
  EXPECT_EQ(events[0].header.processId, c.pid);
  EXPECT_EQ(events[0].header.destinationAddress.family, c.v6 ? kRecordFamilyInet6 : kRecordFamilyInet);
  EXPECT_EQ(events[0].header.destinationAddress.port, 53 << 8);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpConnect,
    ::testing::Values(SConnectCase{"permitted", 0, kClientPid, 0, false, FWP_ACTION_PERMIT, 1},
                      SConnectCase{"blocked", 1, kClientPid, 0, false, FWP_ACTION_BLOCK, 2},
                      SConnectCase{"blocked_v6", 1, kClientPid, 0, true, FWP_ACTION_BLOCK, 2},
                      SConnectCase{"own_connect_untouched", 1, kServicePid, 0, false, FWP_ACTION_PERMIT, 0},
                      SConnectCase{"own_connect_included", 1, kServicePid, 1, false, FWP_ACTION_BLOCK, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CalloutClassifyTest, ABlockedConnectStaysBlockedWhenItCannotBeReported) {
  StartWith([](DriverConfig& c) { c.blockTcpPort53 = 1; });
  Drain();
  ksim::FailAllocation(kTvnTagEvent, 1);
  EXPECT_EQ(ksim::Classify(Connect()).action, FWP_ACTION_BLOCK);
}

TEST_F(CalloutClassifyTest, WithoutTheWriteRightNothingIsDecided) {
  StartWith([](DriverConfig& c) { c.blockTcpPort53 = 1; });
  Drain();
  ksim::SPacket p = Connect();
  p.writeRight = false;
  ksim::SVerdict v = ksim::Classify(p);
  EXPECT_EQ(v.action, FWP_ACTION_PERMIT);  // the platform's default: the callout left it open
  EXPECT_EQ(v.rights, 0u);
  EXPECT_EQ(g_TvnEventListSize.load(), 0u);
}

TEST_F(CalloutClassifyTest, AnAleLayerWithoutProcessIdPasses) {
  StartWith([](DriverConfig& c) { c.blockTcpPort53 = 1; });
  Drain();
  ksim::SPacket p = Connect();
  p.processId.reset();
  EXPECT_EQ(ksim::Classify(p).action, FWP_ACTION_PERMIT);
  std::vector<std::string> logs;
  EXPECT_TRUE(DrainNonLog(&logs).empty());
  EXPECT_EQ(logs, std::vector<std::string>{"38:FWPS_METADATA_FIELD_PROCESS_ID missing for layer"});
}

TEST_F(CalloutClassifyTest, AFullEventListStopsClassificationAndItsStaleTest) {
  StartWith({});  // staleEventSeconds 10
  while (g_TvnEventListSize.load() < kTvnClassifyEventLimit) AppendEvent(EventTcpConnect, 0);
  ksim::AdvanceInterruptTime(100ull * 10000000);  // every event is stale by now
  for (int i = 0; i < 15; ++i) EXPECT_EQ(ksim::Classify(Connect()).action, FWP_ACTION_PERMIT);
  EXPECT_TRUE(g_TvnStarted.load());
  EXPECT_EQ(g_TvnEventListSize.load(), kTvnLogEventLimit);
  std::vector<std::string> logs;
  EXPECT_EQ(DrainNonLog(&logs).size(), kTvnClassifyEventLimit - 1);  // "Tavrin started." was the first
  EXPECT_EQ(logs.size(), 11u);
  EXPECT_EQ(logs.back(), "392:TvnEventList is too big");
}

TEST_F(CalloutClassifyTest, AtTheFlowLimitTheLeastRecentlyActiveFlowMakesWayForTheNewOne) {
  StartWith({});
  for (uint64_t flow = 1; flow <= kTvnClassifyFlowLimit; ++flow) {
    OpenFlow({}, flow);
    if (flow % 500 == 0) Drain();
  }
  Drain();
  ASSERT_EQ(TvnFlowCount(), kTvnClassifyFlowLimit);
  // The oldest flow is active again, so the second oldest goes.
  EXPECT_EQ(ksim::Classify(Datagram({}, false, DnsMessage(), 1)).action, FWP_ACTION_BLOCK);
  Drain();
  OpenFlow({}, 5000);
  EXPECT_EQ(TvnFlowCount(), kTvnClassifyFlowLimit);
  EXPECT_EQ(ksim::Filtering().flowContexts, kTvnClassifyFlowLimit);
  EXPECT_TRUE(ksim::FlowContexts(2).empty());
  EXPECT_EQ(ksim::FlowContexts(1).size(), 1u);
  std::vector<std::string> logs;
  std::vector<SEvent> events = DrainNonLog(&logs);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].header.eventType, EventFlowDeleted);
  EXPECT_EQ(events[0].header.flowHandle, 2u);
  EXPECT_EQ(events[1].header.eventType, EventFlowEstablished);
  EXPECT_EQ(events[1].header.flowHandle, 5000u);
  EXPECT_EQ(logs, std::vector<std::string>{"398:g_TvnFlowListSize is too big"});
  // The new flow's query is diverted like any other.
  EXPECT_EQ(ksim::Classify(Datagram({}, false, DnsMessage(), 5000)).action, FWP_ACTION_BLOCK);
  EXPECT_EQ(DrainNonLog().size(), 1u);
}

TEST_F(CalloutClassifyTest, AStaleEventStopsTheEngineAndThePacketPasses) {
  StartWith([](DriverConfig& c) { c.blockTcpPort53 = 1; });  // staleEventSeconds 10; "Tavrin started." queued at 1000
  OpenFlow();
  ksim::AdvanceInterruptTime(10ull * 10000000);  // exactly 10 s: not yet older
  EXPECT_EQ(ksim::Classify(Connect()).action, FWP_ACTION_BLOCK);
  ksim::AdvanceInterruptTime(1);
  // From a datagram of a flow with a context: the stop removes that context
  // while its classification runs.
  EXPECT_EQ(Send(DnsMessage()).action, FWP_ACTION_PERMIT);
  EXPECT_FALSE(g_TvnStarted.load());
  EXPECT_EQ(TvnFlowCount(), 0u);
  EXPECT_EQ(ksim::Filtering().flowContexts, 0u);
  std::vector<SEvent> events = Drain();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().Text(), "Tavrin stopped.");
  EXPECT_EQ(events.back().header.typeBlock.log.status, 1u);
  EXPECT_EQ(ksim::Classify(Connect()).action, FWP_ACTION_PERMIT);
}

}  // namespace
}  // namespace drvtest
