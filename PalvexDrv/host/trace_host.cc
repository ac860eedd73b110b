// The trace facility of the host: one line per message on standard error,
// which the service manager keeps in the journal. Verbose and information
// lines only with PALVEXDRV_TRACE set.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "PalvexDrv/kernel/trace.h"

namespace {

std::mutex g_TraceMutex;
bool g_Verbose = false;  // set once, before the driver's threads run

}  // namespace

void WppInitTracing(DRIVER_OBJECT*, std::u16string_view) { g_Verbose = std::getenv("PALVEXDRV_TRACE") != nullptr; }

void WppCleanup(DRIVER_OBJECT*) {}

void TraceEvents(TRACE_LEVEL level, std::string_view text) {
  if (level > TRACE_LEVEL_WARNING && !g_Verbose) return;
  std::lock_guard lock(g_TraceMutex);
  std::fprintf(stderr, "palvexdrv: %.*s\n", static_cast<int>(text.size()), text.data());
}
