#include "Quorvane/engine/captive_portal_detector.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "Quorvane/config/hooks.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/system_dns.h"
#include "Quorvane/platform/system_errors.h"

std::atomic<bool> CCaptivePortalDetector::s_detected{false};
std::atomic<uint64_t> CCaptivePortalDetector::s_lastCheckTick{0};
std::mutex CCaptivePortalDetector::s_mutex;
std::condition_variable CCaptivePortalDetector::s_threadEnded;
uint64_t CCaptivePortalDetector::s_generation = 0;
int CCaptivePortalDetector::s_threads = 0;
std::atomic<bool> CCaptivePortalDetector::s_running{false};

namespace {

constexpr uint32_t kTimedOut = 10060;  // WSAETIMEDOUT, what a receive or connect time-out reports

// Under CCaptivePortalDetector's mutex. Never destroyed: a check still
// running at exit reads it.
struct SProbeTarget {
  std::string host = CCaptivePortalDetector::kTestHost;
  uint16_t port = CCaptivePortalDetector::kProbePort;
  CDnsEngine* engine = nullptr;
};
SProbeTarget& Target() {
  static SProbeTarget* target = new SProbeTarget;
  return *target;
}

class CDetectorHooks : public CCaptivePortalHooks {
 public:
  bool IsDetectionRunning() const override { return CCaptivePortalDetector::IsCheckRunning(); }
  bool IsDetected() const override { return CCaptivePortalDetector::s_detected; }
  void StartCheck() override { CCaptivePortalDetector::StartCheck(); }
  std::string ConnectivityTestHost() const override { return CCaptivePortalDetector::TestHost(); }
};

class CSocket {
 public:
  explicit CSocket(int fd) : m_fd(fd) {}
  ~CSocket() {
    if (m_fd >= 0) close(m_fd);
  }
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

void SetReceiveTimeout(int fd, int ms) {
  timeval timeout{};
  timeout.tv_sec = ms / 1000;
  timeout.tv_usec = (ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// Non-blocking, polled: connect() itself would wait for the kernel's
// retries, minutes on a black-holed network.
void Connect(int fd, const sockaddr_in& address) {
  using Except = CCaptivePortalDetector::except;
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) throw Except{L"connect() failed with error ", static_cast<int>(platform::WSAGetLastError())};
    pollfd p{fd, POLLOUT, 0};
    const int ready = poll(&p, 1, CCaptivePortalDetector::kConnectTimeoutMs);
    if (ready == 0) throw Except{L"connect() failed with error ", static_cast<int>(kTimedOut)};
    int error = 0;
    socklen_t length = sizeof error;
    if (ready < 0) error = errno;
    else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) {
      throw Except{L"connect() failed with error ", static_cast<int>(platform::WinsockErrorFromErrno(error))};
    }
  }
  fcntl(fd, F_SETFL, flags);
}

}  // namespace

CCaptivePortalHooks& CCaptivePortalDetector::Hooks() {
  // Never destroyed: the rule evaluation may still ask it at exit.
  static CDetectorHooks* hooks = new CDetectorHooks;
  return *hooks;
}

std::string CCaptivePortalDetector::TestHost() {
  std::lock_guard lock(s_mutex);
  return Target().host;
}

bool CCaptivePortalDetector::IsCheckRunning() { return s_running.load(std::memory_order_acquire); }

void CCaptivePortalDetector::SetProbeForTesting(const std::string& host, uint16_t port) {
  std::lock_guard lock(s_mutex);
  Target().host = host.empty() ? kTestHost : host;
  Target().port = host.empty() ? kProbePort : port;
}

void CCaptivePortalDetector::SetEngineForTesting(CDnsEngine* engine) {
  std::lock_guard lock(s_mutex);
  Target().engine = engine;
}

bool CCaptivePortalDetector::WaitForChecksForTesting(int timeoutMs) {
  std::unique_lock lock(s_mutex);
  return s_threadEnded.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return s_threads == 0; });
}

void CCaptivePortalDetector::StartCheck() {
  const uint64_t now = platform::GetTickCount64();
  uint64_t last = s_lastCheckTick.load();
  // A caller that read the tick before another claimed a later one sees it
  // ahead of its own; unsigned, the difference would pass for a long pause.
  if (now < last || now - last < kCheckIntervalMs) return;
  // Of callers that saw the same last start, one wins.
  if (!s_lastCheckTick.compare_exchange_strong(last, now)) return;
  uint64_t generation = 0;
  {
    std::lock_guard lock(s_mutex);
    generation = ++s_generation;
    ++s_threads;
    s_running.store(true, std::memory_order_release);
  }
  std::thread(CheckThread, generation).detach();
}

void CCaptivePortalDetector::CheckThread(uint64_t generation) {
  CLogMessage().Append(LogDebug, L"Captive Portal Detector activated");
  const bool before = s_detected;
  const bool redirect = IsRedirect();
  CDnsEngine* engine = nullptr;
  bool current = false;
  {
    std::lock_guard lock(s_mutex);
    current = generation == s_generation;
    if (current) {
      s_detected = redirect;
      s_running.store(false, std::memory_order_release);
      engine = Target().engine ? Target().engine : &g_DnsEngine;
    }
  }
  if (current) {
    if (redirect) {
      CLogMessage().Append(LogNormal, L"Captive Portal detected. Use system resolver for all queries.");
    } else {
      if (before) {
        CLogMessage().Append(LogNormal, L"Captive Portal disabled. Use normal rules for all queries.");
        engine->ResetServerState();
      }
      CLogMessage().Append(LogDebug, L"Captive Portal not detected");
    }
  }
  std::lock_guard lock(s_mutex);
  if (--s_threads == 0) s_threadEnded.notify_all();
}

bool CCaptivePortalDetector::IsRedirect() {
  std::string host;
  uint16_t port = 0;
  {
    std::lock_guard lock(s_mutex);
    host = Target().host;
    port = Target().port;
  }
  std::unique_ptr<CSocket> socket;
  try {
    platform::SSystemDnsResult result =
        platform::SystemDnsQuery(host, platform::DNS_TYPE_A, platform::DNS_QUERY_BYPASS_CACHE);
    if (result.status != 0) throw except{L"DnsQuery_A error ", static_cast<int>(result.status)};
    const platform::SSystemDnsRecord* last = nullptr;
    for (const platform::SSystemDnsRecord& record : result.records) {
      if (record.type == platform::DNS_TYPE_A && record.address.size() == 4) last = &record;
    }
    if (!last) throw except{L"Name resolution failed"};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    std::memcpy(&address.sin_addr, last->address.data(), 4);
    CLogMessage().Append(LogDebug, L"Captive Portal Detector: " + ToWide(host, false) + L"=" +
                                       ToWide(Ipv4ToText(last->address.data()), false));

    socket = std::make_unique<CSocket>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (socket->Fd() < 0) throw except{L"socket() failed with error ", static_cast<int>(platform::WSAGetLastError())};
    SetReceiveTimeout(socket->Fd(), kReceiveTimeoutMs);
    Connect(socket->Fd(), address);

    const std::string request = std::string("GET /") + kTestFile + " HTTP/1.1\r\nHost: " + host +
                                "\r\nConnection: close\r\n\r\n";
    const ssize_t sent = send(socket->Fd(), request.data(), request.size(), MSG_NOSIGNAL);
    if (sent < 0) throw except{L"send() failed with error ", static_cast<int>(platform::WSAGetLastError())};
    if (static_cast<size_t>(sent) != request.size()) {
      throw except{L"send() unexpected result ", static_cast<int>(sent)};
    }

    // One limit for the whole reply: a peer that trickles a byte at a time
    // must not hold the check for longer than one receive time-out.
    std::vector<char> reply(kReplyBufferSize, 0);
    size_t received = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReceiveTimeoutMs);
    while (received < kReplyBufferSize) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) throw except{L"recv() failed with error ", static_cast<int>(kTimedOut)};
      SetReceiveTimeout(socket->Fd(), static_cast<int>(left));
      const ssize_t got = recv(socket->Fd(), reply.data() + received, kReplyBufferSize - received, 0);
      if (got < 0) {
        const uint32_t code =
            errno == EAGAIN || errno == EWOULDBLOCK ? kTimedOut : platform::WinsockErrorFromErrno(errno);
        throw except{L"recv() failed with error ", static_cast<int>(code)};
      }
      if (got == 0) throw except{L"expected test reply not found", -1, true};
      received += static_cast<size_t>(got);
      const std::string_view text(reply.data(), received);
      if (text.find(kExpectedText) != std::string_view::npos) throw except{L" test reply matched"};
    }
    throw except{L"unexpected test reply", -1, true};
  } catch (const except& end) {
    CLogMessage message;
    message.Append(LogDebug, L"Captive Portal Detector: " + end.text);
    if (end.code != -1) message.Append(LogDebug, end.code);
    return end.redirect;
  }
}
