// Whether the engine runs, and its start and stop.
#pragma once

#include <atomic>

#include "shared/ntstatus.h"

// Set by Start (the dispatcher); cleared by TvnStopEngine (the dispatcher,
// the file close, the stale-event test of any classify thread) and by the
// teardown. Read without a lock by the classify functions.
extern std::atomic<bool> g_TvnStarted;
// Once-per-start warnings of the datagram classification; cleared by Start,
// set by classify threads.
extern std::atomic<bool> g_TvnWarnedPreviouslyInjected;
extern std::atomic<bool> g_TvnWarnedInjectedByOther;

// The Start request: STATUS_DEVICE_CONFIGURATION_ERROR before any
// SetConfig, STATUS_ALREADY_REGISTERED when started. On success every queued
// event is discarded, the warnings are re-armed and "Tavrin started." is
// queued. Dispatcher only.
NTSTATUS TvnStartEngine();

// Stops a started engine: pending connects, flow contexts and every queued
// event but the log events go, then "Tavrin stopped." is queued with status
// 1 for an emergency stop, else 0. Any thread; when several stop at once,
// only the one that cleared the started flag does the work. Returns whether
// this call stopped the engine.
bool TvnStopEngine(bool emergency);
