// The framework calls the driver makes: the driver object, one control
// device, its queues and the requests they deliver, under the framework's
// own names with simplified types. Handles are opaque; each backend defines
// what they point to (kernel_sim.cc for tests, the host for real use).
// A request must be completed or forwarded to a queue before the
// device-control callback returns, and not touched once completed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "shared/ntstatus.h"

struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct WDFDRIVER__;
struct WDFDEVICE__;
struct WDFQUEUE__;
struct WDFREQUEST__;
struct WDFFILEOBJECT__;
struct WDFDEVICE_INIT;
using WDFDRIVER = WDFDRIVER__*;
using WDFDEVICE = WDFDEVICE__*;
using WDFQUEUE = WDFQUEUE__*;
using WDFREQUEST = WDFREQUEST__*;
using WDFFILEOBJECT = WDFFILEOBJECT__*;
using WDFOBJECT = void*;
using PWDFDEVICE_INIT = WDFDEVICE_INIT*;

// The driver's entry point, called once by the backend when it loads the driver.
using PDRIVER_INITIALIZE = NTSTATUS (*)(DRIVER_OBJECT* driverObject, std::u16string_view registryPath);

using PFN_WDF_DRIVER_UNLOAD = void (*)(WDFDRIVER driver);
using PFN_WDF_OBJECT_CONTEXT_CLEANUP = void (*)(WDFOBJECT object);
using PFN_WDF_FILE_CLOSE = void (*)(WDFFILEOBJECT fileObject);
using PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL = void (*)(WDFQUEUE queue, WDFREQUEST request, size_t outputBufferLength,
                                                    size_t inputBufferLength, uint32_t ioControlCode);

enum WDF_EXECUTION_LEVEL { WdfExecutionLevelInheritFromParent, WdfExecutionLevelPassive, WdfExecutionLevelDispatch };
enum WDF_SYNCHRONIZATION_SCOPE { WdfSynchronizationScopeInheritFromParent, WdfSynchronizationScopeNone };

struct WDF_OBJECT_ATTRIBUTES {
  PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback = nullptr;
  WDF_EXECUTION_LEVEL ExecutionLevel = WdfExecutionLevelInheritFromParent;
  WDF_SYNCHRONIZATION_SCOPE SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
};

constexpr uint32_t WdfDriverInitNonPnpDriver = 0x1;

struct WDF_DRIVER_CONFIG {
  PFN_WDF_DRIVER_UNLOAD EvtDriverUnload = nullptr;
  uint32_t DriverInitFlags = 0;
};

struct WDF_FILEOBJECT_CONFIG {
  PFN_WDF_FILE_CLOSE EvtFileClose = nullptr;
};

enum WDF_IO_QUEUE_DISPATCH_TYPE { WdfIoQueueDispatchSequential, WdfIoQueueDispatchParallel, WdfIoQueueDispatchManual };

struct WDF_IO_QUEUE_CONFIG {
  WDF_IO_QUEUE_DISPATCH_TYPE DispatchType = WdfIoQueueDispatchSequential;
  bool DefaultQueue = false;
  bool PowerManaged = true;
  PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl = nullptr;
};

inline void WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(WDF_IO_QUEUE_CONFIG* config, WDF_IO_QUEUE_DISPATCH_TYPE type) {
  *config = WDF_IO_QUEUE_CONFIG{};
  config->DispatchType = type;
  config->DefaultQueue = true;
}

inline void WDF_IO_QUEUE_CONFIG_INIT(WDF_IO_QUEUE_CONFIG* config, WDF_IO_QUEUE_DISPATCH_TYPE type) {
  *config = WDF_IO_QUEUE_CONFIG{};
  config->DispatchType = type;
}

// A device-control request's parameters.
struct WDF_REQUEST_PARAMETERS {
  uint32_t IoControlCode = 0;
  size_t InputBufferLength = 0;
  size_t OutputBufferLength = 0;
};

constexpr uint32_t FILE_DEVICE_NETWORK = 0x12;

NTSTATUS WdfDriverCreate(DRIVER_OBJECT* driverObject, std::u16string_view registryPath,
                         const WDF_OBJECT_ATTRIBUTES* attributes, const WDF_DRIVER_CONFIG* config, WDFDRIVER* driver);
DRIVER_OBJECT* WdfDriverWdmGetDriverObject(WDFDRIVER driver);

// Null when out of resources.
PWDFDEVICE_INIT WdfControlDeviceInitAllocate(WDFDRIVER driver, std::u16string_view sddl);
void WdfDeviceInitFree(PWDFDEVICE_INIT init);
void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT init, bool exclusive);
void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT init, uint32_t deviceType);
NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT init, std::u16string_view name);
void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT init, const WDF_FILEOBJECT_CONFIG* config,
                                      const WDF_OBJECT_ATTRIBUTES* attributes);
NTSTATUS WdfDeviceInitAssignSDDL(PWDFDEVICE_INIT init, std::u16string_view sddl);
// On success *init is consumed and set to null; on failure the caller still owns it.
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* init, const WDF_OBJECT_ATTRIBUTES* attributes, WDFDEVICE* device);
NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE device, std::u16string_view name);
DEVICE_OBJECT* WdfDeviceWdmGetDeviceObject(WDFDEVICE device);
// Opens the device to clients.
void WdfControlFinishInitializing(WDFDEVICE device);

NTSTATUS WdfIoQueueCreate(WDFDEVICE device, const WDF_IO_QUEUE_CONFIG* config, const WDF_OBJECT_ATTRIBUTES* attributes,
                          WDFQUEUE* queue);
// STATUS_NO_MORE_ENTRIES when the manual queue is empty.
NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE queue, WDFREQUEST* request);
// Parks the request in a manual queue; once it succeeds the request may be
// completed by any thread at any moment.
NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST request, WDFQUEUE queue);

void WdfRequestGetParameters(WDFREQUEST request, WDF_REQUEST_PARAMETERS* parameters);
// STATUS_BUFFER_TOO_SMALL when the buffer is empty or shorter than minimumRequired.
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST request, size_t minimumRequired, void** buffer, size_t* length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST request, size_t minimumRequired, void** buffer, size_t* length);
// information: bytes of output on success; a failure passes it to the caller
// too, with no bytes.
void WdfRequestCompleteWithInformation(WDFREQUEST request, NTSTATUS status, uint64_t information);
void WdfRequestComplete(WDFREQUEST request, NTSTATUS status);
