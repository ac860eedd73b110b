// The program's side of the driver: opens its control device, checks the
// version, configures, starts and stops the driver's engine, reads driver
// events on a thread of its own and hands each diverted query to the DNS
// engine, and composes the IP and UDP packets that carry answers and bypassed
// queries back into the network stack.
// Linux: the device is platform::CControlDevice (the driver host's socket);
// the process check is kill(pid, 0). Records carry the Windows family 23;
// sockaddr_storage here always holds the native AF_INET6.
// When the driver host goes away (a crash, a restart), the event thread logs
// the failed read, then opens the device again once a second and repeats the
// version check, the configuration and the start.
// Threads: Open, Configure, Start and Stop from the application's thread;
// the event thread alone touches the process names and reopens the device;
// InjectUdp from any thread.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Quorvane/platform/device_io.h"
#include "shared/driver_records.h"

class CNetFilterProcessor {
 public:
  enum IoResultCode : int32_t {
    Ok = 0,
    CreateFileFailed = 1,
    DeviceIoControlFailed = 2,
    BadByteCount = 3,
    BadHeaderSize = 4,
    BadDataSize = 5,
    CreateEventFailed = 7,
    GetOverlappedResultFailed = 8,
    NoEvent = 18,
  };

  // The result of every driver call.
  struct SIoResult {
    int32_t systemError = 0;  // Win32 error, or 0
    int32_t code = Ok;        // IoResultCode
    std::string message;
  };

  // Where a diverted query goes: the arguments of
  // CDnsEngine::ProcessInterceptedQuery, returning its EInterceptResult.
  // packet has kInterceptBufferSize bytes; length may be rewritten.
  using QueryHandler = std::function<int(uint8_t* packet, uint32_t& length, const DatagramContext& context,
                                         const sockaddr_storage& client, const sockaddr_storage& server,
                                         const std::wstring& program, uint32_t processId)>;

  static constexpr uint64_t kProcessPurgeIntervalMs = 2000;
  static constexpr uint32_t kStopWaitMs = 1000;
  static constexpr uint64_t kReconnectIntervalMs = 1000;
  // GetEvent requests kept parked at the driver ahead of the event thread,
  // well within the driver host's bound per client.
  static constexpr size_t kEventReadAhead = 64;

  CNetFilterProcessor();
  ~CNetFilterProcessor();
  CNetFilterProcessor(const CNetFilterProcessor&) = delete;
  CNetFilterProcessor& operator=(const CNetFilterProcessor&) = delete;

  // errorText: "Tarnwick driver is not running.", "Cannot start Tarnwick
  // driver: ...", "GetDriverVersion failed with error: ...", "Driver version
  // must be 118".
  bool Open(std::wstring& errorText);
  bool Configure(bool blockTcpPort53, bool interceptOthers);
  // Starts the driver's engine and the event thread (which starts the DNS
  // engine). Not while an event thread exists.
  bool Start();
  bool Stop();

  // Wraps message in IP and UDP headers from from to to and hands it to the
  // driver with the query's context; failures are logged, never returned.
  void InjectUdp(const uint8_t* message, uint32_t length, const sockaddr_storage& from, const sockaddr_storage& to,
                 const DatagramContext& context, bool receive);

  // The IP datagram InjectUdp sends: IPv4 or IPv6 header, UDP header, message,
  // checksums filled. False (packet untouched) for mixed or unknown families
  // or a message the IP and UDP length fields cannot carry.
  static bool ComposeIpPacket(const uint8_t* message, uint32_t length, const sockaddr_storage& from,
                              const sockaddr_storage& to, std::vector<uint8_t>& packet);
  // RFC 1071: 16-bit words in memory order, an odd last byte as the high byte
  // of a zero-padded word, folded to 16 bits; adds to start.
  static uint16_t OnesComplementSum(const uint8_t* data, size_t length, uint32_t start);

  // Tests: where queries go instead of g_DnsEngine; set before Start.
  void SetQueryHandlerForTesting(QueryHandler handler) { m_queryHandler = std::move(handler); }
  // Tests: replaces the DNS engine's start on the event thread.
  void SetEngineStartForTesting(std::function<void()> start) { m_engineStart = std::move(start); }
  // Tests: the process-name entry of processId, or null (event thread stopped).
  const std::wstring* ProcessNameForTesting(uint64_t processId) const;
  // Tests and fuzzing: one read's bytes as the event thread takes them, its
  // checks first; false where the thread would end.
  bool TakeEventForTesting(const std::vector<uint8_t>& buffer, uint32_t bytes) {
    return CheckEvent(buffer, bytes).code != Ok || OnEvent(buffer, bytes);
  }

 private:
  SIoResult IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output, uint32_t outputSize,
                      uint32_t& bytesReturned);
  SIoResult GetDriverVersion(uint32_t& version);
  static SIoResult ResultOf(const platform::SDeviceIoResult& result);
  SIoResult GetEvent(std::vector<uint8_t>& buffer, uint32_t& bytes);
  // The header's sizes against the bytes read.
  static SIoResult CheckEvent(const std::vector<uint8_t>& buffer, uint32_t bytes);
  // The next of the window of GetEvent requests to end.
  SIoResult ReadAhead(std::vector<uint8_t>& buffer, uint32_t& bytes);
  SIoResult StartEngine();
  SIoResult SetConfig(uint32_t processId, bool blockTcpPort53, bool interceptOthers);
  void UpdateProcessCache(uint64_t processId, const std::wstring& imagePath);
  void EventThread();
  // After the host went away: reopens, checks, configures and starts the
  // driver once every kReconnectIntervalMs until that works (true) or the
  // client stops (false). Event thread only.
  bool Reconnect();
  // One attempt; errorText as Open's, or the failed request's statement.
  bool Reopen(std::wstring& errorText);
  std::shared_ptr<platform::CControlDevice> Device();
  void WakeReconnect();
  // One checked event; false: the event thread ends.
  bool OnEvent(const std::vector<uint8_t>& buffer, uint32_t bytes);
  // false: the event thread ends.
  bool OnLogEvent(const DriverEvent& event, const uint8_t* data);
  void OnDatagramEvent(const DriverEvent& event, const uint8_t* data);
  void OnTcpConnectEvent(const DriverEvent& event, const uint8_t* eventBytes, uint32_t bytes);

  // Null until Open; replaced only by the event thread when the host came
  // back; every request holds its own reference.
  std::shared_ptr<platform::CControlDevice> m_device;  // under m_deviceMutex
  std::mutex m_deviceMutex;
  // What Configure was last asked, for the configuration sent on reconnect.
  std::atomic<bool> m_blockTcpPort53{false};
  std::atomic<bool> m_interceptOthers{false};
  // Wakes the reconnect wait when the client stops.
  std::mutex m_retryMutex;
  std::condition_variable m_retry;
  // The read-ahead window and the device it was sent on; kept across Stop
  // and Start, so the next event thread takes the events already read.
  std::deque<std::shared_ptr<platform::CControlDevice::CRequest>> m_window;  // event thread only
  std::shared_ptr<platform::CControlDevice> m_windowDevice;                  // event thread only
  std::shared_ptr<platform::CControlDevice::COrder> m_windowOrder;           // the window's; event thread only
  uint32_t m_windowCapacity = 0;  // output bytes the latest reads offer; event thread only
  std::map<uint64_t, std::wstring> m_processNames;     // event thread only
  uint64_t m_lastPurge = 0;                            // GetTickCount64 of the last purge
  std::thread m_eventThread;
  // Whether the event thread runs; shared with it, so that a thread Stop
  // had to detach can still say it has ended.
  struct SThreadState {
    std::mutex mutex;
    std::condition_variable cv;
    bool running = false;  // under mutex
  };
  std::shared_ptr<SThreadState> m_thread;
  // Set by Start before the thread runs, so a Stop that comes first is not
  // lost; cleared by Stop and the destructor; read by the event thread.
  std::atomic<bool> m_running{false};

  QueryHandler m_queryHandler;         // null: g_DnsEngine
  std::function<void()> m_engineStart;  // null: g_DnsEngine.Start()
};

extern CNetFilterProcessor g_NetFilterProcessor;
