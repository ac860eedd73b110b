#include "Quorvane/platform/run_program.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "tests/platform/test_tools.h"
#include "tests/support/bounded_wait.h"

namespace platform {
namespace {

using testsupport::ReadBytes;
using testsupport::TempFolder;
using testing_tools::WriteScript;

TEST(RunProgram, CollectsOutputAndExitStatus) {
  TempFolder dir;
  auto tool = WriteScript(dir.Path() / "tool", "printf 'line one\\nline two'; echo to-stderr >&2; exit 3");
  auto r = RunProgram({tool.string()});
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(r.output, "line one\nline two");
}

TEST(RunProgram, PassesArgumentsVerbatimWithFixedLocale) {
  TempFolder dir;
  auto tool = WriteScript(dir.Path() / "tool", "printf '%s|' \"$@\" \"$LC_ALL\"");
  auto r = RunProgram({tool.string(), "a b", "$(echo hi)", "*", ";x"});
  EXPECT_EQ(r.output, "a b|$(echo hi)|*|;x|C.UTF-8|");
}

TEST(RunProgram, MissingProgramIsNotStarted) {
  TempFolder dir;
  EXPECT_FALSE(RunProgram({(dir.Path() / "absent").string()}).started);
  auto missing = RunProgram({"tarnwick-no-such-tool-in-path"});
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.spawnError, ENOENT);  // the flush's text carries it
  EXPECT_FALSE(RunProgram({}).started);
}

bool ProcessGone(pid_t pid) {
  std::string stat = ReadBytes("/proc/" + std::to_string(pid) + "/stat");
  // A killed child that its new parent has not reaped yet shows as a zombie.
  return stat.empty() || stat.find(") Z ") != std::string::npos;
}

TEST(RunProgram, KillsAHangingProgramAndItsChildrenAtTheBound) {
  TempFolder dir;
  auto pidFile = dir.Path() / "child.pid";
  // The background child keeps the output pipe open after the script is killed.
  auto tool = WriteScript(dir.Path() / "hang", "printf early; sleep 30 & echo $! > '" + pidFile.string() + "'; wait");
  auto start = std::chrono::steady_clock::now();
  auto r = RunProgram({tool.string()}, 200);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.exitCode, -1);
  EXPECT_EQ(r.output, "early");
  EXPECT_LT(took, std::chrono::seconds(5));

  pid_t child = std::atoi(ReadBytes(pidFile).c_str());
  ASSERT_GT(child, 0);
  bool gone = false;
  testsupport::WaitUntil([&]() -> bool { return gone = ProcessGone(child); }, std::chrono::milliseconds(2000));
  EXPECT_TRUE(gone) << "background child " << child << " survived";
  if (!gone) kill(child, SIGKILL);
}

TEST(RunProgram, BoundsTheOutputButLetsTheProgramFinish) {
  auto r = RunProgram({"head", "-c", std::to_string(kProgramOutputLimit + 5000), "/dev/zero"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.output.size(), kProgramOutputLimit);
}

}  // namespace
}  // namespace platform
