// A process that crashes the way it is told, with the crash reporter
// installed as the program installs it, for crash_reporter_test.cc:
//
//   crash_child service|desktop null|abort|throw|fatal|fatal-empty|twice LOGFILE
//   crash_child --crash-box DUMP MESSAGE   (the box: writes both to $CRASH_BOX_RECORD)
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "Quorvane/app/crash_reporter.h"
#include "Quorvane/foundation/fatal_error.h"

namespace {

volatile int* g_null = nullptr;

[[noreturn]] void Throw() { throw std::runtime_error("thrown and never caught"); }

// The sanitizer builds would report the null load themselves; the real
// fault is what the reporter is for.
__attribute__((no_sanitize_undefined, no_sanitize_address)) int LoadNull() { return *g_null; }
__attribute__((no_sanitize_undefined, no_sanitize_address)) void StoreNull() { *g_null = 2; }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--crash-box") {
    std::ofstream(std::getenv("CRASH_BOX_RECORD")) << argv[2] << "\n" << argv[3];
    return 0;
  }
  if (argc != 4) return 2;
  const std::string how = argv[2];
  InstallCrashHandlers(std::string(argv[1]) != "service");
  SetCrashLogFile(argv[3]);
  if (how == "null") return LoadNull();
  if (how == "abort") std::abort();
  if (how == "throw") Throw();
  if (how == "fatal") ReportFatalError(L"Fatal Error: CSafeTimer::CloseTimer() racing condition.", true);
  if (how == "fatal-empty") ReportFatalError(L"", true);
  if (how == "twice") {
    // A second thread crashes while the first report sleeps.
    std::thread([] {
      usleep(300 * 1000);
      StoreNull();
    }).detach();
    std::abort();
  }
  return 3;
}
