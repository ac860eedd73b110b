// Runs an outside program from an argv vector (never a shell string) and
// collects its standard output, with a hard time bound: a program that has not
// finished by then is killed together with everything it started. Stands in
// for the synchronous system queries the program would otherwise make.
// Any thread; the bound is real time (CLOCK_MONOTONIC), not the program clock.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct SProgramResult {
  bool started = false;   // false: the program does not exist or could not be spawned
  int spawnError = 0;     // with started false: the errno of the spawn (2: no such program)
  bool timedOut = false;  // killed at the bound; output holds what came before
  int exitCode = -1;      // the exit status when it exited normally, else -1
  std::string output;     // standard output, at most kProgramOutputLimit bytes
};

constexpr size_t kProgramOutputLimit = 1 << 20;
constexpr int kProgramTimeoutMs = 2000;

// argv[0] is looked up in PATH unless it holds a "/". Standard input and error
// are /dev/null; the program runs in its own process group under
// LC_ALL=C.UTF-8 so that its output does not depend on the user's language.
SProgramResult RunProgram(const std::vector<std::string>& argv, int timeoutMs = kProgramTimeoutMs);

}  // namespace platform
