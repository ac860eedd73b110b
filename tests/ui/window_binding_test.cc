// A dialog's window binding: posts from another thread run on the Qt
// thread, and a post still queued when the window goes is dropped with
// its payload handed back.
#include "Quorvane/ui/window_binding.h"

#include <gtest/gtest.h>

#include <QObject>
#include <thread>

#include "tests/ui/ui_support.h"

namespace {

TEST(WindowBinding, PostsRunOnTheQtThreadAndLateOnesAreDropped) {
  QObject context;
  CWindowBinding binding;
  std::vector<uintptr_t> handled, dropped;
  std::thread::id ranOn;
  binding.Bind(
      &context,
      [&](const platform::SWindowMessage& m) {
        handled.push_back(m.wParam);
        ranOn = std::this_thread::get_id();
        return intptr_t(0);
      },
      [&](const platform::SWindowMessage& m) { dropped.push_back(m.wParam); });
  const platform::HWND window = binding.Handle();
  std::thread([window] { EXPECT_TRUE(platform::PostWindowMessage(window, 1, 7, 0)); }).join();
  ASSERT_TRUE(uitest::Pump([&] { return !handled.empty(); }));
  EXPECT_EQ(handled, std::vector<uintptr_t>({7}));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(dropped.empty());

  ASSERT_TRUE(platform::PostWindowMessage(window, 1, 8, 0));
  binding.Unbind();
  EXPECT_FALSE(platform::PostWindowMessage(window, 1, 9, 0));  // the sender keeps this one
  int rounds = 0;
  uitest::Pump([&] { return ++rounds > 5; });
  EXPECT_EQ(handled, std::vector<uintptr_t>({7}));
  EXPECT_EQ(dropped, std::vector<uintptr_t>({8}));
}

}  // namespace
