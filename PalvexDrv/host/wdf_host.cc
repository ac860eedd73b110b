// The framework side of the host's kernel facade: driver, device, queues,
// and requests that arrive as frames on the control socket.
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PalvexDrv/host/kernel_host.h"
#include "PalvexDrv/kernel/trace.h"
#include "PalvexDrv/kernel/wdf_objects.h"
#include "shared/control_framing.h"

struct WDFDEVICE_INIT {
  bool exclusive = false;
  WDF_FILEOBJECT_CONFIG fileConfig;
};

struct WDFDEVICE__ {
  WDFDEVICE_INIT init;
  DEVICE_OBJECT wdm;
  std::vector<std::unique_ptr<WDFQUEUE__>> queues;
  WDFQUEUE defaultQueue = nullptr;
  bool initialized = false;
};

struct WDFFILEOBJECT__ {
  int unused = 0;
};

// Parked requests one handle may have; beyond it, parking fails with
// STATUS_INSUFFICIENT_RESOURCES.
constexpr size_t kMaxParkedRequestsPerFile = 256;

// Lives from its frame's arrival to its completion, which frees it.
struct WDFREQUEST__ {
  uint64_t tag = 0;
  uint32_t code = 0;
  std::vector<uint8_t> input;
  // The output buffer exists only once the driver retrieves it to complete
  // the request: a request that waits holds none, whatever it asked for.
  uint32_t outputCapacity = 0;
  std::vector<uint8_t> output;
  WDFFILEOBJECT file = nullptr;
  bool parked = false;
  WDFQUEUE queue = nullptr;  // where it was parked
  std::shared_ptr<CControlOutput> replies;
};

namespace {

struct SHostState {
  std::mutex mutex;  // everything below but dispatch
  DRIVER_OBJECT* driverObject = nullptr;
  WDFDRIVER driver = nullptr;
  std::unique_ptr<WDFDEVICE__> device;
  WDFFILEOBJECT openFile = nullptr;
  std::mutex dispatch;  // requests reach the callback one at a time
};

SHostState& Host() {
  static SHostState state;
  return state;
}

// One client of the control socket: one handle on the device.
class CDeviceSession : public IControlSession {
 public:
  CDeviceSession(std::shared_ptr<CControlOutput> output, WDFFILEOBJECT file)
      : m_output(std::move(output)), m_file(file) {}

  void OnReceive(const uint8_t* bytes, size_t length) override {
    m_reader.Append(bytes, length);
    for (;;) {
      SControlRequest frame;
      EFrameStatus status = m_reader.NextRequest(frame);
      if (status == EFrameStatus::NeedMore) return;
      if (status == EFrameStatus::Invalid) {
        m_output->Disconnect();
        return;
      }
      Dispatch(std::move(frame));
    }
  }

  void OnClose() override {
    std::vector<WDFREQUEST> cancelled;
    PFN_WDF_FILE_CLOSE close = nullptr;
    {
      std::lock_guard lock(Host().mutex);
      if (Host().device) {
        close = Host().device->init.fileConfig.EvtFileClose;
        for (auto& queue : Host().device->queues) {
          std::vector<WDFREQUEST> taken = queue->TakeParked([&](WDFREQUEST r) { return r->file == m_file; });
          cancelled.insert(cancelled.end(), taken.begin(), taken.end());
        }
      }
    }
    for (WDFREQUEST request : cancelled) WdfRequestComplete(request, STATUS_CANCELLED);
    if (close) close(m_file);
    std::lock_guard lock(Host().mutex);
    if (Host().openFile == m_file) Host().openFile = nullptr;
    delete m_file;
  }

 private:
  void Dispatch(SControlRequest frame) {
    WDFQUEUE queue;
    {
      std::lock_guard lock(Host().mutex);
      queue = Host().device ? Host().device->defaultQueue : nullptr;
    }
    auto* request = new WDFREQUEST__;
    request->tag = frame.tag;
    request->code = frame.code;
    request->input = std::move(frame.input);
    request->outputCapacity = frame.outputCapacity;
    request->file = m_file;
    request->replies = m_output;
    if (!queue || !queue->config.EvtIoDeviceControl) {
      WdfRequestComplete(request, STATUS_INVALID_PARAMETER);
      return;
    }
    {
      std::lock_guard dispatch(Host().dispatch);
      queue->config.EvtIoDeviceControl(queue, request, request->outputCapacity, request->input.size(), request->code);
    }
    khost::RunInjectionCompletions();
  }

  std::shared_ptr<CControlOutput> m_output;
  WDFFILEOBJECT m_file;
  CControlFrameReader m_reader;
};

}  // namespace

namespace khost {

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry) {
  {
    std::lock_guard lock(Host().mutex);
    if (Host().driverObject) return STATUS_UNSUCCESSFUL;
    Host().driverObject = new DRIVER_OBJECT;
  }
  NTSTATUS status = entry(Host().driverObject, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PalvexDrv");
  if (NT_SUCCESS(status)) return status;
  std::lock_guard lock(Host().mutex);
  delete Host().driver;
  Host().driver = nullptr;
  Host().device.reset();
  delete Host().driverObject;
  Host().driverObject = nullptr;
  return status;
}

void UnloadDriver() {
  WDFDRIVER driver;
  {
    std::lock_guard lock(Host().mutex);
    driver = Host().driver;
  }
  if (!driver) return;
  if (driver->config.EvtDriverUnload) driver->config.EvtDriverUnload(driver);
  if (driver->attributes.EvtCleanupCallback) driver->attributes.EvtCleanupCallback(driver);
  std::lock_guard lock(Host().mutex);
  Host().device.reset();
  delete Host().driver;
  Host().driver = nullptr;
  delete Host().driverObject;
  Host().driverObject = nullptr;
}

ControlSessionFactory DeviceSessionFactory() {
  return [](std::shared_ptr<CControlOutput> output, const SPeerCredentials& peer,
            uint32_t* openStatus) -> std::unique_ptr<IControlSession> {
    std::lock_guard lock(Host().mutex);
    if (!Host().device || !Host().device->initialized) {
      *openStatus = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    if (Host().openFile && Host().device->init.exclusive) {
      *openStatus = ERROR_ACCESS_DENIED;
      return nullptr;
    }
    Host().openFile = new WDFFILEOBJECT__;
    SetOwnerHint(peer.pid);
    return std::make_unique<CDeviceSession>(std::move(output), Host().openFile);
  };
}

}  // namespace khost

NTSTATUS WdfDriverCreate(DRIVER_OBJECT* driverObject, std::u16string_view, const WDF_OBJECT_ATTRIBUTES* attributes,
                         const WDF_DRIVER_CONFIG* config, WDFDRIVER* driver) {
  std::lock_guard lock(Host().mutex);
  if (Host().driver || driverObject != Host().driverObject) return STATUS_UNSUCCESSFUL;
  auto* created = new WDFDRIVER__;
  created->driverObject = driverObject;
  created->config = *config;
  if (attributes) created->attributes = *attributes;
  Host().driver = created;
  *driver = created;
  return STATUS_SUCCESS;
}

DRIVER_OBJECT* WdfDriverWdmGetDriverObject(WDFDRIVER driver) { return driver->driverObject; }

// The SDDL strings have no Linux meaning: the socket's owner, mode and
// peer check stand for them.
PWDFDEVICE_INIT WdfControlDeviceInitAllocate(WDFDRIVER, std::u16string_view) { return new WDFDEVICE_INIT; }
void WdfDeviceInitFree(PWDFDEVICE_INIT init) { delete init; }
void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT init, bool exclusive) { init->exclusive = exclusive; }
void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT, uint32_t) {}
NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT, std::u16string_view) { return STATUS_SUCCESS; }

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT init, const WDF_FILEOBJECT_CONFIG* config,
                                      const WDF_OBJECT_ATTRIBUTES*) {
  init->fileConfig = *config;
}

NTSTATUS WdfDeviceInitAssignSDDL(PWDFDEVICE_INIT, std::u16string_view) { return STATUS_SUCCESS; }

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* init, const WDF_OBJECT_ATTRIBUTES*, WDFDEVICE* device) {
  std::lock_guard lock(Host().mutex);
  if (Host().device) return STATUS_UNSUCCESSFUL;
  Host().device = std::make_unique<WDFDEVICE__>();
  Host().device->init = **init;
  delete *init;
  *init = nullptr;
  *device = Host().device.get();
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE, std::u16string_view) { return STATUS_SUCCESS; }
DEVICE_OBJECT* WdfDeviceWdmGetDeviceObject(WDFDEVICE device) { return &device->wdm; }

void WdfControlFinishInitializing(WDFDEVICE device) {
  std::lock_guard lock(Host().mutex);
  device->initialized = true;
}

NTSTATUS WdfIoQueueCreate(WDFDEVICE device, const WDF_IO_QUEUE_CONFIG* config, const WDF_OBJECT_ATTRIBUTES*,
                          WDFQUEUE* queue) {
  std::lock_guard lock(Host().mutex);
  auto created = std::make_unique<WDFQUEUE__>();
  created->config = *config;
  if (config->DefaultQueue) device->defaultQueue = created.get();
  *queue = created.get();
  device->queues.push_back(std::move(created));
  return STATUS_SUCCESS;
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE queue, WDFREQUEST* request) {
  std::lock_guard lock(queue->mutex);
  if (queue->parked.empty()) return STATUS_NO_MORE_ENTRIES;
  *request = queue->parked.front();
  queue->parked.pop_front();
  return STATUS_SUCCESS;
}

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST request, WDFQUEUE queue) {
  if (queue->config.DispatchType != WdfIoQueueDispatchManual) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(queue->mutex);
  size_t parked = 0;
  for (WDFREQUEST waiting : queue->parked)
    if (waiting->file == request->file) ++parked;
  // A client may not make the host hold requests without end.
  if (parked >= kMaxParkedRequestsPerFile) return STATUS_INSUFFICIENT_RESOURCES;
  request->parked = true;
  request->queue = queue;
  queue->parked.push_back(request);
  return STATUS_SUCCESS;
}

void WdfRequestGetParameters(WDFREQUEST request, WDF_REQUEST_PARAMETERS* parameters) {
  parameters->IoControlCode = request->code;
  parameters->InputBufferLength = request->input.size();
  parameters->OutputBufferLength = request->outputCapacity;
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST request, size_t minimumRequired, void** buffer, size_t* length) {
  return RetrieveRequestBuffer(request->input, minimumRequired, buffer, length);
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST request, size_t minimumRequired, void** buffer, size_t* length) {
  if (request->outputCapacity == 0 || request->outputCapacity < minimumRequired) return STATUS_BUFFER_TOO_SMALL;
  if (request->output.empty()) request->output.assign(request->outputCapacity, 0);
  return RetrieveRequestBuffer(request->output, minimumRequired, buffer, length);
}

void WdfRequestCompleteWithInformation(WDFREQUEST request, NTSTATUS status, uint64_t information) {
  // The driver drains its parked reads until one finds nothing to read and
  // completes that one empty; the client would only send it again, so it
  // goes back to the head of its queue instead, and nobody is woken for it.
  if (status == STATUS_SUCCESS && information == 0 && request->parked && request->queue &&
      request->outputCapacity != 0) {
    std::lock_guard lock(request->queue->mutex);
    std::vector<uint8_t>().swap(request->output);  // a waiting request holds no buffer
    request->queue->parked.push_front(request);
    return;
  }
  SControlReply reply;
  reply.tag = request->tag;
  reply.status = status;
  reply.information = information;
  reply.parked = request->parked;
  if (!NT_ERROR(status)) {
    // Never more than the driver wrote into, whatever it reports; the
    // reply holds only those bytes.
    size_t bytes = std::min<uint64_t>(information, request->output.size());
    reply.output.assign(request->output.begin(), request->output.begin() + static_cast<ptrdiff_t>(bytes));
  }
  std::vector<uint8_t> frame;
  EncodeReply(reply, frame);
  request->replies->Send(std::move(frame));
  delete request;
}

void WdfRequestComplete(WDFREQUEST request, NTSTATUS status) { WdfRequestCompleteWithInformation(request, status, 0); }
