#include "Quorvane/foundation/log_writer.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <thread>

#include "Quorvane/foundation/log_settings.h"
#include "Quorvane/platform/clock.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ReadBytes;
using testsupport::WriteBytes;

// 1'700'000'000 is 2023-11-14 22:13:20 UTC.
constexpr char kStamp[] = "[2023.11.14 22:13:20] ";
constexpr int64_t kLimit = CLogFileWriter::kRotateAfterBytes;

class LogWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    platform::SetClockSourceForTesting(&m_clock);
    std::list<SLogLine> drop;
    SwapLogQueue(drop, true);
    SwapLogQueue(drop, false);
    g_LogStopped = false;
    g_LogLevelScreen = LogNormal;
    g_LogLevelFile = LogError;
    SetLogFolder(m_folder.Path().wstring());
    m_log = m_folder.Path() / "Tarnwick Log.txt";
  }
  void TearDown() override {
    g_LogStopped = false;
    g_LogLevelFile = 0;
    SetLogFolder(L"");
    platform::SetClockSourceForTesting(nullptr);
  }
  static SLogLine Line(const std::wstring& text) { return SLogLine{1'700'000'000, text, false}; }
  static std::string OnDisk(const std::string& text) { return kStamp + text + "\r\n"; }
  fs::path Copy(int n) const { return m_log.string() + "." + std::to_string(n); }
  static void Sparse(const fs::path& path, int64_t size) {
    WriteBytes(path, "");
    ASSERT_EQ(truncate(path.c_str(), size), 0);
  }
  static std::list<SLogLine> Take(bool screen) {
    std::list<SLogLine> out;
    SwapLogQueue(out, screen);
    return out;
  }

  platform::FakeClock m_clock;
  testsupport::TempFolder m_folder;
  fs::path m_log;
  CLogFileWriter m_writer;
};

TEST_F(LogWriter, StampedUtf8LinesEndInCrLf) {
  m_writer.WriteBatch({Line(L"caf\u00e9 \u20ac \U0001F600"), Line(L"two\nparts\r\n")}, m_folder.Path().wstring());
  m_writer.WriteBatch({Line(L"appended")}, m_folder.Path().wstring());
  EXPECT_EQ(ReadBytes(m_log), OnDisk("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80") +
                                  OnDisk("two\r\nparts\r\r\n") + OnDisk("appended"));
}

// Each line is 22 + 4 + 2 bytes on disk.
TEST_F(LogWriter, RotatesOnlyPastTheLimitAndGoesOnInAFreshFile) {
  const std::string one = OnDisk("ln-1"), two = OnDisk("ln-2"), three = OnDisk("ln-3");
  Sparse(m_log, kLimit - static_cast<int64_t>(one.size()));
  m_writer.WriteBatch({Line(L"ln-1"), Line(L"ln-2"), Line(L"ln-3")}, m_folder.Path().wstring());

  ASSERT_TRUE(fs::exists(Copy(1)));
  EXPECT_EQ(fs::file_size(Copy(1)), static_cast<uintmax_t>(kLimit) + two.size());  // exactly the limit stayed
  EXPECT_EQ(ReadBytes(m_log), three);
  EXPECT_FALSE(fs::exists(Copy(2)));
  EXPECT_FALSE(fs::exists(m_log.string() + ".rotating"));
}

TEST_F(LogWriter, RotationShiftsNineCopiesAndDropsTheOldest) {
  for (int n = 1; n <= 9; ++n) WriteBytes(Copy(n), "copy " + std::to_string(n));
  Sparse(m_log, kLimit);
  m_writer.WriteBatch({Line(L"last")}, m_folder.Path().wstring());

  EXPECT_EQ(fs::file_size(Copy(1)), static_cast<uintmax_t>(kLimit) + OnDisk("last").size());
  for (int n = 2; n <= 9; ++n) EXPECT_EQ(ReadBytes(Copy(n)), "copy " + std::to_string(n - 1)) << n;
  EXPECT_FALSE(fs::exists(Copy(10)));
  EXPECT_TRUE(fs::exists(m_log));  // opened again after the rotation
  EXPECT_EQ(fs::file_size(m_log), 0u);
}

TEST_F(LogWriter, LiveFileThatCannotMoveKeepsEveryCopy) {
  // A non-empty folder under the temporary name: the rename fails even as root.
  const fs::path blocker = m_log.string() + ".rotating";
  fs::create_directories(blocker);
  WriteBytes(blocker / "x", "x");
  WriteBytes(Copy(1), "copy 1");
  WriteBytes(Copy(9), "copy 9");
  Sparse(m_log, kLimit);

  m_writer.WriteBatch({Line(L"ln-1"), Line(L"ln-2")}, m_folder.Path().wstring());
  EXPECT_EQ(ReadBytes(Copy(1)), "copy 1");
  EXPECT_EQ(ReadBytes(Copy(9)), "copy 9");
  EXPECT_FALSE(fs::exists(Copy(2)));
  EXPECT_EQ(fs::file_size(m_log), static_cast<uintmax_t>(kLimit) + 2 * OnDisk("ln-1").size());

  fs::remove_all(blocker);  // the next line tries again and succeeds
  m_writer.WriteBatch({Line(L"ln-3")}, m_folder.Path().wstring());
  EXPECT_EQ(fs::file_size(Copy(1)), static_cast<uintmax_t>(kLimit) + 3 * OnDisk("ln-1").size());
  EXPECT_EQ(ReadBytes(Copy(2)), "copy 1");
  EXPECT_FALSE(fs::exists(Copy(9)));  // dropped; there was no ".8" to take its place
}

TEST_F(LogWriter, LogLeftAsideByAnUnfinishedRotationBecomesACopy) {
  // What a rotation leaves when its rename to ".1" fails.
  WriteBytes(m_log.string() + ".rotating", "left aside");
  WriteBytes(Copy(1), "copy 1");
  Sparse(m_log, kLimit);

  m_writer.WriteBatch({Line(L"ln-1")}, m_folder.Path().wstring());
  EXPECT_EQ(fs::file_size(Copy(1)), static_cast<uintmax_t>(kLimit) + OnDisk("ln-1").size());
  EXPECT_EQ(ReadBytes(Copy(2)), "left aside");
  EXPECT_EQ(ReadBytes(Copy(3)), "copy 1");
  EXPECT_FALSE(fs::exists(m_log.string() + ".rotating"));
}

TEST_F(LogWriter, FailedWriteEndsTheBatchWithoutRotating) {
  fs::create_symlink("/dev/full", m_log);  // opens, then every write fails (ENOSPC)
  m_writer.WriteBatch({Line(L"ln-1"), Line(L"ln-2")}, m_folder.Path().wstring());
  EXPECT_TRUE(fs::is_symlink(m_log));
  EXPECT_FALSE(fs::exists(Copy(1)));
  EXPECT_TRUE(Take(false).empty());  // not an open failure: nothing to report
}

TEST_F(LogWriter, UnopenableFileIsReportedOncePerPath) {
  WriteBytes(m_folder.Path() / "file", "x");
  const std::wstring bad = (m_folder.Path() / "file" / "sub").wstring();  // ENOTDIR
  const std::wstring message = L"Could not open log file for writing " + bad + L"/Tarnwick Log.txt";
  auto reports = [&] {
    auto screen = Take(true);
    Take(false);
    size_t n = 0;
    for (const auto& line : screen) n += line.text == message && line.error;
    return n;
  };

  m_writer.WriteBatch({Line(L"lost")}, bad);
  m_writer.WriteBatch({Line(L"lost")}, bad);
  EXPECT_EQ(reports(), 1u);
  m_writer.WriteBatch({Line(L"kept")}, m_folder.Path().wstring());
  m_writer.WriteBatch({Line(L"lost")}, bad);
  EXPECT_EQ(reports(), 1u);  // reported again after an open succeeded
  EXPECT_EQ(ReadBytes(m_log), OnDisk("kept"));
}

class LogWriterThread : public LogWriter {
 protected:
  void Start() { m_thread = std::thread([this] { LogFileWriterThread(m_control); }); }
  void StopAndJoin() {
    StopLogWriter(m_control);
    m_thread.join();
  }
  SLogWriterControl m_control;
  std::thread m_thread;
};

TEST_F(LogWriterThread, WritesEveryPeriodOfTheClock) {
  Start();
  ASSERT_TRUE(m_clock.AwaitWaitsBegun(1, 10s));
  CLogMessage().Append(LogError, L"first");
  m_clock.AdvanceMs(CLogFileWriter::kPeriodMs - 1);
  EXPECT_EQ(m_clock.WaitsBegun(), 1u);  // still in its first wait
  EXPECT_FALSE(fs::exists(m_log));
  m_clock.AdvanceMs(1);
  ASSERT_TRUE(m_clock.AwaitWaitsBegun(2, 10s));  // one round done
  EXPECT_EQ(ReadBytes(m_log), OnDisk("first"));
  StopAndJoin();
}

TEST_F(LogWriterThread, LinesQueuedJustBeforeStopAreWrittenThenTheLogStops) {
  Start();
  ASSERT_TRUE(m_clock.AwaitWaitsBegun(1, 10s));
  CLogMessage().Append(LogError, L"one");
  CLogMessage().Append(LogError, L"two");
  StopAndJoin();
  EXPECT_EQ(ReadBytes(m_log), OnDisk("one") + OnDisk("two"));
  EXPECT_TRUE(g_LogStopped);
  CLogMessage().Append(LogError, L"late");
  EXPECT_TRUE(Take(false).empty());
}

TEST_F(LogWriterThread, FileLevelZeroDropsTheBatchAndCreatesNoFile) {
  CLogMessage().Append(LogError, L"queued while on");
  g_LogLevelFile = 0;
  StopLogWriter(m_control);  // already set: one round, no wait
  Start();
  m_thread.join();
  EXPECT_FALSE(fs::exists(m_log));
  EXPECT_EQ(m_clock.WaitsBegun(), 0u);
  EXPECT_TRUE(Take(false).empty());
}

}  // namespace
