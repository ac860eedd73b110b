#include "Quorvane/platform/shell.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace platform {

bool SpawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) {
    errno = EINVAL;
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  // Its own session: a terminal's hang-up or the program's exit leaves it be.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return false;
  }
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

bool OpenUrl(const std::string& url) { return SpawnDetached({"xdg-open", url}); }

bool OpenFolder(const std::filesystem::path& folder) { return SpawnDetached({"xdg-open", folder.string()}); }

bool ShowInFileManager(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  return OpenFolder(folder.empty() ? std::filesystem::path(".") : folder);
}

}  // namespace platform
