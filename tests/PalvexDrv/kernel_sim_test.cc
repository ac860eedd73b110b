// The simulated facade refuses what a kernel would punish.
#include <gtest/gtest.h>

#include "PalvexDrv/kernel/fwp.h"
#include "PalvexDrv/kernel/ke.h"
#include "PalvexDrv/kernel/kernel_sim.h"
#include "PalvexDrv/kernel/pool.h"
#include "PalvexDrv/kernel/runtime_callouts.h"

namespace {

KSPIN_LOCK g_LockA, g_LockB;

void TakeTwoLocks() {
  KLOCK_QUEUE_HANDLE first, second;
  KeAcquireInStackQueuedSpinLock(&g_LockA, &first);
  KeAcquireInStackQueuedSpinLock(&g_LockB, &second);
}

void FreeWithAnotherTag() {
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Evnt"));
  ExFreePoolWithTag(block, PoolTag("Flow"));
}

TEST(KernelSimDeathTest, NestedSpinLocksEndTheTest) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(TakeTwoLocks(), "already held");
}

TEST(KernelSimDeathTest, ABlockFreedWithAnotherTagEndsTheTest) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(FreeWithAnotherTag(), "another tag");
}

TEST(KernelSim, TheNthAllocationOfATagFails) {
  const uint32_t tag = PoolTag("Test");
  ksim::FailAllocation(tag, 2);
  void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 1, tag);
  void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 1, tag);
  void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 1, tag);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(ksim::LivePoolBlocks(tag), 2u);
  ExFreePoolWithTag(first, tag);
  ExFreePoolWithTag(third, tag);
  EXPECT_EQ(ksim::LivePoolBlocks(tag), 0u);
}

TEST(KernelSim, ChosenCallsFailInTurnAndCanBeTakenBack) {
  // A handle that was never created: every call that does not fail refuses it.
  const char* function = "FwpsInjectionHandleDestroy0";
  HANDLE none = reinterpret_cast<HANDLE>(uintptr_t{0xBAD});
  ksim::FailNthCall(function, 2, STATUS_NO_MEMORY);
  ksim::FailNthCall(function, 4, STATUS_CANCELLED);
  std::vector<NTSTATUS> got;
  for (int i = 0; i < 5; ++i) got.push_back(FwpsInjectionHandleDestroy0(none));
  EXPECT_EQ(got, (std::vector<NTSTATUS>{STATUS_FWP_INVALID_PARAMETER, STATUS_NO_MEMORY, STATUS_FWP_INVALID_PARAMETER,
                                        STATUS_CANCELLED, STATUS_FWP_INVALID_PARAMETER}));
  // Counted from when it is chosen, not from the first call ever made.
  ksim::FailNextCall(function, STATUS_NO_MEMORY);
  EXPECT_EQ(FwpsInjectionHandleDestroy0(none), STATUS_NO_MEMORY);

  ksim::FailNthCall(function, 2, STATUS_NO_MEMORY);
  ksim::FailNthCall("FwpmEngineOpen0", 1, STATUS_NO_MEMORY);
  EXPECT_EQ(FwpsInjectionHandleDestroy0(none), STATUS_FWP_INVALID_PARAMETER);
  EXPECT_EQ(ksim::CancelFailures(function), 1u);
  EXPECT_EQ(FwpsInjectionHandleDestroy0(none), STATUS_FWP_INVALID_PARAMETER);
  EXPECT_EQ(ksim::CancelFailures(), 1u);  // the other function's
  EXPECT_EQ(ksim::CancelFailures(), 0u);
}

void Classify(const FWPS_INCOMING_VALUES*, const FWPS_INCOMING_METADATA_VALUES*, void*, const void*,
              const FWPS_FILTER1*, uint64_t, FWPS_CLASSIFY_OUT0*) {}
NTSTATUS Notify(FWPS_CALLOUT_NOTIFY_TYPE, const GUID*, FWPS_FILTER1*) { return STATUS_SUCCESS; }

TEST(RuntimeCallouts, OneIdPerKeyUntilUnregistered) {
  DEVICE_OBJECT* device = reinterpret_cast<DEVICE_OBJECT*>(uintptr_t{0x10});
  FWPS_CALLOUT1 a{}, b{};
  a.calloutKey = {1, 0, 0, {}};
  b.calloutKey = {2, 0, 0, {}};
  a.classifyFn = b.classifyFn = Classify;
  a.notifyFn = b.notifyFn = Notify;
  CRuntimeCallouts callouts;
  uint32_t idA = 0, idB = 0, again = 0;
  ASSERT_EQ(callouts.Register(device, a, &idA), STATUS_SUCCESS);
  ASSERT_EQ(callouts.Register(device, b, &idB), STATUS_SUCCESS);
  EXPECT_NE(idA, idB);
  EXPECT_EQ(callouts.Register(device, a, &again), STATUS_FWP_ALREADY_EXISTS);
  FWPS_CALLOUT1 noNotify = b;
  noNotify.calloutKey = {3, 0, 0, {}};
  noNotify.notifyFn = nullptr;
  EXPECT_EQ(callouts.Register(device, noNotify, &again), STATUS_FWP_INVALID_PARAMETER);
  EXPECT_EQ(callouts.Register(nullptr, noNotify, &again), STATUS_FWP_INVALID_PARAMETER);
  EXPECT_EQ(callouts.IdOf(b.calloutKey), idB);
  ASSERT_TRUE(callouts.Unregister(idA));
  EXPECT_FALSE(callouts.Unregister(idA));
  EXPECT_EQ(callouts.ById(idA), nullptr);
  EXPECT_EQ(callouts.IdOf(a.calloutKey), 0u);
  // A key registered again gets a new id: contexts of the old one are gone.
  ASSERT_EQ(callouts.Register(device, a, &again), STATUS_SUCCESS);
  EXPECT_NE(again, idA);
}

}  // namespace
