#include "Quorvane/foundation/run_mode.h"

#include <atomic>

namespace {
ERunMode DefaultRunMode() { return RunModeNormal; }
std::atomic<RunModeHook> g_RunModeHook{&DefaultRunMode};
}  // namespace

void SetRunModeHook(RunModeHook hook) { g_RunModeHook.store(hook ? hook : &DefaultRunMode); }
ERunMode CurrentRunMode() { return g_RunModeHook.load()(); }
