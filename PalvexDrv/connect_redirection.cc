#include "PalvexDrv/connect_redirection.h"

uint32_t TvnPendingConnectCount() { return 0; }

void TvnPurgePendingConnects(bool) {}

NTSTATUS TvnCompleteRedirect(const DriverEvent*) { return STATUS_NO_SUCH_ALIAS; }
