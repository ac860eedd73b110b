// The driver object and its one control device: load, unload, and the
// closing of the client's handle.
#pragma once

#include "PalvexDrv/kernel/wdf.h"

// Loads the driver: trace facility, driver object (no plug and play),
// control device with its queues and filtering registration. On failure
// everything made is undone and the status returned
// (STATUS_INSUFFICIENT_RESOURCES when no device init could be allocated).
NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, std::u16string_view registryPath);

// The exclusive control device "\Device\PalvexDrv", reachable as
// "\DosDevices\Global\PalvexDrv". init is freed on failure.
NTSTATUS TvnCreateDevice(WDFDRIVER driver, PWDFDEVICE_INIT init);
// The sequential default queue and the manual queue of parked reads.
NTSTATUS TvnCreateQueues(WDFDEVICE device);

void TvnEvtDriverUnload(WDFDRIVER driver);
void TvnEvtDriverContextCleanup(WDFOBJECT driver);
// The client's handle closed: the engine stops as by a Stop request.
void TvnEvtFileClose(WDFFILEOBJECT fileObject);
