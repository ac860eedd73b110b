#include "Quorvane/platform/device_io.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {
namespace {

std::mutex g_socketPathMutex;
std::filesystem::path g_socketPath = kDefaultControlSocket;

void SetTimeouts(int fd, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// The host's 4-byte open reply; a Win32 error of Open on failure.
uint32_t ReadOpenReply(int fd) {
  uint8_t bytes[kOpenReplySize];
  size_t have = 0;
  while (have < sizeof bytes) {
    ssize_t got = recv(fd, bytes + have, sizeof bytes - have, 0);
    if (got > 0) {
      have += static_cast<size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ERROR_SEM_TIMEOUT;
    return ERROR_FILE_NOT_FOUND;
  }
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
  return true;
}

}  // namespace

void SetControlDeviceSocket(const std::filesystem::path& path) {
  std::lock_guard lock(g_socketPathMutex);
  g_socketPath = path;
}

std::filesystem::path ControlDeviceSocket() {
  std::lock_guard lock(g_socketPathMutex);
  return g_socketPath;
}

uint32_t CControlDevice::Open(std::wstring_view deviceName, std::unique_ptr<CControlDevice>& device) {
  device.reset();
  if (deviceName != kPalvexDeviceName) return ERROR_FILE_NOT_FOUND;
  std::string path = ControlDeviceSocket().string();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return ERROR_FILE_NOT_FOUND;
  std::memcpy(address.sun_path, path.data(), path.size());

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ERROR_FILE_NOT_FOUND;
  // A host whose backlog is full, or one that accepts and stays silent, must
  // not hang the program's start.
  SetTimeouts(fd, kOpenTimeoutMs);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    close(fd);
    return error == EAGAIN || error == EINPROGRESS ? ERROR_SEM_TIMEOUT : Win32ErrorForConnectErrno(error);
  }
  uint32_t status = ReadOpenReply(fd);
  if (status != 0) {
    close(fd);
    return status;
  }
  SetTimeouts(fd, 0);  // from now on requests wait as long as the driver holds them
  device.reset(new CControlDevice(fd));
  return 0;
}

CControlDevice::CControlDevice(int fd) : m_fd(fd) { m_reader = std::thread(&CControlDevice::ReaderThread, this); }

CControlDevice::~CControlDevice() { Close(); }

SDeviceIoResult CControlDevice::IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                                          uint32_t outputSize) {
  return Wait(Begin(code, input, inputSize, output ? outputSize : 0), output, outputSize);
}

std::shared_ptr<CControlDevice::CRequest> CControlDevice::Begin(uint32_t code, const void* input, uint32_t inputSize,
                                                                uint32_t outputCapacity) {
  return Send(code, input, inputSize, outputCapacity, nullptr);
}

std::shared_ptr<CControlDevice::CRequest> CControlDevice::Begin(uint32_t code, const void* input, uint32_t inputSize,
                                                                uint32_t outputCapacity,
                                                                const std::shared_ptr<COrder>& order) {
  return Send(code, input, inputSize, outputCapacity, nullptr, order);
}

std::shared_ptr<CControlDevice::CRequest> CControlDevice::WaitNext(COrder& order) {
  std::unique_lock lock(m_mutex);
  order.wake.wait(lock, [&] { return !order.ended.empty(); });
  std::shared_ptr<CRequest> next = std::move(order.ended.front());
  order.ended.pop_front();
  return next;
}

void CControlDevice::EndedLocked(const std::shared_ptr<CRequest>& request) {
  request->done = true;
  if (std::shared_ptr<COrder> order = request->order.lock()) {
    order->ended.push_back(request);
    order->wake.notify_one();
  }
  request->wake.notify_one();
}

void CControlDevice::Post(uint32_t code, const void* input, uint32_t inputSize, Completion done) {
  std::shared_ptr<CRequest> request = Send(code, input, inputSize, 0, std::move(done));
  // Failed before it was sent: nobody else will run its completion.
  if (request->registered) return;
  SDeviceIoResult result;
  result.error = request->localError;
  Completion completion = std::move(request->completion);
  completion(result);
}

std::shared_ptr<CControlDevice::CRequest> CControlDevice::Send(uint32_t code, const void* input, uint32_t inputSize,
                                                               uint32_t outputCapacity, Completion done,
                                                               const std::shared_ptr<COrder>& order) {
  auto waiter = std::make_shared<CRequest>();
  waiter->completion = std::move(done);
  waiter->order = order;
  if (inputSize > kMaxRequestInput || (inputSize != 0 && !input)) {
    std::lock_guard lock(m_mutex);
    waiter->localError = ERROR_INVALID_PARAMETER;
    EndedLocked(waiter);
    return waiter;
  }
  SControlRequest request;
  request.code = code;
  request.outputCapacity = std::min(outputCapacity, kMaxRequestOutput);
  const auto* in = static_cast<const uint8_t*>(input);
  if (inputSize != 0) request.input.assign(in, in + inputSize);
  std::vector<uint8_t> frame;
  bool sent;
  {
    // The write lock is taken before the tag: tags reach the host in order.
    std::lock_guard writeLock(m_writeMutex);
    {
      std::lock_guard lock(m_mutex);
      if (m_state != EState::Open) {
        waiter->localError = m_state == EState::Closed ? ERROR_INVALID_HANDLE : ERROR_DEVICE_NOT_CONNECTED;
        EndedLocked(waiter);
        return waiter;
      }
      request.tag = m_nextTag++;
      waiter->capacity = request.outputCapacity;
      waiter->registered = true;
      m_waiters[request.tag] = waiter;
    }
    EncodeRequest(request, frame);
    sent = m_fd >= 0 && SendAll(m_fd, frame);
  }
  if (!sent) Disconnect();  // a frame cut off midway leaves the stream unreadable for the host
  return waiter;
}

SDeviceIoResult CControlDevice::Wait(const std::shared_ptr<CRequest>& request, void* output, uint32_t outputSize) {
  SDeviceIoResult result;
  std::unique_lock lock(m_mutex);
  request->wake.wait(lock, [&] { return request->done; });
  if (request->localError != 0) {
    result.error = request->localError;
    result.pending = request->registered;  // else refused at once, before anything was sent
    return result;
  }
  const SControlReply& reply = request->reply;
  result.error = NtStatusToWin32Error(reply.status);
  result.pending = reply.parked;
  if (NT_ERROR(reply.status)) {
    result.bytesReturned = static_cast<uint32_t>(std::min<uint64_t>(reply.information, UINT32_MAX));
  } else {
    size_t bytes = std::min<size_t>(reply.output.size(), output ? outputSize : 0);
    result.bytesReturned = static_cast<uint32_t>(bytes);
    if (bytes != 0) std::memcpy(output, reply.output.data(), bytes);
  }
  return result;
}

void CControlDevice::ReaderThread() {
  CControlFrameReader reader;
  std::vector<uint8_t> buffer(64 * 1024);
  std::vector<std::shared_ptr<CRequest>> finished;
  for (;;) {
    ssize_t got = recv(m_fd, buffer.data(), buffer.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    reader.Append(buffer.data(), static_cast<size_t>(got));
    SControlReply reply;
    EFrameStatus status;
    bool broken = false;
    while ((status = reader.NextReply(reply)) == EFrameStatus::Frame) {
      std::lock_guard lock(m_mutex);
      auto it = m_waiters.find(reply.tag);
      if (it == m_waiters.end()) continue;  // not ours, or its caller already gave up
      std::shared_ptr<CRequest> waiter = it->second;
      // Output only with success or a warning, never more than was offered or
      // than the driver says it wrote: else the host is not speaking the protocol.
      if (NT_ERROR(reply.status) ? !reply.output.empty()
                                 : reply.output.size() != reply.information || reply.output.size() > waiter->capacity) {
        broken = true;
        break;
      }
      waiter->reply = std::move(reply);
      m_waiters.erase(it);
      if (waiter->completion) {
        waiter->done = true;
        finished.push_back(std::move(waiter));
      } else {
        EndedLocked(waiter);
      }
    }
    RunCompletions(finished);
    if (status == EFrameStatus::Invalid || broken) break;
  }
  {
    std::lock_guard lock(m_mutex);
    if (m_state == EState::Open) EndAllLocked(EState::Lost, ERROR_DEVICE_NOT_CONNECTED, finished);
  }
  RunCompletions(finished);
  Disconnect();  // the host sees the end too and frees the device for the next client
}

void CControlDevice::RunCompletions(std::vector<std::shared_ptr<CRequest>>& finished) {
  for (const std::shared_ptr<CRequest>& request : finished) {
    SDeviceIoResult result;
    if (request->localError != 0) {
      result.error = request->localError;
      result.pending = true;
    } else {
      result.error = NtStatusToWin32Error(request->reply.status);
      result.pending = request->reply.parked;
    }
    Completion completion = std::move(request->completion);
    completion(result);
  }
  finished.clear();
}

void CControlDevice::EndAllLocked(EState state, uint32_t error, std::vector<std::shared_ptr<CRequest>>& finished) {
  m_state = state;
  for (auto& [tag, waiter] : m_waiters) {
    waiter->localError = error;
    if (waiter->completion) {
      waiter->done = true;
      finished.push_back(waiter);
    } else {
      EndedLocked(waiter);
    }
  }
  m_waiters.clear();
}

void CControlDevice::Disconnect() {
  std::lock_guard lock(m_writeMutex);
  if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
}

void CControlDevice::Close() {
  std::lock_guard closeLock(m_closeMutex);
  std::vector<std::shared_ptr<CRequest>> finished;
  {
    std::lock_guard lock(m_mutex);
    if (m_state == EState::Closed && !m_reader.joinable()) return;
    EndAllLocked(EState::Closed, ERROR_OPERATION_ABORTED, finished);
  }
  RunCompletions(finished);
  Disconnect();
  if (m_reader.joinable()) m_reader.join();
  std::lock_guard lock(m_writeMutex);
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

}  // namespace platform
