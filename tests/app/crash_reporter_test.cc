// The crash reporter in child processes that really crash: each case checks
// how the child ended, the dump, the message on standard error and in the
// log file, and whether the box was started.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

extern char** environ;

namespace {

using testsupport::ReadBytes;
using testsupport::TempFolder;
using testsupport::WriteBytes;

struct SChild {
  int status = 0;
  std::string stderrText;
};

class CrashReporter : public ::testing::Test {
 protected:
  SChild Run(const std::string& mode, const std::string& how) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (strncmp(*e, "TMPDIR=", 7) != 0) env.emplace_back(*e);
    env.push_back("TMPDIR=" + m_folder.Path().string());
    env.push_back("CRASH_BOX_RECORD=" + Box().string());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = CRASH_CHILD, log = Log().string();
    char* argv[] = {program.data(), const_cast<char*>(mode.c_str()), const_cast<char*>(how.c_str()), log.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string err = (m_folder.Path() / "stderr.txt").string();
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    SChild child;
    // Bounded by the report's own 3000-ms wait; ctest's time-out is the watchdog.
    waitpid(pid, &child.status, 0);
    child.stderrText = ReadBytes(err);
    return child;
  }
  std::filesystem::path Dump() const { return m_folder.Path() / "Tarnwick.dmp"; }
  std::filesystem::path Log() const { return m_folder.Path() / "Tarnwick Log.txt"; }
  std::filesystem::path Box() const { return m_folder.Path() / "box.txt"; }
  // The box is a process of its own; give it a moment to write.
  std::string BoxRecord() const {
    for (int i = 0; i < 50 && !std::filesystem::exists(Box()); ++i) usleep(20 * 1000);
    usleep(20 * 1000);
    return ReadBytes(Box());
  }
  TempFolder m_folder;
};

constexpr const char* kHead = "Tarnwick has encountered a critical error! The program will be terminated.\n";

TEST_F(CrashReporter, SignalsDumpLogShowTheBoxAndEndWithTheSignal) {
  struct Case {
    const char* how;
    int signal;
    const char* reason;
  } cases[] = {{"null", SIGSEGV, ""}, {"abort", SIGABRT, "SIGABRT"}, {"throw", SIGABRT, "SIGABRT"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    std::filesystem::remove(Box());
    std::filesystem::remove(Log());
    SChild child = Run("desktop", c.how);
    ASSERT_TRUE(WIFSIGNALED(child.status)) << child.status;
    EXPECT_EQ(WTERMSIG(child.status), c.signal);
    const std::string message = std::string(kHead) + c.reason + "\n\nThe dump file was saved to:\n\"" + Dump().string() +
                                "\"\n\nPlease email it to support@brevant.example\nThanks!";
    EXPECT_NE(child.stderrText.find(message), std::string::npos) << child.stderrText;
    struct stat st {};
    ASSERT_EQ(lstat(Dump().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string dump = ReadBytes(Dump());
    EXPECT_NE(dump.find("backtrace:"), std::string::npos);
    EXPECT_NE(dump.find("memory map:"), std::string::npos);
    EXPECT_NE(ReadBytes(Log()).find(message + "\r\n"), std::string::npos);
    EXPECT_EQ(BoxRecord(), Dump().string() + "\n" + message);
  }
}

TEST_F(CrashReporter, FatalErrorEndsWithExitCodeOneAndItsReason) {
  SChild child = Run("desktop", "fatal");
  ASSERT_TRUE(WIFEXITED(child.status));
  EXPECT_EQ(WEXITSTATUS(child.status), 1);
  EXPECT_NE(child.stderrText.find(std::string(kHead) + "Fatal Error: CSafeTimer::CloseTimer() racing condition.\n\n"),
            std::string::npos)
      << child.stderrText;
}

TEST_F(CrashReporter, AFatalErrorWithoutTextHasNoReasonLine) {
  SChild child = Run("desktop", "fatal-empty");
  ASSERT_TRUE(WIFEXITED(child.status));
  EXPECT_EQ(WEXITSTATUS(child.status), 1);
  EXPECT_NE(child.stderrText.find(std::string(kHead) + "\n\nThe dump file was saved to:"), std::string::npos)
      << child.stderrText;
}

TEST_F(CrashReporter, ASecondCrashMeanwhileGivesNoSecondReport) {
  SChild child = Run("desktop", "twice");
  ASSERT_TRUE(WIFSIGNALED(child.status));
  EXPECT_EQ(WTERMSIG(child.status), SIGABRT);
  size_t first = child.stderrText.find(kHead);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(child.stderrText.find(kHead, first + 1), std::string::npos) << child.stderrText;
}

TEST_F(CrashReporter, APlantedSymlinkIsNotFollowed) {
  const auto target = m_folder.Path() / "victim.txt";
  WriteBytes(target, "keep me");
  std::filesystem::create_symlink(target, Dump());
  SChild child = Run("desktop", "null");
  EXPECT_EQ(ReadBytes(target), "keep me");
  EXPECT_NE(child.stderrText.find("Failed to create dump file \"" + Dump().string() + "\" (error 40).\nPlease contact "
                                  "support@brevant.example"),
            std::string::npos)
      << child.stderrText;
}

TEST_F(CrashReporter, NoBoxInServiceMode) {
  SChild child = Run("service", "null");
  ASSERT_TRUE(WIFSIGNALED(child.status));
  EXPECT_TRUE(std::filesystem::exists(Dump()));
  EXPECT_NE(ReadBytes(Log()).find(kHead), std::string::npos);
  usleep(300 * 1000);
  EXPECT_FALSE(std::filesystem::exists(Box()));
}

}  // namespace
