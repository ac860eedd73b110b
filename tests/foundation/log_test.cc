#include "Quorvane/foundation/log.h"

#include <gtest/gtest.h>

#include <clocale>
#include <stdexcept>

#include "Quorvane/foundation/run_mode.h"
#include "Quorvane/platform/clock.h"

namespace {

ERunMode ServiceMode() { return RunModeService; }

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetClockSourceForTesting(&m_clock);
    std::list<SLogLine> drop;
    SwapLogQueue(drop, true);
    SwapLogQueue(drop, false);
    g_LogStopped = false;
    g_LogFloodCount = 0;
    g_LogFlooding = false;
    g_LogFloodWindowStart = m_clock.TickMs();
    g_nLastLogNotifyTick = 0;
    g_LogLevelScreen = LogNormal;
    g_LogLevelFile = LogError;
    g_hLogWnd = m_window.Handle();
  }
  void TearDown() override {
    g_hLogWnd = 0;
    g_LogStopped = false;
    SetRunModeHook(nullptr);
    platform::SetClockSourceForTesting(nullptr);
  }
  static std::list<SLogLine> Take(bool screen) {
    std::list<SLogLine> out;
    SwapLogQueue(out, screen);
    return out;
  }
  size_t Posts() { return m_window.TakeAll().size(); }

  platform::FakeClock m_clock;
  platform::CMessageQueueWindow m_window;
};

TEST_F(LogTest, EachSinkTakesTheValuesOfItsLevel) {
  CLogMessage().Append(LogNormal, L"screen ").Append(LogError, "both ").Append(LogDebug, 42);
  auto screen = Take(true);
  auto file = Take(false);
  ASSERT_EQ(screen.size(), 1u);
  ASSERT_EQ(file.size(), 1u);
  EXPECT_EQ(screen.front().text, L"screen both ");
  EXPECT_EQ(file.front().text, L"both ");
  EXPECT_EQ(screen.front().time, m_clock.WallSeconds());
  EXPECT_FALSE(screen.front().error);
}

TEST_F(LogTest, NumbersAndErrorMark) {
  CLogMessage().SetError().Append(LogError, -5).Append(LogError, L" ").Append(LogError, 18446744073709551615ull)
      .Append(LogError, L" ").Append(LogError, static_cast<unsigned short>(65535));
  auto screen = Take(true);
  ASSERT_EQ(screen.size(), 1u);
  EXPECT_EQ(screen.front().text, L"-5 18446744073709551615 65535");
  EXPECT_TRUE(screen.front().error);
  EXPECT_FALSE(Take(false).front().error);  // the mark belongs to the screen line
}

TEST_F(LogTest, FileLevelZeroIsOffEvenForAlways) {
  g_LogLevelFile = 0;
  CLogMessage().Append(LogAlways, L"x");
  EXPECT_EQ(Take(true).size(), 1u);
  EXPECT_TRUE(Take(false).empty());
}

TEST_F(LogTest, StatementNoSinkTakesStillNotifies) {
  CLogMessage().Append(LogDebug, L"hidden");
  EXPECT_TRUE(Take(true).empty());
  EXPECT_TRUE(Take(false).empty());
  EXPECT_EQ(Posts(), 1u);
  EXPECT_EQ(g_LogFloodCount.load(), 1u);
}

TEST_F(LogTest, ServiceModeQueuesFileLinesOnly) {
  SetRunModeHook(&ServiceMode);
  CLogMessage().Append(LogError, L"x");
  EXPECT_TRUE(Take(true).empty());
  EXPECT_EQ(Take(false).size(), 1u);
}

TEST_F(LogTest, LeftByExceptionCommitsWhatItHolds) {
  try {
    CLogMessage m;
    m.Append(LogNormal, L"before");
    throw std::runtime_error("x");
  } catch (const std::exception&) {
  }
  auto screen = Take(true);
  ASSERT_EQ(screen.size(), 1u);
  EXPECT_EQ(screen.front().text, L"before");
}

TEST_F(LogTest, UnconvertibleNarrowTextBecomesTheConversionError) {
  std::setlocale(LC_CTYPE, "C");
  CLogMessage().Append(LogNormal, "\xff");
  EXPECT_EQ(Take(true).front().text, L"Error: Cannot convert from ANSI, error 84");
}

TEST_F(LogTest, StoppedLogDropsEverything) {
  std::list<SLogLine> last;
  CLogMessage().Append(LogError, L"before stop");
  Posts();
  SwapLogQueueAndStop(last);
  ASSERT_EQ(last.size(), 1u);
  CLogMessage().Append(LogError, L"after stop");
  EXPECT_TRUE(Take(true).size() == 1u);  // only the line from before the stop
  EXPECT_TRUE(Take(false).empty());
  EXPECT_EQ(Posts(), 0u);
}

TEST_F(LogTest, NoWindowNoPost) {
  g_hLogWnd = 0;
  CLogMessage().Append(LogNormal, L"x");
  EXPECT_EQ(Posts(), 0u);
  EXPECT_EQ(Take(true).size(), 1u);  // the line waits for the window
}

// Fills one window with n statements, then closes it with one more.
void FillWindow(platform::FakeClock& clock, int n) {
  for (int i = 0; i < n; ++i) CLogMessage().Append(LogDebug, L"x");
  clock.AdvanceMs(1001);
  CLogMessage().Append(LogDebug, L"x");  // counted in the closing window
}

TEST_F(LogTest, FiftyStatementsDoNotFlood) {
  FillWindow(m_clock, 49);
  EXPECT_FALSE(g_LogFlooding.load());
  Posts();
  CLogMessage().Append(LogDebug, L"x");
  EXPECT_EQ(Posts(), 1u);
}

TEST_F(LogTest, FloodingPostsAtMostOncePer200Ms) {
  FillWindow(m_clock, 50);
  ASSERT_TRUE(g_LogFlooding.load());
  Posts();
  // The closing statement posted; the next ones within 200 ms do not.
  m_clock.AdvanceMs(200);
  CLogMessage().Append(LogDebug, L"x");
  EXPECT_EQ(Posts(), 0u);
  m_clock.AdvanceMs(1);
  CLogMessage().Append(LogDebug, L"x");
  EXPECT_EQ(Posts(), 1u);
  CLogMessage().Append(LogDebug, L"x");
  EXPECT_EQ(Posts(), 0u);
}

TEST_F(LogTest, FloodingWithAFullScreenQueuePostsEveryTime) {
  FillWindow(m_clock, 50);
  ASSERT_TRUE(g_LogFlooding.load());
  for (int i = 0; i < 1000; ++i) CLogMessage().Append(LogNormal, L"line");
  Posts();
  // 1000 lines wait: still within the limit, so no post.
  CLogMessage().Append(LogDebug, L"x");
  EXPECT_EQ(Posts(), 0u);
  // The 1001st line is queued before the check, so this one posts.
  CLogMessage().Append(LogNormal, L"line");
  EXPECT_EQ(Posts(), 1u);
  CLogMessage().Append(LogDebug, L"x");
  EXPECT_EQ(Posts(), 1u);
}

}  // namespace
