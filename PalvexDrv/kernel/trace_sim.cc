// The trace facility of the simulated backend keeps the lines for tests.
#include <mutex>

#include "PalvexDrv/kernel/kernel_sim.h"
#include "PalvexDrv/kernel/trace.h"

namespace {

constexpr size_t kMaxTraceLines = 100000;  // a runaway test stays bounded

struct STrace {
  std::mutex mutex;
  std::vector<std::string> lines;
  bool running = false;
};

STrace& Trace() {
  static STrace trace;
  return trace;
}

}  // namespace

void WppInitTracing(DRIVER_OBJECT*, std::u16string_view) {
  std::lock_guard lock(Trace().mutex);
  Trace().running = true;
}

void WppCleanup(DRIVER_OBJECT*) {
  std::lock_guard lock(Trace().mutex);
  Trace().running = false;
}

void TraceEvents(TRACE_LEVEL, std::string_view text) {
  std::lock_guard lock(Trace().mutex);
  if (Trace().lines.size() < kMaxTraceLines) Trace().lines.emplace_back(text);
}

namespace ksim {

std::vector<std::string> TraceLines() {
  std::lock_guard lock(Trace().mutex);
  return Trace().lines;
}

void ClearTrace() {
  std::lock_guard lock(Trace().mutex);
  Trace().lines.clear();
}

bool TraceRunning() {
  std::lock_guard lock(Trace().mutex);
  return Trace().running;
}

}  // namespace ksim
