// The framework part of the simulated backend: driver, device, queues,
// requests, client handles and the control-socket connection over them.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <utility>

#include "PalvexDrv/kernel/kernel_sim.h"
#include "PalvexDrv/kernel/sim_internal.h"
#include "PalvexDrv/kernel/wdf.h"
#include "PalvexDrv/kernel/wdf_objects.h"

struct WDFDEVICE_INIT {
  bool exclusive = false;
  uint32_t deviceType = 0;
  std::u16string name, sddl, controlSddl;
  WDF_FILEOBJECT_CONFIG fileConfig;
};

struct WDFDEVICE__ {
  WDFDEVICE_INIT init;
  std::u16string symbolicLink;
  DEVICE_OBJECT wdm;
  std::vector<std::unique_ptr<WDFQUEUE__>> queues;
  WDFQUEUE defaultQueue = nullptr;
  bool initialized = false;
};

struct WDFFILEOBJECT__ {
  ksim::CClient* owner = nullptr;
};

namespace {

enum class ERequestState { Presented, Queued, Completed };

}  // namespace

struct WDFREQUEST__ {
  uint32_t code = 0;
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;
  WDFFILEOBJECT file = nullptr;
  std::mutex mutex;
  std::condition_variable done;
  ERequestState state = ERequestState::Presented;
  bool leftDispatch = false;  // completed or forwarded by the callback
  ksim::SCompletion completion;
  std::function<void(const ksim::SCompletion&)> onComplete;
};

namespace {

struct SSimState {
  std::mutex mutex;  // everything below
  DRIVER_OBJECT* driverObject = nullptr;
  WDFDRIVER driver = nullptr;
  std::unique_ptr<WDFDEVICE__> device;
  int liveInits = 0;
  WDFFILEOBJECT openFile = nullptr;
  // Chosen failures of one function: its calls are counted only while one
  // is pending, so "the nth call from now on" is that count plus n.
  struct SFailures {
    uint64_t calls = 0;
    std::map<uint64_t, NTSTATUS> at;  // call number -> status
  };
  std::map<std::string, SFailures, std::less<>> failures;
  ksim::SDeviceInfo info;
  std::function<void()> beforeForward;
  // Requests reach the device-control callback one at a time.
  std::mutex dispatch;
};

SSimState& Sim() {
  static SSimState state;
  return state;
}


}  // namespace

std::optional<NTSTATUS> ksim::TakeFailure(std::string_view function) {
  std::lock_guard lock(Sim().mutex);
  auto it = Sim().failures.find(function);
  if (it == Sim().failures.end()) return std::nullopt;
  SSimState::SFailures& f = it->second;
  auto failure = f.at.find(++f.calls);
  if (failure == f.at.end()) return std::nullopt;
  NTSTATUS status = failure->second;
  f.at.erase(failure);
  if (f.at.empty()) Sim().failures.erase(it);
  return status;
}

namespace {

using ksim::TakeFailure;

// The driver may use a request only between its delivery and its completion
// or forwarding.
void CheckPresented(WDFREQUEST request, const char* function) {
  std::lock_guard lock(request->mutex);
  if (request->state != ERequestState::Presented)
    ksim::Fatal(std::string(function) + ": request is parked or already completed");
}

NTSTATUS RetrieveBuffer(WDFREQUEST request, std::vector<uint8_t>& bytes, size_t minimumRequired, void** buffer,
                        size_t* length, const char* function) {
  CheckPresented(request, function);
  if (auto failure = TakeFailure(function)) return *failure;
  return RetrieveRequestBuffer(bytes, minimumRequired, buffer, length);
}

}  // namespace

namespace ksim {

void Fatal(std::string_view text) {
  std::fprintf(stderr, "kernel facade: %.*s\n", static_cast<int>(text.size()), text.data());
  std::abort();
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry) {
  {
    std::lock_guard lock(Sim().mutex);
    if (Sim().driverObject) Fatal("LoadDriver: already loaded");
    Sim().driverObject = new DRIVER_OBJECT;
    Sim().info = SDeviceInfo{};
  }
  NTSTATUS status = entry(Sim().driverObject, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PalvexDrv");
  if (NT_SUCCESS(status)) return status;
  // A driver whose entry fails is deleted with everything it created; its
  // callbacks do not run.
  CheckFilteringReleased();
  std::lock_guard lock(Sim().mutex);
  delete Sim().driver;
  Sim().driver = nullptr;
  Sim().device.reset();
  delete Sim().driverObject;
  Sim().driverObject = nullptr;
  return status;
}

void UnloadDriver() {
  WDFFILEOBJECT file;
  WDFDRIVER driver;
  {
    std::lock_guard lock(Sim().mutex);
    if (!Sim().driver) Fatal("UnloadDriver: not loaded");
    file = Sim().openFile;
    driver = Sim().driver;
  }
  if (file) file->owner->Close();
  if (driver->config.EvtDriverUnload) driver->config.EvtDriverUnload(driver);
  if (driver->attributes.EvtCleanupCallback) driver->attributes.EvtCleanupCallback(driver);
  CheckFilteringReleased();
  std::lock_guard lock(Sim().mutex);
  if (Sim().device)
    for (auto& queue : Sim().device->queues)
      if (!queue->parked.empty()) Fatal("UnloadDriver: requests left in a queue");
  Sim().device.reset();
  delete Sim().driver;
  Sim().driver = nullptr;
  delete Sim().driverObject;
  Sim().driverObject = nullptr;
}

bool DriverLoaded() {
  std::lock_guard lock(Sim().mutex);
  return Sim().driver != nullptr;
}

SDeviceInfo DeviceInfo() {
  std::lock_guard lock(Sim().mutex);
  return Sim().info;
}

int LiveDeviceInits() {
  std::lock_guard lock(Sim().mutex);
  return Sim().liveInits;
}

void BeforeNextForward(std::function<void()> action) {
  std::lock_guard lock(Sim().mutex);
  Sim().beforeForward = std::move(action);
}

void FailNextCall(std::string_view function, NTSTATUS status) { FailNthCall(function, 1, status); }

void FailNthCall(std::string_view function, unsigned nth, NTSTATUS status) {
  if (nth == 0) Fatal("FailNthCall: nth counts from 1");
  std::lock_guard lock(Sim().mutex);
  auto it = Sim().failures.find(function);
  if (it == Sim().failures.end()) it = Sim().failures.emplace(std::string(function), SSimState::SFailures{}).first;
  it->second.at[it->second.calls + nth] = status;
}

size_t CancelFailures(std::string_view function) {
  std::lock_guard lock(Sim().mutex);
  auto it = Sim().failures.find(function);
  if (it == Sim().failures.end()) return 0;
  size_t pending = it->second.at.size();
  Sim().failures.erase(it);
  return pending;
}

size_t CancelFailures() {
  std::lock_guard lock(Sim().mutex);
  size_t pending = 0;
  for (const auto& [function, f] : Sim().failures) pending += f.at.size();
  Sim().failures.clear();
  return pending;
}

bool CRequest::Done() const {
  std::lock_guard lock(m_request->mutex);
  return m_request->state == ERequestState::Completed;
}

std::optional<SCompletion> CRequest::Wait(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_request->mutex);
  if (!m_request->done.wait_for(lock, timeout, [&] { return m_request->state == ERequestState::Completed; }))
    return std::nullopt;
  return m_request->completion;
}

CClient::~CClient() { Close(); }

uint32_t CClient::Open() {
  if (m_file) Fatal("CClient::Open: already open");
  std::lock_guard lock(Sim().mutex);
  if (!Sim().device || !Sim().device->initialized) return ERROR_FILE_NOT_FOUND;
  if (Sim().openFile && Sim().device->init.exclusive) return ERROR_ACCESS_DENIED;
  m_file = new WDFFILEOBJECT__{this};
  Sim().openFile = m_file;
  return 0;
}

CRequest CClient::Submit(uint32_t code, std::vector<uint8_t> input, uint32_t outputCapacity,
                         std::function<void(const SCompletion&)> onComplete) {
  if (!m_file) Fatal("CClient::Submit: handle not open");
  auto request = std::make_shared<WDFREQUEST__>();
  request->code = code;
  request->input = std::move(input);
  // Output the driver reports but never wrote shows as 0xCD.
  request->output.assign(outputCapacity, 0xCD);
  request->file = m_file;
  request->onComplete = std::move(onComplete);
  {
    std::lock_guard lock(m_mutex);
    // Completed requests are the caller's alone now; a long run stays bounded.
    std::erase_if(m_requests, [](const std::shared_ptr<WDFREQUEST__>& r) {
      std::lock_guard requestLock(r->mutex);
      return r->state == ERequestState::Completed;
    });
    m_requests.push_back(request);
  }
  WDFQUEUE queue;
  {
    std::lock_guard lock(Sim().mutex);
    if (!Sim().device) Fatal("CClient::Submit: the device is gone");
    queue = Sim().device->defaultQueue;
  }
  if (!queue || !queue->config.EvtIoDeviceControl) Fatal("Submit: the device has no device-control callback");
  {
    std::lock_guard dispatch(Sim().dispatch);
    queue->config.EvtIoDeviceControl(queue, request.get(), outputCapacity, request->input.size(), code);
    std::lock_guard lock(request->mutex);
    if (!request->leftDispatch) Fatal("device-control callback returned without completing or forwarding");
  }
  CRequest handle;
  handle.m_request = request;
  return handle;
}

SCompletion CClient::Call(uint32_t code, std::vector<uint8_t> input, uint32_t outputCapacity) {
  auto completion = Submit(code, std::move(input), outputCapacity).Wait(std::chrono::seconds(1));
  if (!completion) return SCompletion{STATUS_UNSUCCESSFUL, ~0ull, true, {}};
  return *completion;
}

void CClient::Close() {
  if (!m_file) return;
  WDFFILEOBJECT file = m_file;
  m_file = nullptr;
  std::vector<WDFREQUEST> cancelled;
  PFN_WDF_FILE_CLOSE close = nullptr;
  {
    std::lock_guard lock(Sim().mutex);
    if (Sim().device) {
      close = Sim().device->init.fileConfig.EvtFileClose;
      for (auto& queue : Sim().device->queues) {
        std::vector<WDFREQUEST> taken = queue->TakeParked([&](WDFREQUEST r) { return r->file == file; });
        cancelled.insert(cancelled.end(), taken.begin(), taken.end());
      }
    }
  }
  // The handle's outstanding requests are cancelled before the close callback.
  for (WDFREQUEST request : cancelled) {
    {
      std::lock_guard lock(request->mutex);
      request->state = ERequestState::Presented;
    }
    WdfRequestComplete(request, STATUS_CANCELLED);
  }
  if (close) close(file);
  {
    std::lock_guard lock(Sim().mutex);
    if (Sim().openFile == file) Sim().openFile = nullptr;
  }
  delete file;
  std::lock_guard lock(m_mutex);
  m_requests.clear();  // all completed now; handles keep their own
}

CConnection::CConnection() {
  uint32_t status = m_client.Open();
  m_output = EncodeOpenReply(status);
  m_closed = status != 0;
}

CConnection::~CConnection() { CloseNow(); }

void CConnection::Receive(const std::vector<uint8_t>& bytes) {
  if (Closed()) return;
  m_reader.Append(bytes.data(), bytes.size());
  for (;;) {
    SControlRequest request;
    EFrameStatus status = m_reader.NextRequest(request);
    if (status == EFrameStatus::NeedMore) return;
    if (status == EFrameStatus::Invalid) {
      CloseNow();
      return;
    }
    uint64_t tag = request.tag;
    m_client.Submit(request.code, std::move(request.input), request.outputCapacity,
                    [this, tag](const SCompletion& completion) {
                      SControlReply reply{tag, completion.status, completion.information, completion.parked,
                                          completion.output};
                      std::lock_guard lock(m_mutex);
                      if (!m_closed) EncodeReply(reply, m_output);
                    });
  }
}

void CConnection::EndOfStream() { CloseNow(); }

void CConnection::CloseNow() {
  {
    std::lock_guard lock(m_mutex);
    if (m_closed && !m_client.IsOpen()) return;
    m_closed = true;
  }
  m_client.Close();
}

std::vector<uint8_t> CConnection::TakeOutput() {
  std::lock_guard lock(m_mutex);
  return std::exchange(m_output, {});
}

bool CConnection::Closed() const {
  std::lock_guard lock(m_mutex);
  return m_closed;
}

}  // namespace ksim

NTSTATUS WdfDriverCreate(DRIVER_OBJECT* driverObject, std::u16string_view, const WDF_OBJECT_ATTRIBUTES* attributes,
                         const WDF_DRIVER_CONFIG* config, WDFDRIVER* driver) {
  if (auto failure = TakeFailure("WdfDriverCreate")) return *failure;
  std::lock_guard lock(Sim().mutex);
  if (Sim().driver || driverObject != Sim().driverObject) ksim::Fatal("WdfDriverCreate: called twice or out of DriverEntry");
  auto* created = new WDFDRIVER__;
  created->driverObject = driverObject;
  created->config = *config;
  if (attributes) created->attributes = *attributes;
  Sim().driver = created;
  Sim().info.driverNonPnp = (config->DriverInitFlags & WdfDriverInitNonPnpDriver) != 0;
  Sim().info.hasUnload = config->EvtDriverUnload != nullptr;
  Sim().info.hasCleanup = attributes && attributes->EvtCleanupCallback != nullptr;
  *driver = created;
  return STATUS_SUCCESS;
}

DRIVER_OBJECT* WdfDriverWdmGetDriverObject(WDFDRIVER driver) { return driver->driverObject; }

PWDFDEVICE_INIT WdfControlDeviceInitAllocate(WDFDRIVER, std::u16string_view sddl) {
  if (TakeFailure("WdfControlDeviceInitAllocate")) return nullptr;
  std::lock_guard lock(Sim().mutex);
  ++Sim().liveInits;
  auto* init = new WDFDEVICE_INIT;
  init->controlSddl = sddl;
  return init;
}

void WdfDeviceInitFree(PWDFDEVICE_INIT init) {
  if (!init) return;
  std::lock_guard lock(Sim().mutex);
  --Sim().liveInits;
  delete init;
}

void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT init, bool exclusive) { init->exclusive = exclusive; }
void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT init, uint32_t deviceType) { init->deviceType = deviceType; }

NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT init, std::u16string_view name) {
  if (auto failure = TakeFailure("WdfDeviceInitAssignName")) return *failure;
  init->name = name;
  return STATUS_SUCCESS;
}

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT init, const WDF_FILEOBJECT_CONFIG* config,
                                      const WDF_OBJECT_ATTRIBUTES*) {
  init->fileConfig = *config;
}

NTSTATUS WdfDeviceInitAssignSDDL(PWDFDEVICE_INIT init, std::u16string_view sddl) {
  if (auto failure = TakeFailure("WdfDeviceInitAssignSDDL")) return *failure;
  init->sddl = sddl;
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* init, const WDF_OBJECT_ATTRIBUTES*, WDFDEVICE* device) {
  if (auto failure = TakeFailure("WdfDeviceCreate")) return *failure;
  std::lock_guard lock(Sim().mutex);
  if (Sim().device) ksim::Fatal("WdfDeviceCreate: a second device");
  Sim().device = std::make_unique<WDFDEVICE__>();
  Sim().device->init = **init;
  auto& info = Sim().info;
  info.created = true;
  info.exclusive = (*init)->exclusive;
  info.deviceType = (*init)->deviceType;
  info.name = (*init)->name;
  info.sddl = (*init)->sddl;
  info.controlInitSddl = (*init)->controlSddl;
  info.hasFileClose = (*init)->fileConfig.EvtFileClose != nullptr;
  --Sim().liveInits;
  delete *init;
  *init = nullptr;
  *device = Sim().device.get();
  return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE device, std::u16string_view name) {
  if (auto failure = TakeFailure("WdfDeviceCreateSymbolicLink")) return *failure;
  std::lock_guard lock(Sim().mutex);
  device->symbolicLink = name;
  Sim().info.symbolicLink = name;
  return STATUS_SUCCESS;
}

DEVICE_OBJECT* WdfDeviceWdmGetDeviceObject(WDFDEVICE device) { return &device->wdm; }

void WdfControlFinishInitializing(WDFDEVICE device) {
  std::lock_guard lock(Sim().mutex);
  device->initialized = true;
  Sim().info.initialized = true;
}

NTSTATUS WdfIoQueueCreate(WDFDEVICE device, const WDF_IO_QUEUE_CONFIG* config, const WDF_OBJECT_ATTRIBUTES*,
                          WDFQUEUE* queue) {
  if (auto failure = TakeFailure("WdfIoQueueCreate")) return *failure;
  std::lock_guard lock(Sim().mutex);
  auto created = std::make_unique<WDFQUEUE__>();
  created->config = *config;
  if (config->DefaultQueue) {
    device->defaultQueue = created.get();
    Sim().info.defaultQueueSequential = config->DispatchType == WdfIoQueueDispatchSequential;
    Sim().info.defaultQueuePowerManaged = config->PowerManaged;
  } else if (config->DispatchType == WdfIoQueueDispatchManual) {
    Sim().info.manualQueueNotPowerManaged = !config->PowerManaged;
  }
  *queue = created.get();
  device->queues.push_back(std::move(created));
  return STATUS_SUCCESS;
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE queue, WDFREQUEST* request) {
  if (queue->config.DispatchType != WdfIoQueueDispatchManual)
    ksim::Fatal("WdfIoQueueRetrieveNextRequest: not a manual queue");
  std::lock_guard lock(queue->mutex);
  if (queue->parked.empty()) return STATUS_NO_MORE_ENTRIES;
  WDFREQUEST next = queue->parked.front();
  queue->parked.pop_front();
  {
    std::lock_guard requestLock(next->mutex);
    next->state = ERequestState::Presented;
  }
  *request = next;
  return STATUS_SUCCESS;
}

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST request, WDFQUEUE queue) {
  CheckPresented(request, "WdfRequestForwardToIoQueue");
  if (auto failure = TakeFailure("WdfRequestForwardToIoQueue")) return *failure;
  if (queue->config.DispatchType != WdfIoQueueDispatchManual)
    ksim::Fatal("WdfRequestForwardToIoQueue: only manual queues are simulated");
  std::function<void()> before;
  {
    std::lock_guard lock(Sim().mutex);
    before = std::exchange(Sim().beforeForward, {});
  }
  if (before) before();
  std::lock_guard lock(queue->mutex);
  {
    std::lock_guard requestLock(request->mutex);
    request->state = ERequestState::Queued;
    request->completion.parked = true;
    request->leftDispatch = true;
  }
  queue->parked.push_back(request);
  return STATUS_SUCCESS;
}

void WdfRequestGetParameters(WDFREQUEST request, WDF_REQUEST_PARAMETERS* parameters) {
  CheckPresented(request, "WdfRequestGetParameters");
  parameters->IoControlCode = request->code;
  parameters->InputBufferLength = request->input.size();
  parameters->OutputBufferLength = request->output.size();
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST request, size_t minimumRequired, void** buffer, size_t* length) {
  return RetrieveBuffer(request, request->input, minimumRequired, buffer, length, "WdfRequestRetrieveInputBuffer");
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST request, size_t minimumRequired, void** buffer, size_t* length) {
  return RetrieveBuffer(request, request->output, minimumRequired, buffer, length, "WdfRequestRetrieveOutputBuffer");
}

void WdfRequestCompleteWithInformation(WDFREQUEST request, NTSTATUS status, uint64_t information) {
  std::function<void(const ksim::SCompletion&)> onComplete;
  ksim::SCompletion completion;
  {
    std::lock_guard lock(request->mutex);
    if (request->state != ERequestState::Presented)
      ksim::Fatal("WdfRequestComplete: request is parked or already completed");
    if (!NT_ERROR(status) && information > request->output.size())
      ksim::Fatal("WdfRequestComplete: more output bytes than the buffer holds");
    request->completion.status = status;
    request->completion.information = information;
    if (!NT_ERROR(status))
      request->completion.output.assign(request->output.begin(),
                                        request->output.begin() + static_cast<ptrdiff_t>(information));
    request->state = ERequestState::Completed;
    request->leftDispatch = true;
    onComplete = std::move(request->onComplete);
    completion = request->completion;
    // Under the lock: once it is released the waiter may free the request.
    request->done.notify_all();
  }
  if (onComplete) onComplete(completion);
}

void WdfRequestComplete(WDFREQUEST request, NTSTATUS status) { WdfRequestCompleteWithInformation(request, status, 0); }
