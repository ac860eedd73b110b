#include "Quorvane/foundation/safe_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "Quorvane/foundation/fatal_error.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> g_fatalReports{0};
void CountFatal(const std::wstring&, bool) { ++g_fatalReports; }

class SafeTimer : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fatalReports = 0;
    SetFatalErrorHook(&CountFatal);
  }
  void TearDown() override {
    SetFatalErrorHook(nullptr);
    EXPECT_EQ(g_fatalReports, 0);
  }
};

// A callback that re-arms its own timer every time it runs.
struct SRearm {
  std::shared_ptr<CSafeTimer> timer;
  std::mutex mutex;
  std::condition_variable changed;
  int runs = 0;
  int refused = 0;  // Starts that returned false

  static void Callback(void* context) {
    auto* r = static_cast<SRearm*>(context);
    bool started = r->timer->Start();
    std::lock_guard lock(r->mutex);
    ++r->runs;
    r->refused += !started;
    r->changed.notify_all();
  }
  bool WaitFor(int n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return runs >= n; });
  }
  int Runs() {
    std::lock_guard lock(mutex);
    return runs;
  }
};

TEST_F(SafeTimer, ReArmingCallbackClosesCleanly) {
  SRearm r;
  r.timer = CSafeTimer::Create(0, 0, &SRearm::Callback, &r);
  ASSERT_TRUE(r.timer->Start());
  ASSERT_TRUE(r.WaitFor(5));
  EXPECT_TRUE(r.timer->CloseTimer());
  EXPECT_FALSE(r.timer->IsArmed());
  const int runs = r.Runs();
  // Another timer firing later shows that nothing ran since the close.
  std::atomic<bool> fired{false};
  auto probe = CSafeTimer::Create(20, 0, [](void* f) { static_cast<std::atomic<bool>*>(f)->store(true); }, &fired);
  ASSERT_TRUE(probe->Start());
  for (auto end = std::chrono::steady_clock::now() + 10s; !fired && std::chrono::steady_clock::now() < end;) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(fired);
  EXPECT_EQ(r.Runs(), runs);
  EXPECT_FALSE(r.timer->Start());
  EXPECT_TRUE(r.timer->CloseTimer());  // a second close is harmless
}

TEST_F(SafeTimer, StartRacingCloseNeverLeavesItArmed) {
  for (int round = 0; round < 200; ++round) {
    auto timer = CSafeTimer::Create(0, 1, nullptr, nullptr);
    std::atomic<bool> go{false};
    std::thread starter([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 50; ++i) timer->Start();
    });
    go = true;
    EXPECT_TRUE(timer->CloseTimer());
    starter.join();
    EXPECT_FALSE(timer->IsArmed());
    EXPECT_FALSE(timer->Start());
  }
}

TEST_F(SafeTimer, FailedCreationRefusesToStart) {
  platform::CThreadPoolTimer::FailNextCreateForTesting();
  auto timer = CSafeTimer::Create(10, 0, nullptr, nullptr);
  EXPECT_EQ(timer->Timer(), nullptr);
  EXPECT_FALSE(timer->Start());
  EXPECT_TRUE(timer->CloseTimer());
}

TEST_F(SafeTimer, WindowIsATenthOfThePeriod) {
  auto timer = CSafeTimer::Create(100000, 25, nullptr, nullptr);
  ASSERT_TRUE(timer->Start());
  EXPECT_TRUE(timer->IsArmed());
  EXPECT_EQ(timer->Timer()->WindowMs(), 2);
  timer->m_period = 0;  // the owner changes it before a new Start
  ASSERT_TRUE(timer->Start());
  EXPECT_EQ(timer->Timer()->WindowMs(), 0);
}

TEST(FatalError, HookReceivesTheTextAndDefaultExitsWithOne) {
  static std::wstring seen;
  static bool terminate = false;
  SetFatalErrorHook([](const std::wstring& text, bool t) {
    seen = text;
    terminate = t;
  });
  ReportFatalError(L"Fatal Error: test.", true);
  EXPECT_EQ(seen, L"Fatal Error: test.");
  EXPECT_TRUE(terminate);
  SetFatalErrorHook(nullptr);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ReportFatalError(L"Fatal Error: CSafeTimer::CloseTimer() racing condition.", true),
              ::testing::ExitedWithCode(1), "racing condition\\.");
}

}  // namespace
