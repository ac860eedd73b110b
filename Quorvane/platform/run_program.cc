#include "Quorvane/platform/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstring>

extern char** environ;

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

std::vector<std::string> ChildEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    if (strncmp(*e, "LC_ALL=", 7) == 0 || strncmp(*e, "LANGUAGE=", 9) == 0) continue;
    env.emplace_back(*e);
  }
  env.emplace_back("LC_ALL=C.UTF-8");
  return env;
}

int RemainingMs(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Reaps pid; true when it had exited (status filled).
bool TryReap(pid_t pid, int& status) {
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno == EINTR) continue;
    return false;
  }
}

void KillAndReap(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

SProgramResult RunProgram(const std::vector<std::string>& argv, int timeoutMs) {
  SProgramResult result;
  if (argv.empty()) return result;

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    result.spawnError = errno;
    return result;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  // Its own group, so that the kill at the bound also reaches its children.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envText = ChildEnvironment();
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    result.spawnError = rc;
    return result;
  }
  result.started = true;

  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  bool pipeOpen = true;
  bool exited = false;
  int status = 0;
  char buffer[4096];

  while (!exited) {
    int wait = RemainingMs(deadline);
    if (wait == 0) break;
    pollfd fds[2];
    nfds_t n = 0;
    if (pipeOpen) fds[n++] = {out[0], POLLIN, 0};
    if (pidfd >= 0) fds[n++] = {pidfd, POLLIN, 0};
    // Without a pidfd the exit is noticed by looking every 10 ms.
    if (pidfd < 0) wait = std::min(wait, 10);
    int ready = n ? poll(fds, n, wait) : (usleep(static_cast<useconds_t>(wait) * 1000), 0);
    if (ready < 0 && errno != EINTR) break;
    if (pipeOpen && ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t got = read(out[0], buffer, sizeof buffer);
      if (got > 0) {
        size_t room = kProgramOutputLimit - result.output.size();
        result.output.append(buffer, std::min(room, static_cast<size_t>(got)));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        pipeOpen = false;
      }
    }
    if (!pipeOpen || pidfd >= 0) exited = TryReap(pid, status);
  }
  if (exited) {
    // Output still buffered in the pipe after the exit.
    while (pipeOpen) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 0) <= 0) break;
      ssize_t got = read(out[0], buffer, sizeof buffer);
      if (got <= 0) break;
      size_t room = kProgramOutputLimit - result.output.size();
      result.output.append(buffer, std::min(room, static_cast<size_t>(got)));
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  } else {
    result.timedOut = true;
    KillAndReap(pid);
  }
  if (pidfd >= 0) close(pidfd);
  close(out[0]);
  return result;
}

}  // namespace platform
