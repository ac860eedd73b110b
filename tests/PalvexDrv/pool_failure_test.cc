// One scripted session, run once with every allocation succeeding and then
// once per allocation of each pool tag with just that allocation failing:
// whatever fails, unloading the driver leaves no block of any tag behind.
#include <gtest/gtest.h>

#include <chrono>

#include "PalvexDrv/create_tvn_event.h"
#include "PalvexDrv/device.h"
#include "PalvexDrv/event_queue.h"
#include "tests/support/driver_fixture.h"

namespace drvtest {
namespace {

void Read(ksim::CClient& client, uint32_t capacity) {
  if (g_TvnEventListSize.load() != 0) client.Call(IOCTL_PALVEX_GET_EVENT, {}, capacity);
}

void Session() {
  ksim::CClient client;
  ASSERT_EQ(client.Open(), 0u);
  client.Call(IOCTL_PALVEX_SET_CONFIG, ConfigBytes());
  client.Call(IOCTL_PALVEX_START);
  FWPS_INCOMING_VALUES values;
  values.layerId = FWPS_LAYER_DATAGRAM_DATA_V4;
  FWPS_INCOMING_METADATA_VALUES metadata;
  if (DriverEvent* event = CreateTvnEvent(EventUdpDatagram, &values, &metadata, nullptr, "query", 5))
    TvnEventListAppend(event);
  TvnLogEvent("a message", STATUS_SUCCESS, 0, false);
  Read(client, 304);  // too small: the event stays
  Read(client, kReadCapacity);
  client.Call(IOCTL_PALVEX_SET_CONFIG, ConfigBytes([](DriverConfig& c) { c.blockTcpPort53 = 1; }));
  client.Call(IOCTL_PALVEX_START);  // fails and reports it
  while (g_TvnEventListSize.load() != 0) client.Call(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  ksim::CRequest parked = client.Submit(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  TvnLogEvent("for the parked read", STATUS_SUCCESS, 0, false);
  parked.Wait(std::chrono::milliseconds(0));  // served at once unless the log event failed
  if (DriverEvent* event = TvnAllocateEvent(0)) {
    event->eventType = EventFlowDeleted;
    TvnEventListAppend(event);
  }
  client.Call(IOCTL_PALVEX_STOP);
  ksim::CRequest left = client.Submit(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  client.Close();  // with a read outstanding, maybe parked
}

class PoolFailure : public ::testing::TestWithParam<uint32_t> {};

TEST_P(PoolFailure, EveryFailedAllocationOfTheTagLeaksNothing) {
  const uint32_t tag = GetParam();
  ksim::ResetPool();
  ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
  Session();
  ksim::UnloadDriver();
  ASSERT_EQ(ksim::LivePoolBlocks(), 0u);
  const uint64_t allocations = ksim::PoolAllocations(tag);
  ASSERT_GT(allocations, 0u) << "the session never allocates this tag";
  for (unsigned nth = 1; nth <= allocations; ++nth) {
    SCOPED_TRACE(nth);
    ksim::ResetPool();
    ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
    ksim::FailAllocation(tag, nth);
    Session();
    ksim::UnloadDriver();
    EXPECT_EQ(ksim::LivePoolBlocks(tag), 0u);
    EXPECT_EQ(ksim::LivePoolBlocks(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(DriverTags, PoolFailure, ::testing::Values(kTvnTagEvent, kTvnTagConfig),
                         [](const auto& info) { return info.param == kTvnTagEvent ? "Evnt" : "Conf"; });

}  // namespace
}  // namespace drvtest
