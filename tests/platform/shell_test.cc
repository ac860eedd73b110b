// The shell stand-in hands its argument to xdg-open as one argv entry, never
// through a shell; the service's folders follow systemd's variables.
#include "Quorvane/platform/shell.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "Quorvane/platform/paths.h"
#include "tests/support/temp_folder.h"

namespace {

using testsupport::ReadBytes;
using testsupport::TempFolder;
using testsupport::WriteBytes;

class CEnvVariable {
 public:
  CEnvVariable(const char* name, const std::optional<std::string>& value) : m_name(name) {
    if (const char* old = getenv(name)) m_old = old;
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
  }
  ~CEnvVariable() {
    if (m_old) setenv(m_name, m_old->c_str(), 1);
    else unsetenv(m_name);
  }

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

// Waits (bounded) for the fake xdg-open to write its arguments.
std::string Recorded(const std::filesystem::path& file) {
  for (int i = 0; i < 200 && !std::filesystem::exists(file.string() + ".done"); ++i) usleep(10 * 1000);
  return ReadBytes(file);
}

TEST(Shell, ArgumentsReachXdgOpenUnchanged) {
  TempFolder folder;
  const auto record = folder.Path() / "argv.txt";
  WriteBytes(folder.Path() / "xdg-open", "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > '" +
                                             record.string() + "'\ntouch '" + record.string() + ".done'\n");
  chmod((folder.Path() / "xdg-open").c_str(), 0755);
  CEnvVariable path("PATH", folder.Path().string() + ":/usr/bin:/bin");
  struct Case {
    const char* name;
    bool (*call)();
    const char* expected;
  } cases[] = {
      {"url", [] { return platform::OpenUrl("https://brevant.example/docs/?a=1;b=$(id)"); },
       "[https://brevant.example/docs/?a=1;b=$(id)]"},
      {"folder", [] { return platform::OpenFolder("/tmp/a b"); }, "[/tmp/a b]"},
      {"file_shows_its_folder", [] { return platform::ShowInFileManager("/tmp/a b/Tarnwick.dmp"); }, "[/tmp/a b]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(record);
    std::filesystem::remove(record.string() + ".done");
    ASSERT_TRUE(c.call());
    EXPECT_EQ(Recorded(record), c.expected);
  }
}

TEST(Shell, AMissingXdgOpenIsReported) {
  TempFolder folder;
  CEnvVariable path("PATH", folder.Path().string());
  errno = 0;
  EXPECT_FALSE(platform::OpenUrl("https://brevant.example/"));
  EXPECT_EQ(errno, ENOENT);
}

TEST(ServiceFolders, FollowSystemdsVariables) {
  {
    CEnvVariable state("STATE_DIRECTORY", "/var/lib/a:/var/lib/b");
    CEnvVariable runtime("RUNTIME_DIRECTORY", "/run/tarnwick");
    EXPECT_EQ(platform::ServiceDataFolder(), "/var/lib/a");
    EXPECT_EQ(platform::RuntimeFolder(true), std::filesystem::path("/run/tarnwick"));
  }
  CEnvVariable state("STATE_DIRECTORY", std::nullopt);
  CEnvVariable runtime("XDG_RUNTIME_DIR", std::nullopt);
  EXPECT_EQ(platform::ServiceDataFolder(), "/var/lib/tarnwick");
  EXPECT_FALSE(platform::RuntimeFolder(false).has_value());
}

}  // namespace
