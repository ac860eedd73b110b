// The interim window and the boxes, offscreen: what the frame does with
// posted messages, the boxes' buttons, and screenshots of each into
// build/artifacts/screenshots/.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <filesystem>

#include "Quorvane/app/service_mode.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/ui/main_frame.h"
#include "Quorvane/ui/message_box_prompt.h"

namespace {

void Save(QWidget& widget, const char* name) {
  const std::filesystem::path folder = std::filesystem::path(TARNWICK_BUILD_DIR) / "artifacts" / "screenshots";
  std::filesystem::create_directories(folder);
  const std::string file = (folder / name).string();
  EXPECT_TRUE(widget.grab().save(QString::fromStdString(file))) << file;
}

// Runs the UI loop until done or a bounded number of rounds.
template <class Done>
bool Pump(Done done) {
  for (int i = 0; i < 200 && !done(); ++i) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    usleep(5000);
  }
  return done();
}

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
  const QTextBlock last = view->document()->lastBlock();
  EXPECT_EQ(last.text(), "www.silent.test - request timeout : server=Silent");
  EXPECT_EQ(last.begin().fragment().charFormat().foreground().color(), QColor(Qt::red));
  Save(frame, "main_window.png");
  g_hLogWnd = 0;
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
  alarm(120);  // watchdog: a box left modal would hang the run
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
