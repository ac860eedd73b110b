// Filtering registration and teardown. Until the filtering objects are
// registered, registration only prepares the driver's lists: no callout is
// registered and every packet passes untouched.
#pragma once

#include "PalvexDrv/kernel/wdf.h"

// At device creation, before the device takes requests. A failure leaves
// nothing registered.
NTSTATUS TvnRegisterCallouts(DEVICE_OBJECT* deviceObject, WDFDRIVER driver);
// At unload and after a failed registration: stops the engine without a
// message, drops flows and pending connects and frees every queued event.
void TvnUnregisterCallouts();
