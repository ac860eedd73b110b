// The simulated facade refuses what a kernel would punish.
#include <gtest/gtest.h>

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

}  // namespace
