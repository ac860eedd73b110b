// The simulated facade refuses what a kernel would punish.
#include <gtest/gtest.h>

#include "PalvexDrv/kernel/fwp.h"
#include "PalvexDrv/kernel/ke.h"
#include "PalvexDrv/kernel/kernel_sim.h"
#include "PalvexDrv/kernel/pool.h"

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

}  // namespace
