// Connect redirection. Its callouts are never registered, so no connect is
// ever pended: the pending-connect list stays empty, purges find nothing and
// CompleteRedirect never finds its connect.
#pragma once

#include <cstdint>

#include "shared/driver_records.h"
#include "shared/ntstatus.h"

// Pending connects held.
uint32_t TvnPendingConnectCount();
// Completes and frees pending connects: all of them, or the expired ones.
void TvnPurgePendingConnects(bool all);
// The CompleteRedirect request once its header passed the request checks:
// STATUS_NO_SUCH_ALIAS when no connect is pending with its classifyHandle.
NTSTATUS TvnCompleteRedirect(const DriverEvent* header);
