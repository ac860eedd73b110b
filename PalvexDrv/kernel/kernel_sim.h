// The simulated backend of the kernel facade, for tests: it loads the
// driver in-process, delivers each client request to the device-control
// callback on the submitting thread, one at a time (the sequential default
// queue), keeps parked requests in a manual queue, counts pool blocks per
// tag, fails chosen calls and allocations, and runs the interrupt clock only
// when told. A broken facade rule (two spin locks held at once, a request
// touched after completion or while parked, a block freed with another tag)
// ends the process with a message naming it.
// Start here: LoadDriver, then CClient (request level) or CConnection (the
// control socket's byte protocol).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PalvexDrv/kernel/fwp.h"
#include "PalvexDrv/kernel/wdf.h"
#include "shared/control_framing.h"

namespace ksim {

[[noreturn]] void Fatal(std::string_view text);

// Runs the entry point with a fresh driver object; the driver stays loaded
// when it returns success.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry);
// Closes the open client, runs the unload and cleanup callbacks, and frees
// the device and its queues.
void UnloadDriver();
bool DriverLoaded();

// What the driver asked of its device.
struct SDeviceInfo {
  bool created = false;
  bool initialized = false;  // WdfControlFinishInitializing ran
  bool exclusive = false;
  uint32_t deviceType = 0;
  std::u16string name, symbolicLink, sddl, controlInitSddl;
  bool hasFileClose = false;
  bool defaultQueueSequential = false;
  bool defaultQueuePowerManaged = false;
  bool manualQueueNotPowerManaged = false;
  bool driverNonPnp = false;
  bool hasUnload = false;
  bool hasCleanup = false;
};
SDeviceInfo DeviceInfo();
// Device inits allocated and neither freed nor consumed by WdfDeviceCreate.
int LiveDeviceInits();
// Trace facility started and not yet stopped.
bool TraceRunning();

// The next call of the facade function named (as "WdfDeviceCreate" or
// "FwpmFilterAdd0") fails with status; a function that returns a pointer
// (WdfControlDeviceInitAllocate, IoAllocateMdl, NdisAllocate*) returns null.
void FailNextCall(std::string_view function, NTSTATUS status);
// The same for the nth call from now on (1 = the next). Several calls of one
// function may be chosen, each counted from when it was chosen; choosing a
// call already chosen replaces its status.
void FailNthCall(std::string_view function, unsigned nth, NTSTATUS status);
// Takes back the failures still pending for function (or for every
// function) and returns how many there were: a test that expects its
// failure to be reached sees here that it was not. Chosen failures outlive
// an unload.
size_t CancelFailures(std::string_view function);
size_t CancelFailures();

// Runs once, inside the next WdfRequestForwardToIoQueue, just before the
// request is parked: what another processor might do in that instant.
void BeforeNextForward(std::function<void()> action);

// Pool: the nth allocation of tag from now on (1 = the next) fails.
void FailAllocation(uint32_t tag, unsigned nth);
uint64_t LivePoolBlocks(uint32_t tag);
uint64_t LivePoolBlocks();  // all tags
uint64_t PoolAllocations(uint32_t tag);  // successful allocations so far
void ResetPool();  // counters and pending failures; live blocks stay counted

void SetInterruptTime(uint64_t time);  // 100-ns units
void AdvanceInterruptTime(uint64_t delta);

std::vector<std::string> TraceLines();
void ClearTrace();

struct SCompletion {
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t information = 0;
  bool parked = false;
  std::vector<uint8_t> output;  // information bytes on success or warning, else none
};

// One submitted request, seen from the client.
class CRequest {
 public:
  bool Done() const;
  // At most timeout; no value while the request is still pending.
  std::optional<SCompletion> Wait(std::chrono::milliseconds timeout) const;

 private:
  friend class CClient;
  std::shared_ptr<WDFREQUEST__> m_request;
};

// One handle on the control device.
class CClient {
 public:
  ~CClient();
  // 0, ERROR_ACCESS_DENIED while another handle is open, ERROR_FILE_NOT_FOUND
  // when no device is open to clients.
  uint32_t Open();
  bool IsOpen() const { return m_file != nullptr; }
  // onComplete runs on the completing thread, once.
  CRequest Submit(uint32_t code, std::vector<uint8_t> input, uint32_t outputCapacity,
                  std::function<void(const SCompletion&)> onComplete = {});
  // Submits and waits at most a second; a request still pending then is a
  // test failure reported as STATUS_UNSUCCESSFUL with information ~0.
  SCompletion Call(uint32_t code, std::vector<uint8_t> input = {}, uint32_t outputCapacity = 0);
  // Cancels this handle's parked requests, then runs the file-close callback.
  void Close();

 private:
  WDFFILEOBJECT m_file = nullptr;
  std::vector<std::shared_ptr<WDFREQUEST__>> m_requests;  // kept until close
  std::mutex m_mutex;
};

// The driver's end of one control-socket connection: bytes in, bytes out.
class CConnection {
 public:
  // Opens the device; the open reply is the first output.
  CConnection();
  ~CConnection();
  void Receive(const std::vector<uint8_t>& bytes);
  // The peer closed its end; a partial frame is a truncated one.
  void EndOfStream();
  std::vector<uint8_t> TakeOutput();
  bool Closed() const;

 private:
  void CloseNow();

  CClient m_client;
  CControlFrameReader m_reader;
  mutable std::mutex m_mutex;
  std::vector<uint8_t> m_output;
  bool m_closed = false;
};

// ---- Filtering platform ----------------------------------------------------
// The objects the driver added and registered, live handles and buffers.
// A driver unloaded (or failing to load) with any of them left ends the
// process with a message.
struct SCondition {
  GUID fieldKey;
  FWP_MATCH_TYPE matchType = FWP_MATCH_EQUAL;
  FWP_DATA_TYPE type = FWP_EMPTY;
  uint32_t value = 0;
};
struct SProviderInfo {
  GUID key;
  std::u16string name;
  uint32_t flags = 0;
};
struct SSubLayerInfo {
  GUID key;
  std::u16string name, description;
  std::optional<GUID> providerKey;
  uint16_t weight = 0;
};
struct SCalloutInfo {  // added to the session
  GUID key;
  std::u16string name;
  std::optional<GUID> providerKey;
  GUID layerKey;
  uint32_t id = 0;
};
struct SFilterInfo {
  uint64_t id = 0;
  std::u16string name;
  std::optional<GUID> providerKey;
  GUID layerKey, subLayerKey;
  bool automaticWeight = false;
  FWP_ACTION_TYPE action = FWP_ACTION_PERMIT;
  GUID calloutKey;
  std::vector<SCondition> conditions;
};
struct SRegisteredCallout {  // registered with the runtime
  GUID key;
  uint32_t id = 0;
  uint32_t flags = 0;
  bool hasClassify = false, hasNotify = false, hasFlowDelete = false;
};
struct SFilteringInfo {
  bool sessionOpen = false;
  uint32_t authnService = 0;
  uint32_t sessionFlags = 0;
  std::vector<SProviderInfo> providers;
  std::vector<SSubLayerInfo> subLayers;
  std::vector<SCalloutInfo> callouts;
  std::vector<SFilterInfo> filters;
  std::vector<SRegisteredCallout> registered;  // in registration order
  std::vector<FWPS_INJECTION_TYPE> injectionHandles;  // live, in creation order
  std::vector<GUID> redirectHandles;  // live: the provider of each
  unsigned genericObjects = 0, netBufferListPools = 0, netBufferLists = 0, mdls = 0;
  unsigned flowContexts = 0, classifyHandles = 0;
};
SFilteringInfo Filtering();

// How the packet of a classification came to be.
enum class EInjectedBy { None, Driver, DriverEarlier, Other };

// One packet or connect delivered to the filters of its layer. Datagram
// layers: ipPacket is the whole IP packet (IP header, UDP header, payload);
// the net-buffer list starts at the UDP header for an outbound packet and
// after it (the IP and UDP headers as headroom) for an inbound one, as the
// platform positions it. The layer values come from the fields here.
struct SPacket {
  uint16_t layerId = FWPS_LAYER_DATAGRAM_DATA_V4;
  uint8_t protocol = 17;
  uint8_t localAddress[16] = {};   // IPv4: the first 4 bytes, network order
  uint8_t remoteAddress[16] = {};
  uint16_t localPort = 0, remotePort = 53;  // host order
  bool inbound = false;
  uint32_t interfaceIndex = 0, subInterfaceIndex = 0;
  std::u16string appId;            // without its NUL; ALE layers
  std::vector<uint8_t> userSid;    // ALE layers
  // Metadata; an unset optional is an absent field.
  std::optional<uint64_t> processId, flowHandle, endpointHandle;
  std::optional<uint32_t> compartmentId;
  bool headerSizes = true;         // datagram layers: IP and transport header sizes present
  HANDLE redirectRecords = nullptr;
  std::vector<uint8_t> ipPacket;
  bool noHeadroom = false;         // inbound: nothing before the data start
  uint32_t splitAt = 0;            // nonzero: the MDL chain breaks this many bytes into the list's memory
  EInjectedBy injectedBy = EInjectedBy::None;
  bool writeRight = true;
  // Stream layers: one segment; noStreamData hands the callout a packet without data.
  uint32_t streamFlags = 0;
  std::vector<uint8_t> streamBytes;
  bool noStreamPacket = false, noStreamData = false;
};

struct SVerdict {
  unsigned calls = 0;  // classify functions called
  FWP_ACTION_TYPE action = FWP_ACTION_PERMIT;  // the final action
  uint32_t rights = 0;
  uint32_t flags = 0;
  FWPS_STREAM_ACTION_TYPE streamAction = FWPS_STREAM_ACTION_NONE;
  size_t countBytesEnforced = 0;
  // The net-buffer list as the callout left it.
  uint32_t dataOffset = 0, dataLength = 0;
};

// Runs the classify function of every matching filter's callout on this
// thread; flow-delete functions the driver causes for the packet's flow
// meanwhile run after it returns. A packet with a flow handle makes the
// flow known, so contexts may be associated with it.
SVerdict Classify(const SPacket& packet);

// The platform ends the flow: every context associated with it goes
// through its callout's flow-delete function (after a running
// classification of the flow, when there is one).
void EndFlow(uint64_t flowHandle);
// Contexts associated with the flow, by callout id.
std::vector<std::pair<uint32_t, uint64_t>> FlowContexts(uint64_t flowHandle);

// One injection the driver handed to the platform, with a copy of its bytes.
struct SInjection {
  enum EKind { Send, Receive, Stream } kind = Send;
  HANDLE handle = nullptr;
  uint16_t family = 0;
  uint32_t compartmentId = 0, interfaceIndex = 0, subInterfaceIndex = 0;
  uint64_t endpointHandle = 0;
  std::optional<SOCKADDR_INET> remote;  // the send parameters' remote address
  uint64_t flowId = 0;                  // stream injections
  uint32_t calloutId = 0, streamFlags = 0;
  uint16_t layerId = 0;
  std::vector<uint8_t> bytes;
  bool completed = false;
};
std::vector<SInjection> Injections();
// Runs the injection's completion with status; each completes once.
void CompleteInjection(size_t index, NTSTATUS status = STATUS_SUCCESS);
// Completes every injection not yet completed, with success.
void CompleteInjections();
// Forgets the injections made so far (all completed), so that a long run
// stays bounded; indexes start again from 0.
void ClearInjections();
// packet with the injection's bytes as its ipPacket, injected by the driver's
// transport injection handle: the loop the platform makes when an injected
// packet passes the filters again.
SVerdict ClassifyInjected(size_t index, SPacket packet);

// Pended classifications: what the driver did with each classify handle.
struct SClassifyHandle {
  bool released = false, pended = false, completed = false, applied = false;
  FWPS_CLASSIFY_OUT0 completedOut;  // as given to FwpsCompleteClassify0
  FWPS_CONNECT_REQUEST0 request;    // the writable layer data
};
std::map<uint64_t, SClassifyHandle> ClassifyHandles();
// What FwpsQueryConnectionRedirectState0 answers from now on.
void SetRedirectState(FWPS_CONNECTION_REDIRECT_STATE state);

}  // namespace ksim
