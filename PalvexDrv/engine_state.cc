#include "PalvexDrv/engine_state.h"

#include "PalvexDrv/connect_redirection.h"
#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/driver_config.h"
#include "PalvexDrv/event_queue.h"

std::atomic<bool> g_TvnStarted{false};
std::atomic<bool> g_TvnWarnedPreviouslyInjected{false};
std::atomic<bool> g_TvnWarnedInjectedByOther{false};

NTSTATUS TvnStartEngine() {
  if (TvnAcquireConfig()->size == 0) return STATUS_DEVICE_CONFIGURATION_ERROR;
  if (g_TvnStarted.load()) return STATUS_ALREADY_REGISTERED;
  TvnEventListPurge(false);
  g_TvnWarnedPreviouslyInjected.store(false);
  g_TvnWarnedInjectedByOther.store(false);
  g_TvnStarted.store(true);
  TvnLogEvent("Tavrin started.", STATUS_SUCCESS, 1, true);
  return STATUS_SUCCESS;
}

bool TvnStopEngine(bool emergency) {
  // One exchange, so two concurrent stops never both purge and report.
  if (!g_TvnStarted.exchange(false)) return false;
  TvnPurgePendingConnects(true);
  TvnRemoveAllFlows(emergency);
  TvnEventListPurge(true);
  TvnLogEvent("Tavrin stopped.", emergency ? 1 : 0, 2, true);
  return true;
}
