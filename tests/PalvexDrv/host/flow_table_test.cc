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
  ASSERT_TRUE(table.AssociateContext(gone.flowHandle, {0xC0FFEE, 24, 7}));
  EXPECT_FALSE(table.AssociateContext(gone.flowHandle, {1, 24, 7}));  // one context per flow
  auto ended = table.Sweep(1, [&](const SFlowEntry& entry) { return entry.flowHandle == gone.flowHandle; });
  ASSERT_EQ(ended.size(), 1u);
  ASSERT_TRUE(ended[0].context.has_value());
  EXPECT_EQ(ended[0].context->context, 0xC0FFEEu);
  EXPECT_EQ(ended[0].context->layerId, 24u);
  EXPECT_TRUE(table.Find(kept.flowHandle).has_value());
}

TEST(FlowTable, AnEndFoundDuringAClassificationWaitsForItToReturn) {
  CFlowTable table;
  auto flow = table.BeginClassify(Key(4000), 0);
  EXPECT_TRUE(table.Sweep(kIdle, kNoneGone).empty());
  EXPECT_TRUE(table.Find(flow.flowHandle).has_value());
  EXPECT_FALSE(table.AssociateContext(flow.flowHandle, {1, 24, 7}));  // ending: no new context
  auto ended = table.EndClassify(flow.flowHandle).ended;
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->flowHandle, flow.flowHandle);
  EXPECT_FALSE(table.Find(flow.flowHandle).has_value());
}

TEST(FlowTable, NestedClassificationsDeleteOnlyAfterTheLast) {
  CFlowTable table;
  auto flow = table.BeginClassify(Key(4000), 0);
  table.BeginClassify(Key(4000), 0);
  table.Sweep(0, [](const SFlowEntry&) { return true; });
  EXPECT_FALSE(table.EndClassify(flow.flowHandle).ended.has_value());
  EXPECT_TRUE(table.EndClassify(flow.flowHandle).ended.has_value());
}

TEST(FlowTable, AFlowWithoutContextStaysUntilItEnds) {
  CFlowTable table;
  auto flow = table.BeginClassify(Key(4000), 0);
  table.EndClassify(flow.flowHandle);
  std::optional<SFlowContext> removed;
  EXPECT_EQ(table.RemoveContext(flow.flowHandle, &removed), CFlowTable::ERemoved::None);
  EXPECT_FALSE(table.BeginClassify(Key(4000), 1).isNew);
  table.EndClassify(flow.flowHandle);
  auto ended = table.Sweep(1 + kIdle, kNoneGone);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_FALSE(ended[0].context.has_value());
}

TEST(FlowTable, ARemovedContextEndsItsFlowAndDuringAClassificationWhenItReturns) {
  CFlowTable table;
  auto flow = table.BeginClassify(Key(4000), 0);
  ASSERT_TRUE(table.AssociateContext(flow.flowHandle, {0xAB, 24, 7}));
  std::optional<SFlowContext> removed;
  EXPECT_EQ(table.RemoveContext(flow.flowHandle, &removed), CFlowTable::ERemoved::AfterClassify);
  EXPECT_FALSE(removed.has_value());
  EXPECT_EQ(table.RemoveContext(flow.flowHandle, &removed), CFlowTable::ERemoved::None);  // once only
  auto due = table.EndClassify(flow.flowHandle);
  ASSERT_TRUE(due.removed.has_value());
  EXPECT_EQ(due.removed->context, 0xABu);
  ASSERT_TRUE(due.ended.has_value());  // the flow ends with it
  EXPECT_FALSE(due.ended->context.has_value());
  EXPECT_FALSE(table.Find(flow.flowHandle).has_value());
  // Outside a classification the delete is the caller's at once, and the
  // tuple's next packet is a new flow.
  auto next = table.BeginClassify(Key(4000), 1);
  EXPECT_TRUE(next.isNew);
  table.EndClassify(next.flowHandle);
  ASSERT_TRUE(table.AssociateContext(next.flowHandle, {0xCD, 24, 7}));
  EXPECT_EQ(table.RemoveContext(next.flowHandle, &removed), CFlowTable::ERemoved::Now);
  EXPECT_EQ(removed->context, 0xCDu);
  EXPECT_FALSE(table.FindByKey(Key(4000)).has_value());
  EXPECT_EQ(table.Size(), 0u);
}

TEST(FlowTable, RemovingACalloutsContextsSparesOtherCalloutsAndDefersRunningOnes) {
  CFlowTable table;
  auto idle = table.BeginClassify(Key(4000), 0);
  table.EndClassify(idle.flowHandle);
  auto other = table.BeginClassify(Key(4001), 0);
  table.EndClassify(other.flowHandle);
  auto running = table.BeginClassify(Key(4002), 0);
  table.AssociateContext(idle.flowHandle, {1, 24, 7});
  table.AssociateContext(other.flowHandle, {2, 26, 8});
  table.AssociateContext(running.flowHandle, {3, 24, 7});
  auto removed = table.RemoveContextsOf(7);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].context, 1u);
  EXPECT_TRUE(table.Find(other.flowHandle)->context.has_value());
  EXPECT_EQ(table.EndClassify(running.flowHandle).removed->context, 3u);
}

TEST(FlowTable, AtTheLimitANewFlowEndsTheLeastRecentlyActiveOneNotUnderClassification) {
  CFlowTable table(3);
  auto a = table.BeginClassify(Key(4000), 1);
  table.EndClassify(a.flowHandle);
  auto b = table.BeginClassify(Key(4001), 2);  // stays under classification
  auto c = table.BeginClassify(Key(4002), 3);
  table.EndClassify(c.flowHandle);
  ASSERT_TRUE(table.AssociateContext(c.flowHandle, {0xCC, 24, 7}));
  table.EndClassify(table.BeginClassify(Key(4000), 4).flowHandle);  // a is active again
  auto d = table.BeginClassify(Key(4003), 5);
  EXPECT_TRUE(d.isNew);
  ASSERT_TRUE(d.evicted.has_value());
  EXPECT_EQ(d.evicted->flowHandle, c.flowHandle);
  ASSERT_TRUE(d.evicted->context.has_value());  // its delete is the caller's
  EXPECT_EQ(d.evicted->context->context, 0xCCu);
  EXPECT_EQ(table.Size(), 3u);
  EXPECT_EQ(table.Evicted(), 1u);
  EXPECT_FALSE(table.FindByKey(Key(4002)).has_value());
  table.EndClassify(d.flowHandle);
  // Only b is left under classification; a is the least recent of the rest.
  auto e = table.BeginClassify(Key(4004), 6);
  ASSERT_TRUE(e.evicted.has_value());
  EXPECT_EQ(e.evicted->flowHandle, a.flowHandle);
  EXPECT_TRUE(table.Find(b.flowHandle).has_value());
}

TEST(FlowTable, ALookupThatMayNotAddLeavesAnUnknownTupleOut) {
  CFlowTable table;
  auto none = table.BeginClassify(Key(4000), 0, false);
  EXPECT_EQ(none.flowHandle, 0u);
  EXPECT_FALSE(none.isNew);
  EXPECT_EQ(table.Size(), 0u);
  auto flow = table.BeginClassify(Key(4000), 0);
  table.EndClassify(flow.flowHandle);
  auto known = table.BeginClassify(Key(4000), 1, false);
  EXPECT_EQ(known.flowHandle, flow.flowHandle);
  table.EndClassify(known.flowHandle);
  EXPECT_EQ(table.Find(flow.flowHandle)->lastSeen, 1u);
}

}  // namespace
