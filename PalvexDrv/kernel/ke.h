// Spin locks and the interrupt-time clock. The driver takes its spin locks
// as in-stack queued locks for list operations only, never two at once.
#pragma once

#include <cstdint>
#include <mutex>

struct KSPIN_LOCK {
  std::mutex mutex;
};

struct KLOCK_QUEUE_HANDLE {
  KSPIN_LOCK* lock = nullptr;
};

void KeInitializeSpinLock(KSPIN_LOCK* lock);
void KeAcquireInStackQueuedSpinLock(KSPIN_LOCK* lock, KLOCK_QUEUE_HANDLE* handle);
void KeReleaseInStackQueuedSpinLock(KLOCK_QUEUE_HANDLE* handle);

// Time since boot without time spent asleep, in 100-ns units.
uint64_t KeQueryUnbiasedInterruptTime();
