#include "Quorvane/app/dns_cache_flush.h"

#include <atomic>
#include <thread>

#include "Quorvane/foundation/log.h"
#include "Quorvane/platform/run_program.h"

namespace {

// Any flush thread; exchanged, so two failing at once log once.
std::atomic<bool> g_bFlushErrorLogged{false};

}  // namespace

bool FlushDnsCacheNow(std::wstring& error) {
  platform::SProgramResult result = platform::RunProgram({"resolvectl", "flush-caches"}, kFlushTimeoutMs);
  if (!result.started) {
    error = L"Could not clear DNS cache. CreateProcess failed with error " + std::to_wstring(result.spawnError);
    return false;
  }
  if (result.timedOut) {
    error = L"Could not clear DNS cache - timeout";
    return false;
  }
  if (result.exitCode != 0) {
    error = L"Could not clear DNS cache. resolvectl failed with exit code " + std::to_wstring(result.exitCode);
    return false;
  }
  CLogMessage().Append(LogDebug, L"DNS cache cleared.");
  return true;
}

void FlushDnsCacheThread() {
  std::wstring error;
  if (!FlushDnsCacheNow(error) && !g_bFlushErrorLogged.exchange(true)) CLogMessage().SetError().Append(LogError, error);
}

void FlushSystemDnsCache() { std::thread(FlushDnsCacheThread).detach(); }

void ResetFlushErrorLoggedForTesting() { g_bFlushErrorLogged = false; }
