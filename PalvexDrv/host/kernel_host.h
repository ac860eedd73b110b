// The real backend of the kernel facade's framework side, for palvexdrv:
// the driver is loaded in-process, its control device is the control
// socket, and each connected client is one handle on the device. Requests
// reach the device-control callback one at a time, on the socket server's
// thread; a parked request is completed by whichever thread completes it,
// and its reply is queued to the client's writer thread. The client's
// disconnect cancels its parked requests, then runs the file-close
// callback.
#pragma once

#include "PalvexDrv/host/control_socket_server.h"
#include "PalvexDrv/kernel/wdf.h"

namespace khost {

// Runs the entry point with a fresh driver object; the driver stays loaded
// when it returns success.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry);
// Runs the unload and cleanup callbacks and frees the device. The control
// socket server must be stopped first, so no client holds the device.
void UnloadDriver();
// The sessions of the control socket: one handle on the device each.
ControlSessionFactory DeviceSessionFactory();

}  // namespace khost
