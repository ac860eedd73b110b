// DeviceIoControl on "\\.\PalvexDrv" (CreateFileW, then overlapped requests
// with GetOverlappedResult(wait)) from any number of threads at once.
// Linux: the driver host's Unix socket (default "/run/PalvexDrv"), framed by
// shared/control_framing.h; tagged requests, one reader thread for replies,
// which wakes only the waiter of each reply. Besides the waited call,
// requests may be sent ahead and waited for later (Begin, Wait) or left to
// a completion that runs where the reply arrives (Post).
// Guards: SIGPIPE (MSG_NOSIGNAL), frames the host would refuse, a descriptor
// closed under a sender. Any thread; Close may run while others still wait.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "Quorvane/platform/system_errors.h"
#include "shared/control_framing.h"

namespace platform {

// The device name the driver creates, as the program opens it.
inline constexpr std::wstring_view kPalvexDeviceName = L"\\\\.\\PalvexDrv";
inline constexpr const char* kDefaultControlSocket = "/run/PalvexDrv";

// Where kPalvexDeviceName is reached; tests and the demo point it at their
// own host. Applies to later opens.
void SetControlDeviceSocket(const std::filesystem::path& path);
std::filesystem::path ControlDeviceSocket();

// What DeviceIoControl and, for a request the driver parked,
// GetOverlappedResult report.
struct SDeviceIoResult {
  uint32_t error = 0;          // Win32 error; 0 on success
  bool pending = false;        // DeviceIoControl said ERROR_IO_PENDING: error and
                               // bytesReturned are GetOverlappedResult's
  uint32_t bytesReturned = 0;  // output bytes; with a failure the driver's size hint
};

class CControlDevice {
 public:
  // Bounds the connect and the host's open reply.
  static constexpr int kOpenTimeoutMs = 2000;

  // CreateFileW: 0 and the device, or ERROR_FILE_NOT_FOUND (no such device, no
  // socket, no listener, the host closed without answering), ERROR_ACCESS_DENIED
  // (another client holds the device, or the socket refuses this user),
  // ERROR_SEM_TIMEOUT (no open reply in time).
  static uint32_t Open(std::wstring_view deviceName, std::unique_ptr<CControlDevice>& device);

  ~CControlDevice();
  CControlDevice(const CControlDevice&) = delete;
  CControlDevice& operator=(const CControlDevice&) = delete;

  // One request, waited for until the driver completes it (a parked GetEvent
  // waits for an event) or the device ends. Output bytes are copied into
  // output; outputSize above kMaxRequestOutput is offered as that. Errors:
  // the driver's status through NtStatusToWin32Error; at once
  // ERROR_INVALID_PARAMETER for an input above kMaxRequestInput,
  // ERROR_INVALID_HANDLE after Close, ERROR_DEVICE_NOT_CONNECTED after the host
  // went away; pending ERROR_OPERATION_ABORTED or ERROR_DEVICE_NOT_CONNECTED
  // for a request outstanding when that happened.
  SDeviceIoResult IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output, uint32_t outputSize);

  // A request sent now and waited for later, with IoControl's results.
  // Requests sent in some order reach the driver in that order.
  class CRequest;
  std::shared_ptr<CRequest> Begin(uint32_t code, const void* input, uint32_t inputSize, uint32_t outputCapacity);
  // Once per request; output takes at most outputSize bytes.
  SDeviceIoResult Wait(const std::shared_ptr<CRequest>& request, void* output, uint32_t outputSize);

  // Requests begun with one order are taken in the order they end (their
  // replies' order, or the order sent when the device ends them), so that
  // one the driver completes early is not held behind older ones it keeps.
  class COrder;
  std::shared_ptr<CRequest> Begin(uint32_t code, const void* input, uint32_t inputSize, uint32_t outputCapacity,
                                  const std::shared_ptr<COrder>& order);
  // The next request of order that has ended, waiting for one; Wait on it
  // then returns at once. Only while some request of order is outstanding.
  std::shared_ptr<CRequest> WaitNext(COrder& order);

  // A request without output whose result goes to done, on the reader
  // thread when the reply arrives, on the closing thread when Close ends it,
  // or at once for a failure before sending. A reply that comes after
  // Close is dropped.
  using Completion = std::function<void(const SDeviceIoResult&)>;
  void Post(uint32_t code, const void* input, uint32_t inputSize, Completion done);

  // CloseHandle: every outstanding request ends with ERROR_OPERATION_ABORTED.
  void Close();

 private:
  enum class EState { Open, Lost, Closed };

  explicit CControlDevice(int fd);
  // Registers and sends; the request is done at once when the device is
  // not open or the input is refused.
  std::shared_ptr<CRequest> Send(uint32_t code, const void* input, uint32_t inputSize, uint32_t outputCapacity,
                                 Completion done, const std::shared_ptr<COrder>& order = nullptr);
  // Under m_mutex: the request has ended; wakes its waiter or its order.
  static void EndedLocked(const std::shared_ptr<CRequest>& request);
  void ReaderThread();
  // Under m_mutex: every waiter ends with error, and the state becomes
  // state; the completions of posted requests go to finished, to be run
  // without the lock.
  void EndAllLocked(EState state, uint32_t error, std::vector<std::shared_ptr<CRequest>>& finished);
  static void RunCompletions(std::vector<std::shared_ptr<CRequest>>& finished);
  void Disconnect();  // the stream is unusable: wake the reader so it ends

  int m_fd;                  // closed only by Close, under m_writeMutex
  std::mutex m_writeMutex;   // one frame at a time on the socket
  std::mutex m_closeMutex;   // Close runs once at a time
  std::mutex m_mutex;        // the fields below and every request's state
  std::map<uint64_t, std::shared_ptr<CRequest>> m_waiters;  // by tag
  EState m_state = EState::Open;
  uint64_t m_nextTag = 1;
  std::thread m_reader;
};

class CControlDevice::CRequest {
 private:
  friend class CControlDevice;
  std::condition_variable wake;  // its own: a reply wakes only its waiter
  bool done = false;
  bool registered = false;  // sent, or about to be: set once, by the sending thread
  uint32_t capacity = 0;    // output bytes offered
  uint32_t localError = 0;  // set when the device ended before a reply
  SControlReply reply;
  Completion completion;  // posted requests only
  std::weak_ptr<COrder> order;  // requests begun with an order only
};

class CControlDevice::COrder {
 private:
  friend class CControlDevice;
  std::condition_variable wake;                // under the device's m_mutex, as is ended
  std::deque<std::shared_ptr<CRequest>> ended;  // in the order they ended
};

}  // namespace platform
