#include "PalvexDrv/device.h"

#include "PalvexDrv/device_control.h"
#include "PalvexDrv/driver_config.h"
#include "PalvexDrv/engine_state.h"
#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/filter_registration.h"
#include "PalvexDrv/kernel/trace.h"

namespace {

constexpr std::u16string_view kControlInitSddl = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr std::u16string_view kDeviceSddl = u"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)";
constexpr std::u16string_view kDeviceName = u"\\Device\\PalvexDrv";
constexpr std::u16string_view kSymbolicLink = u"\\DosDevices\\Global\\PalvexDrv";

}  // namespace

NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, std::u16string_view registryPath) {
  WppInitTracing(driverObject, registryPath);
  WDF_DRIVER_CONFIG config;
  config.EvtDriverUnload = TvnEvtDriverUnload;
  config.DriverInitFlags = WdfDriverInitNonPnpDriver;
  WDF_OBJECT_ATTRIBUTES attributes;
  attributes.EvtCleanupCallback = TvnEvtDriverContextCleanup;
  attributes.ExecutionLevel = WdfExecutionLevelPassive;
  WDFDRIVER driver = nullptr;
  NTSTATUS status = WdfDriverCreate(driverObject, registryPath, &attributes, &config, &driver);
  if (NT_SUCCESS(status)) {
    PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(driver, kControlInitSddl);
    status = init ? TvnCreateDevice(driver, init) : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    g_TvnPendingReadQueue = nullptr;  // deleted with the failed device
    TraceEvents(TRACE_LEVEL_ERROR, "DriverEntry failed");
    WppCleanup(driverObject);
  }
  return status;
}

NTSTATUS TvnCreateDevice(WDFDRIVER driver, PWDFDEVICE_INIT init) {
  WdfDeviceInitSetExclusive(init, true);
  WdfDeviceInitSetDeviceType(init, FILE_DEVICE_NETWORK);
  WDFDEVICE device = nullptr;
  NTSTATUS status = WdfDeviceInitAssignName(init, kDeviceName);
  if (NT_SUCCESS(status)) {
    WDF_FILEOBJECT_CONFIG fileConfig;
    fileConfig.EvtFileClose = TvnEvtFileClose;
    WdfDeviceInitSetFileObjectConfig(init, &fileConfig, nullptr);
    status = WdfDeviceInitAssignSDDL(init, kDeviceSddl);
  }
  if (NT_SUCCESS(status)) status = WdfDeviceCreate(&init, nullptr, &device);
  if (NT_SUCCESS(status)) status = WdfDeviceCreateSymbolicLink(device, kSymbolicLink);
  if (NT_SUCCESS(status)) status = TvnCreateQueues(device);
  if (NT_SUCCESS(status)) status = TvnRegisterCallouts(WdfDeviceWdmGetDeviceObject(device), driver);
  if (NT_SUCCESS(status)) WdfControlFinishInitializing(device);
  // Once the device exists it owns the init, and goes with the driver.
  if (!NT_SUCCESS(status) && init) WdfDeviceInitFree(init);
  return status;
}

NTSTATUS TvnCreateQueues(WDFDEVICE device) {
  WDF_IO_QUEUE_CONFIG config;
  WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
  config.EvtIoDeviceControl = TvnEvtIoDeviceControl;
  WDFQUEUE queue = nullptr;
  NTSTATUS status = WdfIoQueueCreate(device, &config, nullptr, &queue);
  if (!NT_SUCCESS(status)) return status;

  WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
  config.PowerManaged = false;
  WDF_OBJECT_ATTRIBUTES attributes;
  attributes.ExecutionLevel = WdfExecutionLevelDispatch;
  attributes.SynchronizationScope = WdfSynchronizationScopeNone;
  return WdfIoQueueCreate(device, &config, &attributes, &g_TvnPendingReadQueue);
}

void TvnEvtDriverUnload(WDFDRIVER) {
  TvnUnregisterCallouts();
  TvnReleaseConfig();
  g_TvnPendingReadQueue = nullptr;  // goes with the device
}

void TvnEvtDriverContextCleanup(WDFOBJECT driver) {
  WppCleanup(WdfDriverWdmGetDriverObject(static_cast<WDFDRIVER>(driver)));
}

void TvnEvtFileClose(WDFFILEOBJECT) { TvnStopEngine(false); }
