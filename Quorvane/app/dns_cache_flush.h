// The flush of the system DNS cache, in place of "ipconfig /flushdns":
// `resolvectl flush-caches`, bounded by 4000 ms. Only the first failure of
// a run is logged. Each flush runs on a detached thread of its own.
#pragma once

#include <string>

constexpr int kFlushTimeoutMs = 4000;

// Starts FlushDnsCacheThread detached and returns at once.
void FlushSystemDnsCache();
// The thread body: FlushDnsCacheNow, and the first failure's text logged.
void FlushDnsCacheThread();
// One flush; false with the failure's text.
bool FlushDnsCacheNow(std::wstring& error);
// Back to "no failure logged yet", for tests.
void ResetFlushErrorLoggedForTesting();
