// The log refresh over a surface that keeps text as lines and scrolls in
// lines, fed through the real screen queue; TZ is UTC for the stamps.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "Quorvane/ui/log_view_model.h"
#include "tests/support/log_capture.h"

namespace {

class CFakeSurface : public CLogSurface {
 public:
  static constexpr int kPage = 20;

  SScroll GetScroll() const override { return {m_first, kPage, std::max(LineCount(), kPage)}; }
  void GetSelection(int& start, int& end) const override {
    start = m_selStart;
    end = m_selEnd;
  }
  void SetSelection(int start, int end) override {
    m_selStart = start;
    m_selEnd = end;
  }
  int LineCount() const override { return int(std::count(m_text.begin(), m_text.end(), L'\n')); }
  int FirstVisibleLine() const override { return m_first; }
  int LineStart(int line) const override {
    size_t pos = 0;
    for (int i = 0; i < line; ++i) pos = m_text.find(L'\n', pos) + 1;
    return int(pos);
  }
  void DeleteText(int start, int end) override {
    // The first visible line keeps its number, so the view jumps until scrolled back.
    m_text.erase(start, end - start);
  }
  void ScrollLines(int lines) override { m_first = std::clamp(m_first + lines, 0, std::max(0, LineCount() - kPage)); }
  void SetRedraw(bool on) override {
    if (!on) ++redrawOffs;
  }
  void AppendRun(const std::wstring& text, bool error) override {
    runs.push_back({text, error});
    m_text += text;
  }
  void ScrollToBottom() override { m_first = std::max(0, LineCount() - kPage); }
  void RedrawScrollStrip() override { ++stripRedraws; }

  std::wstring Line(int n) const {
    const int start = LineStart(n);
    return m_text.substr(start, m_text.find(L'\n', start) - start);
  }
  std::wstring Selected() const { return m_text.substr(m_selStart, m_selEnd - m_selStart); }
  void ScrollTo(int first) { m_first = first; }

  std::vector<std::pair<std::wstring, bool>> runs;
  int redrawOffs = 0, stripRedraws = 0;

 private:
  std::wstring m_text;
  int m_first = 0;
  int m_selStart = 0, m_selEnd = 0;
};

class LogView : public ::testing::Test {
 protected:
  LogView() {
    const char* tz = getenv("TZ");
    m_tz = tz ? std::optional<std::string>(tz) : std::nullopt;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  ~LogView() override {
    if (m_tz) setenv("TZ", m_tz->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  void Log(int count, bool error = false) {
    for (int i = 0; i < count; ++i) {
      CLogMessage message;
      if (error) message.SetError();
      message.Append(LogAlways, L"line ").Append(LogAlways, m_next++);
    }
  }
  void Refresh(bool held = false) { m_model.Refresh(m_surface, false, held); }

  testsupport::LogCapture m_log{LogNormal};
  CFakeSurface m_surface;
  LogViewModel m_model;
  int m_next = 0;
  std::optional<std::string> m_tz;
};

TEST_F(LogView, StampsAreLocalTimeAndRunsFollowTheErrorMark) {
  EXPECT_EQ(LogViewModel::Stamp(1700000000), L"[11.14 22:13:20] ");
  Log(2);
  Log(1, true);
  Log(1);
  Refresh();
  ASSERT_EQ(m_surface.runs.size(), 3u);
  EXPECT_FALSE(m_surface.runs[0].second);
  EXPECT_TRUE(m_surface.runs[1].second);
  EXPECT_FALSE(m_surface.runs[2].second);
  EXPECT_EQ(std::count(m_surface.runs[0].first.begin(), m_surface.runs[0].first.end(), L'\n'), 2);
  EXPECT_NE(m_surface.Line(2).find(L"] line 2"), std::wstring::npos);
}

TEST_F(LogView, AtTheEndTheViewFollowsAScrolledUpSelectionStays) {
  Log(100);
  Refresh();
  EXPECT_EQ(m_surface.FirstVisibleLine(), 100 - CFakeSurface::kPage);
  Log(10);
  Refresh();
  EXPECT_EQ(m_surface.FirstVisibleLine(), 110 - CFakeSurface::kPage) << "a view at its end follows";

  m_surface.ScrollTo(30);
  const int start = m_surface.LineStart(35), end = m_surface.LineStart(36);
  m_surface.SetSelection(start, end);
  const std::wstring selected = m_surface.Selected();
  Log(50);
  Refresh();
  EXPECT_EQ(m_surface.FirstVisibleLine(), 30);
  EXPECT_EQ(m_surface.Selected(), selected);
  EXPECT_EQ(m_surface.redrawOffs, 1);
  EXPECT_EQ(m_surface.stripRedraws, 1);
}

TEST_F(LogView, AHeldButtonDefersTheLines) {
  Log(3);
  Refresh(true);
  EXPECT_EQ(m_surface.LineCount(), 0);
  Refresh(false);
  EXPECT_EQ(m_surface.LineCount(), 3);
  m_model.Refresh(m_surface, true, false);  // service mode never fills the view
}

TEST_F(LogView, AboveFiveThousandTheOldestThousandGoAndTheTextStays) {
  m_log.SetLevel(LogNormal);
  Log(3000);
  Refresh();
  Log(3001);
  Refresh();
  ASSERT_EQ(m_surface.LineCount(), 6001);
  m_surface.ScrollTo(4000);
  const std::wstring visible = m_surface.Line(4000);
  const int start = m_surface.LineStart(4005), end = m_surface.LineStart(4006);
  m_surface.SetSelection(start, end);
  const std::wstring selected = m_surface.Selected();
  Log(1);
  Refresh();
  EXPECT_EQ(m_surface.LineCount(), 5002);
  EXPECT_EQ(m_surface.Line(m_surface.FirstVisibleLine()), visible);
  EXPECT_EQ(m_surface.Selected(), selected);
  EXPECT_NE(m_surface.Line(0).find(L"] line 1000"), std::wstring::npos);
}

}  // namespace
