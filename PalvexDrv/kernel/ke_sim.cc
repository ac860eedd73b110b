// Spin locks and the interrupt clock of the simulated backend. A thread
// that takes a second spin lock while holding one ends the test: the
// driver's locks are never nested.
#include <atomic>

#include "PalvexDrv/kernel/ke.h"
#include "PalvexDrv/kernel/kernel_sim.h"

namespace {

thread_local KSPIN_LOCK* t_heldLock = nullptr;
std::atomic<uint64_t> g_InterruptTime{0};  // written by tests only

}  // namespace

void KeInitializeSpinLock(KSPIN_LOCK*) {}

void KeAcquireInStackQueuedSpinLock(KSPIN_LOCK* lock, KLOCK_QUEUE_HANDLE* handle) {
  if (t_heldLock) ksim::Fatal("KeAcquireInStackQueuedSpinLock: a spin lock is already held by this thread");
  lock->mutex.lock();
  t_heldLock = lock;
  handle->lock = lock;
}

void KeReleaseInStackQueuedSpinLock(KLOCK_QUEUE_HANDLE* handle) {
  if (!handle->lock || t_heldLock != handle->lock)
    ksim::Fatal("KeReleaseInStackQueuedSpinLock: lock not held by this thread");
  t_heldLock = nullptr;
  KSPIN_LOCK* lock = handle->lock;
  handle->lock = nullptr;
  lock->mutex.unlock();
}

uint64_t KeQueryUnbiasedInterruptTime() { return g_InterruptTime.load(); }

namespace ksim {

void SetInterruptTime(uint64_t time) { g_InterruptTime.store(time); }
void AdvanceInterruptTime(uint64_t delta) { g_InterruptTime.fetch_add(delta); }

}  // namespace ksim
