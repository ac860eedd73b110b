#include "Quorvane/foundation/log_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/run_mode.h"
#include "Quorvane/platform/app_profile.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

ERunMode ServiceMode() { return RunModeService; }

class LogSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* docs = getenv("XDG_DOCUMENTS_DIR");
    m_savedDocs = docs ? std::optional<std::string>(docs) : std::nullopt;
    setenv("XDG_DOCUMENTS_DIR", (m_folder.Path() / "Documents").c_str(), 1);
    platform::SetProfilePath(m_folder.Path() / "Tarnwick.ini");
    std::list<SLogLine> drop;
    SwapLogQueue(drop, true);
    SwapLogQueue(drop, false);
    g_LogLevelScreen = LogNormal;
    g_LogLevelFile = 0;
    SetLogFolder(L"");
  }
  void TearDown() override {
    if (m_savedDocs) setenv("XDG_DOCUMENTS_DIR", m_savedDocs->c_str(), 1);
    else unsetenv("XDG_DOCUMENTS_DIR");
    platform::SetProfilePath({});
    SetRunModeHook(nullptr);
    g_LogLevelScreen = LogNormal;
    g_LogLevelFile = 0;
    SetLogFolder(L"");
  }
  std::wstring Documents() const { return (m_folder.Path() / "Documents").wstring(); }

  testsupport::TempFolder m_folder;
  std::optional<std::string> m_savedDocs;
};

TEST_F(LogSettings, ServiceDefaultsAreWrittenBack) {
  SetRunModeHook(&ServiceMode);
  LoadLogSettings();
  const std::wstring folder = Documents() + L"/Tarnwick";
  EXPECT_EQ(g_LogLevelScreen, 0);
  EXPECT_EQ(g_LogLevelFile, LogError);
  EXPECT_EQ(GetLogFolder(), folder);
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"LogLevelFile", -1), 1);
  EXPECT_EQ(platform::GetProfileString(L"Settings", L"LogFilePath", L""), folder);
  EXPECT_FALSE(platform::HasProfileValue(L"Settings", L"LogLevelScreen"));
}

TEST_F(LogSettings, DesktopReadsTheProfileAndWritesNothing) {
  const std::wstring folder = (m_folder.Path() / "logs" / "deep").wstring();
  ASSERT_TRUE(platform::WriteProfileInt(L"Settings", L"LogLevelScreen", 4));
  ASSERT_TRUE(platform::WriteProfileInt(L"Settings", L"LogLevelFile", 3));
  ASSERT_TRUE(platform::WriteProfileString(L"Settings", L"LogFilePath", folder));
  const std::string before = testsupport::ReadBytes(platform::ProfilePath());
  LoadLogSettings();
  EXPECT_EQ(g_LogLevelScreen, 4);
  EXPECT_EQ(g_LogLevelFile, 3);
  EXPECT_EQ(GetLogFolder(), folder);
  EXPECT_TRUE(fs::is_directory(folder));  // parents too
  EXPECT_EQ(testsupport::ReadBytes(platform::ProfilePath()), before);
}

TEST_F(LogSettings, FileLogOffLeavesTheFolderAlone) {
  ASSERT_TRUE(platform::WriteProfileInt(L"Settings", L"LogLevelScreen", 9));  // out of range: default kept
  LoadLogSettings();
  EXPECT_EQ(g_LogLevelScreen, LogNormal);
  EXPECT_EQ(g_LogLevelFile, 0);
  EXPECT_EQ(GetLogFolder(), L"");
  EXPECT_FALSE(fs::exists(Documents()));
}

TEST_F(LogSettings, FolderThatCannotBeMadeIsLoggedWithItsErrno) {
  testsupport::WriteBytes(m_folder.Path() / "file", "x");
  ASSERT_TRUE(platform::WriteProfileInt(L"Settings", L"LogLevelFile", 1));
  ASSERT_TRUE(platform::WriteProfileString(L"Settings", L"LogFilePath", (m_folder.Path() / "file" / "log").wstring()));
  LoadLogSettings();
  std::list<SLogLine> screen;
  SwapLogQueue(screen, true);
  ASSERT_EQ(screen.size(), 1u);
  EXPECT_EQ(screen.front().text, L"Could not create log-file directory, error=20.");  // ENOTDIR
  EXPECT_TRUE(screen.front().error);
}

}  // namespace
