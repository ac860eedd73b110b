#include "PalvexDrv/filter_registration.h"

#include "PalvexDrv/connect_redirection.h"
#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/engine_state.h"
#include "PalvexDrv/event_queue.h"

NTSTATUS TvnRegisterCallouts(DEVICE_OBJECT*, WDFDRIVER) {
  TvnEventListInitialize();
  return STATUS_SUCCESS;
}

void TvnUnregisterCallouts() {
  g_TvnStarted.store(false);
  TvnRemoveAllFlows(false);
  TvnPurgePendingConnects(true);
  TvnEventListPurge(false);
}
