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
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The next call of the framework function named (as "WdfDeviceCreate")
// fails with status; WdfControlDeviceInitAllocate then returns null.
void FailNextCall(std::string_view function, NTSTATUS status);

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

}  // namespace ksim
