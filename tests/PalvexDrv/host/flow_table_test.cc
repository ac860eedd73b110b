#include "PalvexDrv/host/flow_table.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

namespace {

constexpr uint64_t kIdle = uint64_t(kFlowIdleTimeout.count());

SFlowKey Key(uint16_t localPort) {
  SFlowKey key;
  key.family = AF_INET;
  key.protocol = IPPROTO_UDP;
  key.localAddress = {10, 53, 0, 2};
  key.remoteAddress = {10, 53, 0, 1};
  key.localPort = localPort;
  key.remotePort = 53;
  return key;
}

const auto kNoneGone = [](const SFlowEntry&) { return false; };

TEST(FlowTable, FirstPacketOfATupleIsANewFlowThenTheSameFlow) {
  CFlowTable table;
  auto first = table.BeginClassify(Key(4000), 0);
  table.EndClassify(first.flowHandle);
  auto again = table.BeginClassify(Key(4000), 5);
  table.EndClassify(again.flowHandle);
  auto other = table.BeginClassify(Key(4001), 5);
  EXPECT_TRUE(first.isNew);
  EXPECT_FALSE(again.isNew);
  EXPECT_EQ(again.flowHandle, first.flowHandle);
  EXPECT_TRUE(other.isNew);
  EXPECT_NE(other.flowHandle, first.flowHandle);
}

TEST(FlowTable, EndsAfterTheIdleTimeoutCountedFromTheLastPacket) {
  CFlowTable table;
  auto flow = table.BeginClassify(Key(4000), 0);
  table.EndClassify(flow.flowHandle);
  table.EndClassify(table.BeginClassify(Key(4000), 10).flowHandle);  // seen again at 10
  EXPECT_TRUE(table.Sweep(10 + kIdle - 1, kNoneGone).empty());
  auto ended = table.Sweep(10 + kIdle, kNoneGone);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].flowHandle, flow.flowHandle);
  EXPECT_EQ(table.Size(), 0u);
  // The tuple's next packet starts a new flow.
  EXPECT_TRUE(table.BeginClassify(Key(4000), 10 + kIdle).isNew);
}

TEST(FlowTable, EndsWhenItsSocketIsGoneAndKeepsItsContextForTheDelete) {
  CFlowTable table;
  auto kept = table.BeginClassify(Key(4000), 0);
  auto gone = table.BeginClassify(Key(4001), 0);
  table.EndClassify(kept.flowHandle);
  table.EndClassify(gone.flowHandle);
  ASSERT_TRUE(table.AssociateContext(gone.flowHandle, 24, 7, 0xC0FFEE));
  EXPECT_FALSE(table.AssociateContext(gone.flowHandle, 24, 7, 1));  // one context per flow
  auto ended = table.Sweep(1, [&](const SFlowEntry& entry) { return entry.flowHandle == gone.flowHandle; });
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].context, 0xC0FFEEu);
  EXPECT_EQ(ended[0].layerId, 24u);
  EXPECT_TRUE(table.Find(kept.flowHandle).has_value());
}

TEST(FlowTable, AnEndFoundDuringAClassificationWaitsForItToReturn) {
  CFlowTable table;
  auto flow = table.BeginClassify(Key(4000), 0);
  EXPECT_TRUE(table.Sweep(kIdle, kNoneGone).empty());
  EXPECT_TRUE(table.Find(flow.flowHandle).has_value());
  EXPECT_FALSE(table.AssociateContext(flow.flowHandle, 24, 7, 1));  // ending: no new context
  auto ended = table.EndClassify(flow.flowHandle);
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->flowHandle, flow.flowHandle);
  EXPECT_FALSE(table.Find(flow.flowHandle).has_value());
}

TEST(FlowTable, NestedClassificationsDeleteOnlyAfterTheLast) {
  CFlowTable table;
  auto flow = table.BeginClassify(Key(4000), 0);
  table.BeginClassify(Key(4000), 0);
  table.Sweep(0, [](const SFlowEntry&) { return true; });
  EXPECT_FALSE(table.EndClassify(flow.flowHandle).has_value());
  EXPECT_TRUE(table.EndClassify(flow.flowHandle).has_value());
}

TEST(FlowTable, AFlowWithoutContextStaysUntilItEnds) {
  CFlowTable table;
  auto flow = table.BeginClassify(Key(4000), 0);
  table.EndClassify(flow.flowHandle);
  EXPECT_FALSE(table.RemoveContext(flow.flowHandle).has_value());
  EXPECT_FALSE(table.BeginClassify(Key(4000), 1).isNew);
  table.EndClassify(flow.flowHandle);
  auto ended = table.Sweep(1 + kIdle, kNoneGone);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_FALSE(ended[0].context.has_value());
}

}  // namespace
