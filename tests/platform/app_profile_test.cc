#include "Quorvane/platform/app_profile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadBytes;
using testsupport::WriteBytes;

class AppProfile : public ::testing::Test {
 protected:
  void SetUp() override {
    m_file = m_folder.Path() / "Brevant" / "Tarnwick.ini";
    platform::SetProfilePath(m_file);
  }
  void TearDown() override { platform::SetProfilePath({}); }
  size_t FilesInFolder() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_file.parent_path())) ++n;
    return n;
  }
  testsupport::TempFolder m_folder;
  fs::path m_file;
};

TEST_F(AppProfile, ValuesRoundTripThroughTheFile) {
  EXPECT_FALSE(fs::exists(m_file));
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"LogLevelFile", 7), 7);
  EXPECT_FALSE(platform::HasProfileValue(L"Settings", L"LogLevelFile"));

  const std::wstring odd = L"C:\\new\nline\r \u00e9\u20ac\U0001F600 =[x] ";
  ASSERT_TRUE(platform::WriteProfileInt(L"Settings", L"LogLevelFile", 3));  // creates the folder
  ASSERT_TRUE(platform::WriteProfileString(L"Settings", L"LogFilePath", odd));
  ASSERT_TRUE(platform::WriteProfileInt(L"UI", L"CRulesDlg.width", -640));
  ASSERT_TRUE(platform::WriteProfileInt(L"MessageBoxEx", L"1234abcd", 6));
  ASSERT_TRUE(platform::WriteProfileInt(L"Settings", L"LogLevelFile", 4));  // replaced, not added

  EXPECT_EQ(platform::GetProfileInt(L"settings", L"LOGLEVELFILE", 0), 4);  // names ignore case
  EXPECT_EQ(platform::GetProfileString(L"Settings", L"LogFilePath", L""), odd);
  EXPECT_EQ(platform::GetProfileInt(L"UI", L"CRulesDlg.width", 0), -640);
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"LogFilePath", 9), 9);  // not a number
  EXPECT_TRUE(platform::HasProfileValue(L"MessageBoxEx", L"1234abcd"));
  EXPECT_EQ(FilesInFolder(), 1u);  // no temporary file left behind

  std::string text = ReadBytes(m_file);
  EXPECT_NE(text.find("[Settings]\nLogLevelFile=4\nLogFilePath=C:\\\\new\\nline\\r \xc3\xa9"), std::string::npos)
      << text;
}

TEST_F(AppProfile, HandWrittenFileIsRead) {
  fs::create_directories(m_file.parent_path());
  WriteBytes(m_file, "; comment\r\n[Settings]\r\nSysTryIcon=0\r\nbroken line\r\nUpdateCheck=+12\r\n"
                     "Big=2147483648\r\n[UI]\r\nX.width= 5\r\n");
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"SysTryIcon", 1), 0);
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"UpdateCheck", 1), 12);
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"Big", -1), -1);  // out of range
  EXPECT_EQ(platform::GetProfileInt(L"UI", L"X.width", -1), -1);    // not a whole number
  EXPECT_EQ(platform::GetProfileString(L"UI", L"X.width", L""), L" 5");
}

TEST_F(AppProfile, RepeatedSectionWritesTheValueThatReadsBack) {
  fs::create_directories(m_file.parent_path());
  WriteBytes(m_file, "[UI]\nA=1\n[Settings]\nB=1\n[UI]\nC=1\n");
  ASSERT_TRUE(platform::WriteProfileInt(L"UI", L"C", 2));
  ASSERT_TRUE(platform::WriteProfileInt(L"UI", L"D", 3));
  EXPECT_EQ(platform::GetProfileInt(L"UI", L"C", 0), 2);
  EXPECT_EQ(platform::GetProfileInt(L"UI", L"D", 0), 3);
  EXPECT_EQ(ReadBytes(m_file), "[UI]\nA=1\nD=3\n\n[Settings]\nB=1\n\n[UI]\nC=2\n\n");
}

TEST_F(AppProfile, RefusesTextThatWouldNotReadBack) {
  for (const wchar_t* name : {L"", L"a=b", L"a\nb", L"[a]", L";a", L"#a"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
    EXPECT_FALSE(platform::WriteProfileInt(L"Settings", name, 1));
    EXPECT_FALSE(platform::WriteProfileInt(name, L"Value", 1));
  }
  EXPECT_FALSE(platform::WriteProfileString(L"Settings", L"Value", std::wstring(1, wchar_t(0xD800))));
  EXPECT_FALSE(fs::exists(m_file));
}

TEST_F(AppProfile, FailedWriteKeepsTheOldFile) {
  ASSERT_TRUE(platform::WriteProfileString(L"Settings", L"LogFilePath", L"/var/log/tarnwick"));
  const std::string before = ReadBytes(m_file);

  // A file-size limit makes the new file's write fail (EFBIG), also as root.
  sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = before.size() + 16;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool written = platform::WriteProfileString(L"Settings", L"Long", std::wstring(4096, L'x'));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);

  EXPECT_FALSE(written);
  EXPECT_EQ(ReadBytes(m_file), before);
  EXPECT_EQ(FilesInFolder(), 1u);
  EXPECT_FALSE(platform::HasProfileValue(L"Settings", L"Long"));
}

TEST_F(AppProfile, PathUnderARegularFileGivesDefaultsAndFailedWrites) {
  WriteBytes(m_folder.Path() / "file", "x");
  platform::SetProfilePath(m_folder.Path() / "file" / "Tarnwick.ini");  // ENOTDIR
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"StartWizard", 5), 5);
  EXPECT_FALSE(platform::WriteProfileInt(L"Settings", L"StartWizard", 1));
}

TEST(AppProfilePath, FollowsXdgAndServiceFolders) {
  const char* old = getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  setenv("XDG_CONFIG_HOME", "/home/u/.cfg", 1);
  EXPECT_EQ(platform::DefaultProfilePath(false), fs::path("/home/u/.cfg/Brevant/Tarnwick.ini"));
  platform::SetProfilePath({});
  EXPECT_EQ(platform::ProfilePath(), fs::path("/home/u/.cfg/Brevant/Tarnwick.ini"));
  if (old) setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(platform::DefaultProfilePath(true), fs::path("/var/lib/tarnwick/Tarnwick.ini"));
}

}  // namespace
