// Spin locks and the interrupt clock of the host: mutexes, and the
// monotonic clock (which, like unbiased interrupt time, stops while the
// machine sleeps).
#include <time.h>

#include "PalvexDrv/kernel/ke.h"

void KeInitializeSpinLock(KSPIN_LOCK*) {}

void KeAcquireInStackQueuedSpinLock(KSPIN_LOCK* lock, KLOCK_QUEUE_HANDLE* handle) {
  lock->mutex.lock();
  handle->lock = lock;
}

void KeReleaseInStackQueuedSpinLock(KLOCK_QUEUE_HANDLE* handle) {
  KSPIN_LOCK* lock = handle->lock;
  handle->lock = nullptr;
  lock->mutex.unlock();
}

uint64_t KeQueryUnbiasedInterruptTime() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 10000000u + uint64_t(now.tv_nsec) / 100u;
}
