#include "Quorvane/engine/net_filter_processor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <sstream>

#include "Quorvane/config/rule_processor.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/system_errors.h"
#include "shared/driver_requests.h"
#include "shared/ntstatus.h"

CNetFilterProcessor g_NetFilterProcessor;

namespace {

constexpr uint32_t kIpv4HeaderSize = 20;
constexpr uint32_t kIpv6HeaderSize = 40;
constexpr uint32_t kUdpHeaderSize = 8;
constexpr uint32_t kMaxIpLength = 65535;

template <typename... Parts>
std::string Text(const Parts&... parts) {
  std::ostringstream out;
  (out << ... << parts);
  return out.str();
}

CNetFilterProcessor::SIoResult Failure(int32_t code, uint32_t systemError, std::string message) {
  return {static_cast<int32_t>(systemError), code, std::move(message)};
}

// The record's address in a zeroed sockaddr_storage with the native family.
sockaddr_storage ToSockaddr(const SOCKADDR_INET& record) {
  sockaddr_storage out{};
  if (record.family == kRecordFamilyInet) {
    auto* in = reinterpret_cast<sockaddr_in*>(&out);
    in->sin_family = AF_INET;
    in->sin_port = record.port;
    std::memcpy(&in->sin_addr, record.ipv4, 4);
  } else if (record.family == kRecordFamilyInet6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = record.port;
    std::memcpy(&in6->sin6_addr, record.ipv6.address, 16);
    in6->sin6_scope_id = record.ipv6.scopeId;
  }
  return out;
}

std::string RecordAddressText(const SOCKADDR_INET& record) {
  if (record.family == kRecordFamilyInet) return Ipv4ToText(record.ipv4);
  if (record.family == kRecordFamilyInet6) return Ipv6ToText(record.ipv6.address);
  return {};
}

// The image file name: what follows the last "/" of the path.
std::wstring ProgramName(const std::wstring& imagePath) {
  size_t slash = imagePath.rfind(L'/');
  return slash == std::wstring::npos ? std::wstring() : imagePath.substr(slash + 1);
}

std::wstring AppIdText(const uint8_t* event, size_t bytes) {
  std::u16string id = DriverEventAppId(event, bytes);
  return std::wstring(id.begin(), id.end());
}

void Put16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value);
}

}  // namespace

CNetFilterProcessor::CNetFilterProcessor() : m_thread(std::make_shared<SThreadState>()) {}

CNetFilterProcessor::~CNetFilterProcessor() {
  // Closing the device ends a read the event thread is parked in.
  m_running = false;
  WakeReconnect();
  if (auto device = Device()) device->Close();
  if (m_eventThread.joinable()) {
    m_eventThread.join();
  } else {
    // A thread Stop detached still uses this object until it says it is done.
    std::unique_lock lock(m_thread->mutex);
    m_thread->cv.wait_for(lock, std::chrono::seconds(5), [this] { return !m_thread->running; });
  }
}

std::shared_ptr<platform::CControlDevice> CNetFilterProcessor::Device() {
  std::lock_guard lock(m_deviceMutex);
  return m_device;
}

void CNetFilterProcessor::WakeReconnect() {
  std::lock_guard lock(m_retryMutex);
  m_retry.notify_all();
}

CNetFilterProcessor::SIoResult CNetFilterProcessor::ResultOf(const platform::SDeviceIoResult& result) {
  if (result.error == 0) return {};
  if (result.pending)
    return Failure(GetOverlappedResultFailed, result.error, Text("GetOverlappedResult failed with error ", result.error));
  return Failure(DeviceIoControlFailed, result.error, Text("DeviceIoControl failed with error ", result.error));
}

CNetFilterProcessor::SIoResult CNetFilterProcessor::IoControl(uint32_t code, const void* input, uint32_t inputSize,
                                                              void* output, uint32_t outputSize,
                                                              uint32_t& bytesReturned) {
  bytesReturned = 0;
  std::shared_ptr<platform::CControlDevice> device = Device();
  if (!device) return ResultOf({platform::ERROR_INVALID_HANDLE, false, 0});
  platform::SDeviceIoResult result = device->IoControl(code, input, inputSize, output, outputSize);
  bytesReturned = result.bytesReturned;
  return ResultOf(result);
}

CNetFilterProcessor::SIoResult CNetFilterProcessor::GetDriverVersion(uint32_t& version) {
  uint32_t bytes = 0;
  SIoResult result = IoControl(IOCTL_PALVEX_GET_DRIVER_VERSION, nullptr, 0, &version, sizeof version, bytes);
  if (result.code == Ok && bytes != sizeof version) return Failure(BadByteCount, 0, "Incorrect number of bytes returned");
  return result;
}

bool CNetFilterProcessor::Open(std::wstring& errorText) {
  std::unique_ptr<platform::CControlDevice> opened;
  uint32_t error = platform::CControlDevice::Open(platform::kPalvexDeviceName, opened);
  std::shared_ptr<platform::CControlDevice> previous;  // a lost device ends outside the lock
  {
    std::lock_guard lock(m_deviceMutex);
    previous = std::move(m_device);
    m_device = std::move(opened);
  }
  if (error != 0) {
    if (error == ERROR_FILE_NOT_FOUND) {
      errorText = L"Tarnwick driver is not running.";
    } else {
      SIoResult result = Failure(CreateFileFailed, error, Text("CreateFileW failed with error ", error));
      errorText = L"Cannot start Tarnwick driver: " + std::wstring(result.message.begin(), result.message.end());
    }
    return false;
  }
  uint32_t version = 0;
  SIoResult result = GetDriverVersion(version);
  if (result.code != Ok) {
    errorText = L"GetDriverVersion failed with error: " + std::wstring(result.message.begin(), result.message.end());
    return false;
  }
  CLogMessage().Append(LogNormal, L"Driver version ").Append(LogNormal, version).Append(LogNormal, L" running.");
  if (version != PALVEX_DRIVER_VERSION) {
    errorText = L"Driver version must be " + std::to_wstring(PALVEX_DRIVER_VERSION);
    return false;
  }
  return true;
}

CNetFilterProcessor::SIoResult CNetFilterProcessor::SetConfig(uint32_t processId, bool blockTcpPort53,
                                                              bool interceptOthers) {
  // 51 KB: not for the stack.
  auto config = std::make_unique<DriverConfig>();
  std::memset(config.get(), 0, sizeof(DriverConfig));
  config->size = sizeof(DriverConfig);
  config->serviceProcessId = processId;
  config->datagramFlags = kDatagramFlagAbsorb | kDatagramFlagQueryShape;
  config->includeServiceTraffic = 0;
  config->blockTcpPort53 = blockTcpPort53 ? 1 : 0;
  config->staleEventSeconds = 10;
  config->interceptOthers = interceptOthers ? 1 : 0;
  uint32_t bytes = 0;
  return IoControl(IOCTL_PALVEX_SET_CONFIG, config.get(), sizeof(DriverConfig), nullptr, 0, bytes);
}

bool CNetFilterProcessor::Configure(bool blockTcpPort53, bool interceptOthers) {
  m_blockTcpPort53 = blockTcpPort53;
  m_interceptOthers = interceptOthers;
  SIoResult result = SetConfig(static_cast<uint32_t>(getpid()), blockTcpPort53, interceptOthers);
  if (result.code == Ok) return true;
  CLogMessage().SetError().Append(LogError, "SetConfig failed with error ").Append(LogError, result.message);
  return false;
}

CNetFilterProcessor::SIoResult CNetFilterProcessor::StartEngine() {
  uint32_t bytes = 0;
  return IoControl(IOCTL_PALVEX_START, nullptr, 0, nullptr, 0, bytes);
}

bool CNetFilterProcessor::Start() {
  bool threadExists;
  {
    std::lock_guard lock(m_thread->mutex);
    threadExists = m_eventThread.joinable() || m_thread->running;
  }
  if (threadExists) {
    CLogMessage().SetError().Append(LogError, "Could not initialise main thread");
    return false;
  }
  SIoResult result = StartEngine();
  if (result.code != Ok) {
    CLogMessage().SetError().Append(LogError, "Start failed with error ").Append(LogError, result.message);
    return false;
  }
  CLogMessage().Append(LogAlways, L"Engine started.");
  // Set before the thread exists: a Stop right after Start is not lost.
  m_running = true;
  {
    std::lock_guard lock(m_thread->mutex);
    m_thread->running = true;
  }
  try {
    m_eventThread = std::thread([this, state = m_thread] {
      EventThread();
      std::lock_guard lock(state->mutex);
      state->running = false;
      state->cv.notify_all();
    });
  } catch (const std::system_error&) {
    m_running = false;
    std::lock_guard lock(m_thread->mutex);
    m_thread->running = false;
    CLogMessage().SetError().Append(LogError, "Could not initialise main thread");
    return false;
  }
  return true;
}

bool CNetFilterProcessor::Stop() {
  m_running = false;
  WakeReconnect();
  uint32_t bytes = 0;
  SIoResult result = IoControl(IOCTL_PALVEX_STOP, nullptr, 0, nullptr, 0, bytes);
  if (result.code != Ok) {
    CLogMessage().SetError().Append(LogError, "Driver stop failed with error ").Append(LogError, result.message);
    return false;
  }
  // std::thread has no timed join: wait for the thread's own done mark.
  std::unique_lock lock(m_thread->mutex);
  bool ended = m_thread->cv.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [this] { return !m_thread->running; });
  lock.unlock();
  if (!ended) {
    CLogMessage().SetError().Append(LogError, "Engine stop failed with error ").Append(LogError, platform::ERROR_TIMEOUT);
    if (m_eventThread.joinable()) m_eventThread.detach();
    return false;
  }
  if (m_eventThread.joinable()) m_eventThread.join();
  return true;
}

CNetFilterProcessor::SIoResult CNetFilterProcessor::ReadAhead(std::vector<uint8_t>& buffer, uint32_t& bytes) {
  bytes = 0;
  std::shared_ptr<platform::CControlDevice> device = Device();
  if (!device) return ResultOf({platform::ERROR_INVALID_HANDLE, false, 0});
  // Reads parked for a device that went away end with it.
  if (device != m_windowDevice) {
    m_window.clear();
    m_windowOrder = std::make_shared<platform::CControlDevice::COrder>();
    m_windowDevice = device;
  }
  // Reads already sent may carry as much as the largest buffer so far,
  // also when a new event thread starts with a small one.
  if (buffer.size() < m_windowCapacity) buffer.resize(m_windowCapacity, 0);
  m_windowCapacity = static_cast<uint32_t>(buffer.size());
  for (;;) {
    const uint32_t capacity = static_cast<uint32_t>(buffer.size());
    while (m_window.size() < kEventReadAhead)
      m_window.push_back(device->Begin(IOCTL_PALVEX_GET_EVENT, nullptr, 0, capacity, m_windowOrder));
    // The driver hands an event at once to a read that arrives while one is
    // queued, though older reads stay parked: the reads are taken as they end.
    std::shared_ptr<platform::CControlDevice::CRequest> next = device->WaitNext(*m_windowOrder);
    if (auto it = std::find(m_window.begin(), m_window.end(), next); it != m_window.end()) m_window.erase(it);
    platform::SDeviceIoResult io = device->Wait(next, buffer.data(), capacity);
    bytes = io.bytesReturned;
    SIoResult result = ResultOf(io);
    if (result.code == Ok) {
      m_window.push_back(device->Begin(IOCTL_PALVEX_GET_EVENT, nullptr, 0, capacity, m_windowOrder));
      return result;
    }
    if (result.systemError != static_cast<int32_t>(ERROR_INSUFFICIENT_BUFFER)) {
      m_window.clear();  // the device ended: the rest of the window failed with it
      m_windowDevice.reset();
      return result;
    }
    // The event at the head of the driver's queue is larger than this read
    // and stays queued: reads of the hinted size take it, and the smaller
    // ones still parked fail on it in turn and are sent again grown. None
    // is waited for in particular, as a read the driver keeps parked would
    // hold the thread.
    if (bytes > kDriverEventHeaderSize + kMaxEventDataLength) return result;
    if (bytes > buffer.size()) buffer.resize(bytes, 0);
    m_windowCapacity = static_cast<uint32_t>(buffer.size());
  }
}

CNetFilterProcessor::SIoResult CNetFilterProcessor::GetEvent(std::vector<uint8_t>& buffer, uint32_t& bytes) {
  SIoResult result = ReadAhead(buffer, bytes);
  if (result.code != Ok) return result;
  return CheckEvent(buffer, bytes);
}

CNetFilterProcessor::SIoResult CNetFilterProcessor::CheckEvent(const std::vector<uint8_t>& buffer, uint32_t bytes) {
  if (bytes == 0) return Failure(NoEvent, 0, {});
  if (bytes < kDriverEventHeaderSize || bytes > buffer.size())
    return Failure(BadByteCount, 0, "Incorrect number of bytes returned");
  DriverEvent header;
  std::memcpy(&header, buffer.data(), sizeof header);
  if (header.headerSize != kDriverEventHeaderSize)
    return Failure(BadHeaderSize, 0,
                   Text("Incorrect size returned ", header.headerSize, " (must be ", kDriverEventHeaderSize, ")"));
  if (uint64_t(bytes) != uint64_t(kDriverEventHeaderSize) + header.dataLength)
    return Failure(BadDataSize, 0,
                   Text("Incorrect data size returned ", header.dataLength, " (must be ", bytes - kDriverEventHeaderSize,
                        ")"));
  return {};
}

void CNetFilterProcessor::EventThread() {
  SeedPoolRandom(static_cast<uint32_t>(time(nullptr)));
  if (m_engineStart)
    m_engineStart();
  else
    g_DnsEngine.Start();
  std::vector<uint8_t> buffer(kDriverEventHeaderSize);
  for (;;) {
    uint32_t bytes = 0;
    SIoResult result = GetEvent(buffer, bytes);
    if (result.code == NoEvent) continue;
    if (result.code != Ok) {
      CLogMessage().SetError().Append(LogError, "GetEvent failed with error ").Append(LogError, result.message);
      // Only a host that went away comes back; any other failure, and a
      // stop, end the thread.
      if (result.systemError != static_cast<int32_t>(platform::ERROR_DEVICE_NOT_CONNECTED) || !Reconnect()) return;
      continue;
    }
    if (!OnEvent(buffer, bytes)) return;
  }
}

bool CNetFilterProcessor::OnEvent(const std::vector<uint8_t>& buffer, uint32_t bytes) {
  DriverEvent event;
  std::memcpy(&event, buffer.data(), sizeof event);
  const uint8_t* data = buffer.data() + kDriverEventHeaderSize;
  if (event.appIdLength > event.dataLength) {
    CLogMessage()
        .SetError()
        .Append(LogError, "Event dropped: application id of ")
        .Append(LogError, event.appIdLength)
        .Append(LogError, " bytes in ")
        .Append(LogError, event.dataLength)
        .Append(LogError, " bytes of data");
    return true;
  }
  switch (event.eventType) {
    case EventFlowEstablished:
      UpdateProcessCache(event.processId, event.appIdLength ? AppIdText(buffer.data(), bytes) : std::wstring());
      break;
    case EventFlowDeleted:
      break;
    case EventLog:
      if (!OnLogEvent(event, data)) return false;
      break;
    case EventUdpDatagram:
      OnDatagramEvent(event, data);
      break;
    case EventTcpConnect:
      OnTcpConnectEvent(event, buffer.data(), bytes);
      break;
    default:
      CLogMessage().SetError().Append(LogError, "Unknown event type ").Append(LogError, event.eventType);
      break;
  }
  return true;
}

bool CNetFilterProcessor::Reconnect() {
  std::wstring lastError;
  for (;;) {
    {
      std::unique_lock lock(m_retryMutex);
      platform::WaitFor(m_retry, lock, kReconnectIntervalMs, [this] { return !m_running; });
    }
    if (!m_running) return false;
    std::wstring error;
    if (Reopen(error)) break;
    // Each reason once, not once a second.
    if (error != lastError) CLogMessage().SetError().Append(LogError, error);
    lastError = error;
  }
  CLogMessage().Append(LogAlways, L"Driver connection restored.");
  return true;
}

bool CNetFilterProcessor::Reopen(std::wstring& errorText) {
  auto fail = [&](const char* what, const SIoResult& result) {
    const std::string text = what + result.message;
    errorText.assign(text.begin(), text.end());
    if (auto device = Device()) device->Close();  // the host takes one client: let the next attempt in
    return false;
  };
  if (!Open(errorText)) {
    if (auto device = Device()) device->Close();
    return false;
  }
  SIoResult result = SetConfig(static_cast<uint32_t>(getpid()), m_blockTcpPort53, m_interceptOthers);
  if (result.code != Ok) return fail("SetConfig failed with error ", result);
  result = StartEngine();
  if (result.code != Ok) return fail("Start failed with error ", result);
  return true;
}

bool CNetFilterProcessor::OnLogEvent(const DriverEvent& event, const uint8_t* data) {
  std::string text;
  if (event.dataLength != 0) {
    const char* begin = reinterpret_cast<const char*>(data);
    text.assign(begin, strnlen(begin, event.dataLength));
  }
  const DriverLogBlock& log = event.typeBlock.log;
  if (log.isInformation == 1) {
    if (log.value == 1) {
      CLogMessage().Append(LogVerbose, L"Network Engine started.");
    } else if (log.value == 2 && log.status == 1) {
      CLogMessage().Append(LogNormal, L"Network Engine was stopped automatically. Restarting.");
      SIoResult result = StartEngine();
      if (result.code != Ok)
        CLogMessage().SetError().Append(LogError, "Start failed with error ").Append(LogError, result.message);
    } else if (log.value == 2) {
      CLogMessage().Append(LogNormal, L"Network Engine stopped.");
      if (!m_running) return false;
    }
    return true;
  }
  if (text.find("FWPS_PACKET_INJECTED_BY_OTHER") != std::string::npos) {
    CLogMessage().Append(LogNormal, L"Third party DNS filter detected on the system.");
  } else if (text.find("FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF") != std::string::npos) {
    CLogMessage().Append(LogDebug, text);
  } else {
    CLogMessage()
        .SetError()
        .Append(LogError, "Network Engine: ")
        .Append(LogError, text)
        .Append(LogError, Text(" (error = ", log.status, ", param = ", log.value, ")"));
  }
  return true;
}

void CNetFilterProcessor::OnDatagramEvent(const DriverEvent& event, const uint8_t* data) {
  const DatagramContext& context = event.typeBlock.datagram;
  uint64_t headers = uint64_t(context.ipHeaderSize) + context.transportHeaderSize;
  if (headers > event.dataLength) {
    CLogMessage()
        .SetError()
        .Append(LogError, "Datagram event dropped: headers of ")
        .Append(LogError, static_cast<unsigned long long>(headers))
        .Append(LogError, " bytes in ")
        .Append(LogError, event.dataLength)
        .Append(LogError, " bytes of data");
    return;
  }
  const uint8_t* message = data + headers;
  uint32_t length = event.dataLength - static_cast<uint32_t>(headers);
  sockaddr_storage source = ToSockaddr(event.sourceAddress);
  sockaddr_storage destination = ToSockaddr(event.destinationAddress);

  if (event.inbound) {
    if (g_LogLevelScreen >= LogVerbose || g_LogLevelFile >= LogVerbose) {
      SDnsMessageInfo info;
      std::vector<SDnsAnswerAddress> addresses;
      LogDnsReply(message, length, info, addresses, true, 0);
    }
    return;
  }

  // The query goes back untouched from the event's own copy, whatever the
  // engine did to its buffer.
  auto bypass = [&] { InjectUdp(message, length, source, destination, context, false); };
  if (length > kInterceptBufferSize) {
    CLogMessage()
        .Append(LogNormal, "DNS message of ")
        .Append(LogNormal, length)
        .Append(LogNormal, " bytes is larger than ")
        .Append(LogNormal, kInterceptBufferSize)
        .Append(LogNormal, ", server=")
        .Append(LogNormal, SockaddrToText(destination))
        .Append(LogNormal, L" - bypassed");
    bypass();
    return;
  }
  std::vector<uint8_t> packet(kInterceptBufferSize, 0);
  std::memcpy(packet.data(), message, length);
  uint32_t packetLength = length;
  const std::wstring& program = m_processNames[event.processId];
  int verdict = m_queryHandler
                    ? m_queryHandler(packet.data(), packetLength, context, source, destination, program, event.processId)
                    : g_DnsEngine.ProcessInterceptedQuery(packet.data(), packetLength, context, source, destination,
                                                          program, event.processId);
  if (verdict == InterceptAnswered) {
    if (packetLength > kInterceptBufferSize) {
      CLogMessage().SetError().Append(LogError, "Answer larger than its buffer dropped");
      return;
    }
    InjectUdp(packet.data(), packetLength, destination, source, context, true);
  } else if (verdict == InterceptBypass) {
    bypass();
  }
}

void CNetFilterProcessor::OnTcpConnectEvent(const DriverEvent& event, const uint8_t* eventBytes, uint32_t bytes) {
  std::wstring program = event.appIdLength ? ProgramName(AppIdText(eventBytes, bytes)) : std::wstring();
  CLogMessage()
      .Append(LogNormal, L"TCP DNS request - ")
      .Append(LogNormal, event.verdict == 1 ? L"bypassed" : L"blocked")
      .Append(LogNormal, L" : server=")
      .Append(LogNormal, RecordAddressText(event.destinationAddress))
      .Append(LogNormal, L":53")
      .Append(LogVerbose, L", program=")
      .Append(LogVerbose, program)
      .Append(LogDebug, L", pid=")
      .Append(LogDebug, event.processId);
}

void CNetFilterProcessor::UpdateProcessCache(uint64_t processId, const std::wstring& imagePath) {
  uint64_t now = platform::GetTickCount64();
  if (now - m_lastPurge > kProcessPurgeIntervalMs) {
    m_lastPurge = now;
    for (auto it = m_processNames.begin(); it != m_processNames.end();) {
      // Id 0 is "no process known" and stays; an id no pid can have is gone.
      bool gone = false;
      if (it->first > uint64_t(INT_MAX)) {
        gone = true;
      } else if (it->first != 0 && kill(static_cast<pid_t>(it->first), 0) != 0) {
        gone = errno != EPERM;  // EPERM: alive, only not ours to signal
      }
      it = gone ? m_processNames.erase(it) : std::next(it);
    }
  }
  m_processNames.try_emplace(processId, ProgramName(imagePath));
}

const std::wstring* CNetFilterProcessor::ProcessNameForTesting(uint64_t processId) const {
  auto it = m_processNames.find(processId);
  return it == m_processNames.end() ? nullptr : &it->second;
}

uint16_t CNetFilterProcessor::OnesComplementSum(const uint8_t* data, size_t length, uint32_t start) {
  uint64_t sum = start;
  size_t i = 0;
  for (; i + 1 < length; i += 2) sum += (uint32_t(data[i]) << 8) | data[i + 1];
  if (i < length) sum += uint32_t(data[i]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

bool CNetFilterProcessor::ComposeIpPacket(const uint8_t* message, uint32_t length, const sockaddr_storage& from,
                                          const sockaddr_storage& to, std::vector<uint8_t>& packet) {
  if (from.ss_family != to.ss_family || (from.ss_family != AF_INET && from.ss_family != AF_INET6)) return false;
  bool v4 = from.ss_family == AF_INET;
  uint32_t ipHeader = v4 ? kIpv4HeaderSize : kIpv6HeaderSize;
  // IPv4 carries the whole datagram in 16 bits, IPv6 the payload; UDP its own length.
  uint32_t limit = v4 ? kMaxIpLength - kIpv4HeaderSize - kUdpHeaderSize : kMaxIpLength - kUdpHeaderSize;
  if (length > limit) return false;

  std::vector<uint8_t> out(ipHeader + kUdpHeaderSize + length, 0);
  uint32_t udpLength = kUdpHeaderSize + length;
  uint32_t sum = OnesComplementSum(message, length, 0);
  uint16_t sourcePort, destinationPort;
  if (v4) {
    const auto& source = reinterpret_cast<const sockaddr_in&>(from);
    const auto& destination = reinterpret_cast<const sockaddr_in&>(to);
    uint8_t* ip = out.data();
    ip[0] = 0x45;
    Put16(ip + 2, static_cast<uint16_t>(ipHeader + udpLength));
    Put16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = IPPROTO_UDP;
    std::memcpy(ip + 12, &source.sin_addr, 4);
    std::memcpy(ip + 16, &destination.sin_addr, 4);
    Put16(ip + 10, static_cast<uint16_t>(~OnesComplementSum(ip, kIpv4HeaderSize, 0)));
    uint8_t pseudo[12] = {};
    std::memcpy(pseudo, ip + 12, 8);
    pseudo[9] = IPPROTO_UDP;
    Put16(pseudo + 10, static_cast<uint16_t>(udpLength));
    sum = OnesComplementSum(pseudo, sizeof pseudo, sum);
    sourcePort = source.sin_port;
    destinationPort = destination.sin_port;
  } else {
    const auto& source = reinterpret_cast<const sockaddr_in6&>(from);
    const auto& destination = reinterpret_cast<const sockaddr_in6&>(to);
    uint8_t* ip = out.data();
    ip[0] = 0x60;
    Put16(ip + 4, static_cast<uint16_t>(udpLength));
    ip[6] = IPPROTO_UDP;
    ip[7] = 64;
    std::memcpy(ip + 8, &source.sin6_addr, 16);
    std::memcpy(ip + 24, &destination.sin6_addr, 16);
    uint8_t pseudo[40] = {};
    std::memcpy(pseudo, ip + 8, 32);
    Put16(pseudo + 34, static_cast<uint16_t>(udpLength));
    pseudo[39] = IPPROTO_UDP;
    sum = OnesComplementSum(pseudo, sizeof pseudo, sum);
    sourcePort = source.sin6_port;
    destinationPort = destination.sin6_port;
  }
  uint8_t* udp = out.data() + ipHeader;
  std::memcpy(udp, &sourcePort, 2);  // already in network order
  std::memcpy(udp + 2, &destinationPort, 2);
  Put16(udp + 4, static_cast<uint16_t>(udpLength));
  uint16_t checksum = static_cast<uint16_t>(~OnesComplementSum(udp, kUdpHeaderSize, sum));
  Put16(udp + 6, checksum == 0 ? 0xFFFF : checksum);
  if (length) std::memcpy(udp + kUdpHeaderSize, message, length);
  packet = std::move(out);
  return true;
}

void CNetFilterProcessor::InjectUdp(const uint8_t* message, uint32_t length, const sockaddr_storage& from,
                                    const sockaddr_storage& to, const DatagramContext& context, bool receive) {
  std::vector<uint8_t> packet;
  if (!ComposeIpPacket(message, length, from, to, packet)) {
    CLogMessage().SetError().Append(LogError, "ComposeIpPacket failed");
    return;
  }
  InjectUdpHeader header{};
  header.headerSize = kInjectUdpHeaderSize;
  header.packetLength = static_cast<uint32_t>(packet.size());
  header.addressFamily = from.ss_family == AF_INET ? kRecordFamilyInet : kRecordFamilyInet6;
  header.context = context;
  header.receive = receive ? 1 : 0;
  std::vector<uint8_t> request(kInjectUdpHeaderSize + packet.size());
  std::memcpy(request.data(), &header, sizeof header);
  std::memcpy(request.data() + kInjectUdpHeaderSize, packet.data(), packet.size());
  // The answer is on its way once written: the reply is matched when it
  // comes, and only a failure is heard of.
  auto logFailure = [](const platform::SDeviceIoResult& io) {
    SIoResult result = ResultOf(io);
    if (result.code != Ok)
      CLogMessage().SetError().Append(LogError, "InjectUdp failed with error ").Append(LogError, result.message);
  };
  std::shared_ptr<platform::CControlDevice> device = Device();
  if (!device) {
    logFailure({platform::ERROR_INVALID_HANDLE, false, 0});
    return;
  }
  device->Post(IOCTL_PALVEX_INJECT_UDP, request.data(), static_cast<uint32_t>(request.size()), logFailure);
}
