// Waits here are for events (a callback that ran), each bounded; a timer
// that must not fire is checked against a later timer that did.
#include "Quorvane/platform/thread_pool_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using platform::CThreadPoolTimer;
using namespace std::chrono_literals;

// Counts callbacks and lets a test wait for a count, or hold callbacks back.
struct SProbe {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  bool hold = false;

  static void Callback(void* context) {
    auto* p = static_cast<SProbe*>(context);
    std::unique_lock lock(p->mutex);
    ++p->count;
    p->changed.notify_all();
    p->changed.wait(lock, [p] { return !p->hold; });
  }
  bool WaitFor(int n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return count >= n; });
  }
  int Count() {
    std::lock_guard lock(mutex);
    return count;
  }
  void Release() {
    std::lock_guard lock(mutex);
    hold = false;
    changed.notify_all();
  }
};

// Lets a later one-shot timer fire, so that time has certainly passed.
void LetTimePass(int64_t ms) {
  SProbe later;
  CThreadPoolTimer* t = CThreadPoolTimer::Create(&SProbe::Callback, &later);
  t->Set(ms, 0, 0);
  EXPECT_TRUE(later.WaitFor(1));
  t->Close();
}

TEST(ThreadPoolTimer, OneShotFiresOnce) {
  SProbe probe;
  CThreadPoolTimer* t = CThreadPoolTimer::Create(&SProbe::Callback, &probe);
  ASSERT_NE(t, nullptr);
  t->Set(1, 0, 0);
  ASSERT_TRUE(probe.WaitFor(1));
  t->WaitForCallbacks(false);
  LetTimePass(20);
  EXPECT_EQ(probe.Count(), 1);
  t->Close();
}

TEST(ThreadPoolTimer, PeriodicFiresUntilStopped) {
  SProbe probe;
  CThreadPoolTimer* t = CThreadPoolTimer::Create(&SProbe::Callback, &probe);
  t->Set(0, 2, 0);
  ASSERT_TRUE(probe.WaitFor(3));
  t->Stop();
  t->WaitForCallbacks(true);
  int stopped = probe.Count();
  LetTimePass(20);  // ten periods
  EXPECT_EQ(probe.Count(), stopped);
  // Set arms it again.
  t->Set(0, 0, 0);
  ASSERT_TRUE(probe.WaitFor(stopped + 1));
  t->Close();
}

TEST(ThreadPoolTimer, CancellingWaitDropsQueuedCallbacks) {
  // Every callback thread is held by a callback of its own timer.
  SProbe blockers[CThreadPoolTimer::kCallbackThreads];
  CThreadPoolTimer* held[CThreadPoolTimer::kCallbackThreads];
  for (int i = 0; i < CThreadPoolTimer::kCallbackThreads; ++i) {
    blockers[i].hold = true;
    held[i] = CThreadPoolTimer::Create(&SProbe::Callback, &blockers[i]);
    held[i]->Set(0, 0, 0);
  }
  for (auto& b : blockers) ASSERT_TRUE(b.WaitFor(1));

  SProbe queued;
  CThreadPoolTimer* t = CThreadPoolTimer::Create(&SProbe::Callback, &queued);
  t->Set(0, 0, 0);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (t->QueuedCallbacks() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(t->QueuedCallbacks(), 1);
  t->WaitForCallbacks(true);  // returns although no thread is free
  EXPECT_EQ(t->QueuedCallbacks(), 0);

  for (int i = 0; i < CThreadPoolTimer::kCallbackThreads; ++i) {
    blockers[i].Release();
    held[i]->WaitForCallbacks(false);
    held[i]->Close();
  }
  LetTimePass(5);
  EXPECT_EQ(queued.Count(), 0);
  t->Close();
}

TEST(ThreadPoolTimer, CloseWaitsForARunningCallback) {
  SProbe probe;
  probe.hold = true;
  CThreadPoolTimer* t = CThreadPoolTimer::Create(&SProbe::Callback, &probe);
  t->Set(0, 0, 0);
  ASSERT_TRUE(probe.WaitFor(1));
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    t->Close();
    closed = true;
  });
  EXPECT_FALSE(closed);
  probe.Release();
  closer.join();
  EXPECT_TRUE(closed);
}

TEST(ThreadPoolTimer, RecordsWindowAndCanFailCreation) {
  SProbe probe;
  CThreadPoolTimer::FailNextCreateForTesting();
  EXPECT_EQ(CThreadPoolTimer::Create(&SProbe::Callback, &probe), nullptr);
  CThreadPoolTimer* t = CThreadPoolTimer::Create(&SProbe::Callback, &probe);
  ASSERT_NE(t, nullptr);
  t->Set(100000, 25, 2);
  EXPECT_EQ(t->WindowMs(), 2);
  t->Close();
}

}  // namespace
