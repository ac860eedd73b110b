#include "Quorvane/platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::atomic<bool> returned{false};
  bool result = true;
  std::thread thread;

  void Start(uint64_t timeoutMs) {
    thread = std::thread([this, timeoutMs] {
      std::unique_lock lock(mutex);
      result = platform::WaitFor(cv, lock, timeoutMs, [&] { return done; });
      returned = true;
    });
  }
};

class FakeClockWait : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetClockSourceForTesting(&m_clock); }
  void TearDown() override { platform::SetClockSourceForTesting(nullptr); }
  platform::FakeClock m_clock;
};

TEST(RealClockWait, TimesOutOrReturnsWhenDone) {
  std::mutex mutex;
  std::condition_variable cv;
  std::unique_lock lock(mutex);
  EXPECT_FALSE(platform::WaitFor(cv, lock, 1, [] { return false; }));
  EXPECT_TRUE(platform::WaitFor(cv, lock, 60'000, [] { return true; }));
  EXPECT_TRUE(lock.owns_lock());
}

TEST(RealClockWait, LongestTimeOutStillWaitsForTheNotify) {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::unique_lock lock(mutex);
  std::thread notifier([&] {  // gets the mutex only once the wait has released it
    std::lock_guard guard(mutex);
    done = true;
    cv.notify_all();
  });
  EXPECT_TRUE(platform::WaitFor(cv, lock, UINT64_MAX, [&] { return done; }));
  lock.unlock();
  notifier.join();
}

TEST_F(FakeClockWait, ReleasedAtTheDeadlineNotBefore) {
  Waiter w;
  w.Start(200);
  ASSERT_TRUE(m_clock.AwaitWaitsBegun(1, 10s));
  m_clock.AdvanceMs(199);
  EXPECT_FALSE(w.returned);  // not due: AdvanceMs did not wake it
  m_clock.AdvanceMs(1);
  w.thread.join();
  EXPECT_FALSE(w.result);
}

TEST_F(FakeClockWait, NotifyReleasesWithoutTimePassing) {
  Waiter w;
  uint64_t start = m_clock.TickMs();
  w.Start(200);
  ASSERT_TRUE(m_clock.AwaitWaitsBegun(1, 10s));
  {
    std::lock_guard lock(w.mutex);
    w.done = true;
  }
  w.cv.notify_all();
  w.thread.join();
  EXPECT_TRUE(w.result);
  EXPECT_EQ(m_clock.TickMs(), start);
}

TEST_F(FakeClockWait, OnlyDueWaitersAreReleased) {
  Waiter early, late;
  early.Start(100);
  late.Start(300);
  ASSERT_TRUE(m_clock.AwaitWaitsBegun(2, 10s));
  m_clock.AdvanceMs(150);
  early.thread.join();
  EXPECT_FALSE(late.returned);
  m_clock.AdvanceMs(150);
  late.thread.join();
}

}  // namespace
