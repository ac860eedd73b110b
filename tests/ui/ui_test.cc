// The main window and the boxes, offscreen: what the frame does with posted
// messages, its toolbar, menus and status line, the boxes' buttons, and
// screenshots of each into build/artifacts/screenshots/.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QScreen>
#include <QLabel>
#include <QScrollBar>
#include <QTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <filesystem>

#include "Quorvane/app/service_mode.h"
#include "Quorvane/app/instance_channel.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/ui/main_frame.h"
#include "Quorvane/ui/message_box_prompt.h"
#include "tests/ui/ui_support.h"

namespace {

using uitest::Pump;
using uitest::Save;

TEST(MainFrame, ShowsTheLogLinesItIsToldAbout) {
  g_LogLevelScreen = LogNormal;
  CMainFrame frame;
  g_hLogWnd = frame.Handle();
  frame.ShowFrame(true);
  CLogMessage().Append(LogAlways, L"Tarnwick 1.38 started.");
  CLogMessage().Append(LogAlways, L"Driver version 118 running.");
  CLogMessage().Append(LogAlways, L"Engine started.");
  CLogMessage().Append(LogNormal, L"www.example.test - request : type=A, server=10.53.0.1:53, program=dig");
  CLogMessage().Append(LogNormal, L"www.example.test - reply : type=A, ips=192.0.2.10");
  CLogMessage().SetError().Append(LogError, L"www.silent.test - request timeout : server=Silent");
  QPlainTextEdit* view = frame.LogView();
  ASSERT_TRUE(Pump([&] { return view->document()->blockCount() >= 6; })) << view->toPlainText().toStdString();
  EXPECT_TRUE(view->isReadOnly());
  EXPECT_EQ(frame.windowTitle(), "Tarnwick");
  const QTextBlock last = view->document()->findBlockByNumber(5);
  EXPECT_TRUE(last.text().endsWith("] www.silent.test - request timeout : server=Silent")) << last.text().toStdString();
  EXPECT_EQ(last.begin().fragment().charFormat().foreground().color(), QColor(255, 50, 50));
  EXPECT_EQ(view->contextMenuPolicy(), Qt::NoContextMenu);
  g_hLogWnd = 0;
}

TEST(MainFrame, SixThousandLinesThroughTheLogQueue) {
  g_LogLevelScreen = LogNormal;
  CMainFrame frame;
  g_hLogWnd = frame.Handle();
  frame.resize(900, 500);
  frame.ShowFrame(true);
  for (int i = 0; i < 6000; ++i) {
    CLogMessage message;
    if (i % 50 == 49) message.SetError();
    message.Append(LogNormal, L"www.host").Append(LogNormal, i).Append(LogNormal, L".test - reply : type=A, ips=192.0.2.10");
  }
  QPlainTextEdit* view = frame.LogView();
  ASSERT_TRUE(Pump([&] { return view->toPlainText().contains("www.host5999.test"); }));
  CLogMessage().Append(LogNormal, L"www.after.test - reply : type=A, ips=192.0.2.11");
  ASSERT_TRUE(Pump([&] { return view->toPlainText().contains("www.after.test"); }));
  // Above 5000 lines the oldest 1000 went; the view follows the end.
  EXPECT_LE(view->document()->blockCount(), 5002);
  EXPECT_FALSE(view->toPlainText().contains("www.host0.test"));
  EXPECT_GE(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum() - 1);
  frame.Controller().UpdateStatusText(6000);
  EXPECT_EQ(frame.StatusLink()->text(), "Resolves processed: 6000         <a href=\"about:\">Tarnwick 1.38</a>");
  EXPECT_EQ(frame.ScreenCombo()->width(), 100 * frame.logicalDpiY() / 96);
  EXPECT_EQ(frame.ScreenCombo()->currentIndex(), 1);
  EXPECT_EQ(frame.Action(ID_DNS_SERVERS)->statusTip(), "Open the list of DNS servers");
  EXPECT_EQ(frame.Action(ID_DNS_SERVERS)->shortcut(), QKeySequence("Ctrl+S"));
  Save(frame, "main_window_6000_lines.png");
  g_hLogWnd = 0;
}

TEST(MainFrame, AScrolledUpSelectionStaysWhileLinesArrive) {
  g_LogLevelScreen = LogNormal;
  CMainFrame frame;
  g_hLogWnd = frame.Handle();
  frame.resize(700, 400);
  frame.ShowFrame(true);
  for (int i = 0; i < 300; ++i) CLogMessage().Append(LogNormal, L"first ").Append(LogNormal, i);
  CLogCtrl* view = frame.LogView();
  ASSERT_TRUE(Pump([&] { return view->toPlainText().contains("first 299"); }));
  view->verticalScrollBar()->setValue(10);
  view->SetSelection(view->LineStart(12), view->LineStart(13));
  const QString selected = view->textCursor().selectedText();
  for (int i = 0; i < 100; ++i) CLogMessage().Append(LogNormal, L"second ").Append(LogNormal, i);
  ASSERT_TRUE(Pump([&] { return view->toPlainText().contains("second 99"); }));
  EXPECT_EQ(view->verticalScrollBar()->value(), 10);
  EXPECT_EQ(view->textCursor().selectedText(), selected);
  Save(frame, "main_window_selection_kept.png");
  g_hLogWnd = 0;
}

TEST(MainFrame, TheScreenLevelMenuChecksAndTheComboFollow) {
  CMainFrame frame;
  frame.Action(32812)->trigger();
  EXPECT_EQ(g_LogLevelScreen, LogDebug);
  EXPECT_EQ(frame.ScreenCombo()->currentIndex(), 3);
  frame.Controller().OnScreenLogCombo(1);
  EXPECT_EQ(g_LogLevelScreen, LogNormal);
  g_LogLevelScreen = LogNormal;
}

TEST(MainFrame, ClosesOnWmCloseAndShowsForASecondCopy) {
  CMainFrame frame;
  frame.ShowFrame(false);
  EXPECT_EQ(frame.OnActivateInstance(0), 1);
  EXPECT_TRUE(frame.isVisible());
  ASSERT_TRUE(platform::PostWindowMessage(frame.Handle(), WM_CLOSE, 0, 0));
  ASSERT_TRUE(Pump([&] { return frame.IsClosed(); }));
  EXPECT_FALSE(frame.isVisible());
}

TEST(MainFrame, APostAfterTheFrameIsGoneFails) {
  platform::HWND handle = 0;
  {
    CMainFrame frame;
    handle = frame.Handle();
  }
  EXPECT_FALSE(platform::PostWindowMessage(handle, WM_CLOSE, 0, 0));
}

TEST(MainFrame, AForceExitDuringABoxEndsItAsNoAndTheFrameGoesAfter) {
  CMessageBoxPrompt prompt;
  SetPrompt(&prompt);
  CProfile::ChangeRunningLists([](std::vector<CDnsServer>& s, auto&, auto&) { s.assign(1, CDnsServer()); });
  CMainFrame frame;
  frame.ShowFrame(true);
  QTimer::singleShot(50, &frame, [&] {
    ASSERT_NE(QApplication::activeModalWidget(), nullptr);
    ASSERT_TRUE(platform::PostWindowMessage(frame.Handle(), WM_ACTIVATE_INSTANCE, 1, 0));
  });
  frame.Controller().OnCommand(ID_FILE_NEW);  // "Continue?" runs its own loop
  EXPECT_TRUE(frame.IsClosed());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(g_Configuration.Servers().size(), 1u) << "the box ended as No";
  SetPrompt(nullptr);
  CProfile::ChangeRunningLists([](std::vector<CDnsServer>& s, auto&, auto&) { s.clear(); });
}

TEST(MainFrame, PlacementIsKeptUnderUiAndRestoredOnTheScreen) {
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  {
    CMainFrame frame;
    frame.setGeometry(area.left() + 20, area.top() + 30, 400, 300);
    ASSERT_TRUE(platform::PostWindowMessage(frame.Handle(), WM_CLOSE, 0, 0));  // no tray: stored, then gone
    ASSERT_TRUE(Pump([&] { return frame.IsClosed(); }));
  }
  EXPECT_EQ(platform::GetProfileInt(L"UI", L"WindowWidth", 0), 400);
  {
    CMainFrame frame;
    EXPECT_EQ(frame.geometry(), QRect(area.left() + 20, area.top() + 30, 400, 300));
  }
  // Saved where no screen is: the default place stays.
  platform::WriteProfileInt(L"UI", L"WindowLeft", area.right() + 5000);
  {
    CMainFrame frame;
    EXPECT_LT(frame.geometry().left(), area.right());
  }
  platform::WriteProfileInt(L"UI", L"WindowMaximized", 1);
  {
    CMainFrame frame;
    EXPECT_TRUE(frame.windowState() & Qt::WindowMaximized);
  }
  platform::WriteProfileInt(L"UI", L"WindowMaximized", 0);
}

class CAboutOnly : public CCancelDialogs {
 public:
  void RunAbout() override { ++abouts; }
  int abouts = 0;
};

TEST(MainFrame, TheStatusLinkOpensAboutAndTheTrayMenuHoldsItsCommands) {
  CAboutOnly dialogs;
  CMainFrame frame(&dialogs);
  frame.Controller().UpdateStatusText(5);
  emit frame.StatusLink()->linkActivated("about:");
  EXPECT_EQ(dialogs.abouts, 1);
  emit frame.StatusLink()->linkActivated("https://brevant.example");
  EXPECT_EQ(dialogs.abouts, 1);
  EXPECT_EQ(frame.Action(ID_APP_EXIT)->text(), "E&xit");
  EXPECT_EQ(frame.Action(ID_CLEAR_LOG)->shortcut(), QKeySequence("Ctrl+X"));
  frame.Controller().OnCommand(4242);  // unknown: nothing
  EXPECT_FALSE(frame.IsClosed());
}

TEST(MessageBoxes, TheLoadQuestionDefaultsToNo) {
  auto box = MakeMessageBox(L"Could not load configuration. Xml error: Incorrect header format.\n\nDo you want to reset "
                            L"to a default configuration?",
                            L"Tarnwick", MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2);
  EXPECT_EQ(box->icon(), QMessageBox::Warning);
  EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
  box->show();
  Pump([&] { return box->isVisible(); });
  Save(*box, "load_loop_question.png");
}

TEST(MessageBoxes, TheCrashBoxStaysOnTop) {
  auto box = MakeCrashBox(
      "Tarnwick has encountered a critical error! The program will be terminated.\nSIGABRT\n\nThe dump file was saved "
      "to:\n\"/tmp/Tarnwick.dmp\"\n\nPlease email it to support@brevant.example\nThanks!");
  EXPECT_EQ(box->windowTitle(), "Tarnwick Crash Reporter");
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
  box->show();
  Pump([&] { return box->isVisible(); });
  Save(*box, "crash_box.png");
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The windows keep their placement and sizes in a profile of the test's own.
  char folder[] = "/tmp/tarnwick-ui-XXXXXX";
  if (mkdtemp(folder)) platform::SetProfilePath(std::filesystem::path(folder) / "Tarnwick.ini");
  alarm(120);  // watchdog: a box left modal would hang the run
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
