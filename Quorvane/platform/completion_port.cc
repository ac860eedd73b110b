#include "Quorvane/platform/completion_port.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <cstring>
#include <set>

#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/system_errors.h"

namespace platform {
namespace {

std::mutex g_portsMutex;  // guards g_ports; taken before any port's own mutex
std::set<CompletionPort*> g_ports;

constexpr uint64_t kWakeTag = 0;  // epoll tag of the eventfd; serials start at 1

}  // namespace

struct CompletionPort::SOperation {
  enum Kind { Recv, Send, Connect } kind = Recv;
  uint8_t* buffer = nullptr;  // Recv: written; Send and Connect: read only
  size_t length = 0;
  size_t done = 0;  // bytes sent so far
  Overlapped* overlapped = nullptr;
  sockaddr_storage address{};
  socklen_t addressLength = 0;
  bool connecting = false;  // connect() answered EINPROGRESS
  bool connected = false;
  bool peek = false;  // Recv: PeekDatagram
};

struct CompletionPort::SSocketState {
  int fd = -1;
  uint64_t key = 0;
  uint64_t serial = 0;
  bool datagram = false;
  // epoll reported EPOLLHUP: the socket was shut down. A datagram receive
  // then answers EAGAIN for ever, so it completes with 0 bytes instead.
  bool hangUp = false;
  std::deque<SOperation> receives;
  std::deque<SOperation> sends;  // sends and connects, in start order
};

std::shared_ptr<CompletionPort> CompletionPort::Create() {
  int epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0) return nullptr;
  int eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (eventFd < 0) {
    int saved = errno;
    close(epollFd);
    errno = saved;
    return nullptr;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeTag;
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, eventFd, &event) != 0) {
    int saved = errno;
    close(eventFd);
    close(epollFd);
    errno = saved;
    return nullptr;
  }
  std::shared_ptr<CompletionPort> port(new CompletionPort(epollFd, eventFd));
  // Waits run on the program's clock; a fake clock's step makes them look again.
  static std::once_flag listening;
  std::call_once(listening, [] {
    AddClockChangeListener([] {
      std::lock_guard lock(g_portsMutex);
      for (CompletionPort* live : g_ports) live->Wake();
    });
  });
  std::lock_guard lock(g_portsMutex);
  g_ports.insert(port.get());
  return port;
}

CompletionPort::CompletionPort(int epollFd, int eventFd) : m_epollFd(epollFd), m_eventFd(eventFd) {}

CompletionPort::~CompletionPort() {
  {
    std::lock_guard lock(g_portsMutex);
    g_ports.erase(this);
  }
  close(m_eventFd);
  close(m_epollFd);
}

bool CompletionPort::Associate(int fd, uint64_t key) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  int type = 0;
  socklen_t typeLength = sizeof(type);
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0) type = 0;
  return Associate(fd, key, type);
}

bool CompletionPort::Associate(int fd, uint64_t key, int nonBlockingType) {
  const bool datagram = nonBlockingType == SOCK_DGRAM;
  std::lock_guard lock(m_mutex);
  auto state = std::make_unique<SSocketState>();
  state->fd = fd;
  state->key = key;
  state->serial = m_nextSerial++;
  state->datagram = datagram;
  epoll_event event{};
  event.events = EPOLLONESHOT;  // armed only while operations wait
  event.data.u64 = state->serial;
  if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
    if (errno == EEXIST) errno = EINVAL;  // already associated, as Windows refuses it
    return false;
  }
  // epoll accepted the descriptor, so an entry under its number belongs to a
  // socket that was closed without being disassociated: drop it unseen.
  Forget(fd);
  m_serials[state->serial] = fd;
  m_sockets[fd] = std::move(state);
  return true;
}

void CompletionPort::Disassociate(int fd) {
  std::lock_guard lock(m_mutex);
  if (m_sockets.count(fd)) epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
  Forget(fd);
}

void CompletionPort::Forget(int fd) {
  auto it = m_sockets.find(fd);
  if (it == m_sockets.end()) return;
  uint64_t serial = it->second->serial;
  m_serials.erase(serial);
  m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                               [serial](const SQueued& q) { return q.serial == serial; }),
                m_queue.end());
  m_sockets.erase(it);
}

uint32_t CompletionPort::Recv(int fd, uint8_t* buffer, size_t length, Overlapped* overlapped) {
  SOperation op;
  op.kind = SOperation::Recv;
  op.buffer = buffer;
  op.length = length;
  op.overlapped = overlapped;
  return Start(fd, op);
}

uint32_t CompletionPort::PeekDatagram(int fd, Overlapped* overlapped) {
  {
    std::lock_guard lock(m_mutex);
    auto it = m_sockets.find(fd);
    if (it == m_sockets.end() || !it->second->datagram) return WSAEINVAL;
  }
  SOperation op;
  op.kind = SOperation::Recv;
  op.peek = true;
  op.overlapped = overlapped;
  return Start(fd, op);
}

uint32_t CompletionPort::Send(int fd, const uint8_t* data, size_t length, Overlapped* overlapped) {
  SOperation op;
  op.kind = SOperation::Send;
  op.buffer = const_cast<uint8_t*>(data);  // never written for a send
  op.length = length;
  op.overlapped = overlapped;
  return Start(fd, op);
}

uint32_t CompletionPort::Connect(int fd, const sockaddr* address, socklen_t addressLength,
                                 const uint8_t* data, size_t length, Overlapped* overlapped) {
  if (!address || addressLength == 0 || addressLength > sizeof(sockaddr_storage)) return WSAEINVAL;
  SOperation op;
  op.kind = SOperation::Connect;
  op.buffer = const_cast<uint8_t*>(data);
  op.length = data ? length : 0;
  op.overlapped = overlapped;
  std::memcpy(&op.address, address, addressLength);
  op.addressLength = addressLength;
  return Start(fd, op);
}

uint32_t CompletionPort::Start(int fd, SOperation op) {
  if (!op.overlapped || (op.length > 0 && !op.buffer)) return WSAEINVAL;
  std::unique_lock lock(m_mutex);
  auto it = m_sockets.find(fd);
  if (it == m_sockets.end()) return WSAEINVAL;
  SSocketState& state = *it->second;
  std::deque<SOperation>& queue = op.kind == SOperation::Recv ? state.receives : state.sends;
  if (queue.empty()) {
    size_t queued = m_queue.size();
    if (Perform(state, op)) {
      bool ok = m_queue.size() > queued && m_queue.back().completion.ok;
      lock.unlock();
      Wake();
      return ok ? 0 : WSA_IO_PENDING;
    }
  }
  queue.push_back(op);
  Arm(state);
  return WSA_IO_PENDING;
}

bool CompletionPort::Perform(SSocketState& state, SOperation& op) {
  if (op.kind == SOperation::Recv) {
    ssize_t n;
    int flags = 0;
    do {
      if (op.peek) {
        // MSG_TRUNC makes a datagram socket return the datagram's real size.
        n = recv(state.fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
      } else if (state.datagram) {
        iovec vector{op.buffer, op.length};
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        n = recvmsg(state.fd, &message, MSG_DONTWAIT);
        flags = message.msg_flags;
      } else {
        n = recv(state.fd, op.buffer, op.length, MSG_DONTWAIT);
      }
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!state.datagram || !state.hangUp) return false;
        Complete(state, op, ERROR_SUCCESS);
        return true;
      }
      uint32_t error = state.datagram && errno == ECONNREFUSED ? ERROR_PORT_UNREACHABLE
                                                               : Win32ErrorFromErrno(errno);
      Complete(state, op, error);
      return true;
    }
    // recvmsg returns the part that fit; the rest of the datagram is gone.
    op.done = static_cast<size_t>(n);
    Complete(state, op, (flags & MSG_TRUNC) && !op.peek ? ERROR_MORE_DATA : ERROR_SUCCESS);
    return true;
  }

  if (op.kind == SOperation::Connect && !op.connected) {
    int result;
    if (!op.connecting) {
      do {
        result = connect(state.fd, reinterpret_cast<const sockaddr*>(&op.address), op.addressLength);
      } while (result != 0 && errno == EINTR);
      if (result != 0 && errno == EINPROGRESS) {
        op.connecting = true;
        return false;
      }
    } else {
      int error = 0;
      socklen_t length = sizeof(error);
      if (getsockopt(state.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      // Woken without a result yet: keep waiting.
      if (error == 0) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof(peer);
        if (getpeername(state.fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
          if (errno == ENOTCONN) return false;
          error = errno;
        }
      }
      errno = error;
      result = error == 0 ? 0 : -1;
    }
    if (result != 0) {
      Complete(state, op, Win32ErrorFromErrno(errno));
      return true;
    }
    op.connected = true;
  }

  // Send, or the initial data of a connect.
  while (op.done < op.length) {
    ssize_t n = send(state.fd, op.buffer + op.done, op.length - op.done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
      Complete(state, op, Win32ErrorFromErrno(errno));
      return true;
    }
    op.done += static_cast<size_t>(n);
  }
  Complete(state, op, ERROR_SUCCESS);
  return true;
}

void CompletionPort::Complete(SSocketState& state, SOperation& op, uint32_t error) {
  SQueued queued;
  queued.completion.ok = error == ERROR_SUCCESS;
  queued.completion.bytes = static_cast<uint32_t>(op.done);
  queued.completion.key = state.key;
  queued.completion.overlapped = op.overlapped;
  queued.completion.error = error;
  queued.serial = state.serial;
  m_queue.push_back(queued);
}

void CompletionPort::Drive(SSocketState& state, uint32_t events) {
  auto run = [&](std::deque<SOperation>& queue) {
    while (!queue.empty() && Perform(state, queue.front())) queue.pop_front();
  };
  if (events & EPOLLHUP) state.hangUp = true;
  if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) run(state.receives);
  if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) run(state.sends);
  Arm(state);
}

void CompletionPort::Arm(SSocketState& state) {
  uint32_t mask = 0;
  if (!state.receives.empty()) mask |= EPOLLIN;
  if (!state.sends.empty()) mask |= EPOLLOUT;
  if (mask == 0) return;  // stays disarmed: no event without an operation
  epoll_event event{};
  event.events = mask | EPOLLONESHOT;
  event.data.u64 = state.serial;
  epoll_ctl(m_epollFd, EPOLL_CTL_MOD, state.fd, &event);
}

bool CompletionPort::Post(uint32_t bytes, uint64_t key, Overlapped* overlapped) {
  {
    std::lock_guard lock(m_mutex);
    SQueued queued;
    queued.completion.ok = true;
    queued.completion.bytes = bytes;
    queued.completion.key = key;
    queued.completion.overlapped = overlapped;
    queued.serial = 0;
    m_queue.push_back(queued);
  }
  Wake();
  return true;
}

void CompletionPort::Wake() {
  uint64_t one = 1;
  // A full counter already wakes the waiter.
  [[maybe_unused]] ssize_t n = write(m_eventFd, &one, sizeof(one));
}

SCompletion CompletionPort::Wait(uint32_t timeoutMs) {
  // Ends in real time, or earlier when the program's clock (a fake one
  // stepped by a test; see Create) reaches the time-out.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point realDeadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const uint64_t deadline = GetTickCount64() + timeoutMs;
  int overdue = 0;  // rounds that began past the deadline
  for (;;) {
    {
      std::lock_guard lock(m_mutex);
      if (!m_queue.empty()) {
        SCompletion completion = m_queue.front().completion;
        m_queue.pop_front();
        return completion;
      }
    }
    const uint64_t now = GetTickCount64();
    const auto realLeft = std::chrono::duration_cast<std::chrono::milliseconds>(realDeadline - Clock::now()).count();
    const uint64_t tickLeft = now >= deadline ? 0 : deadline - now;
    const int left = static_cast<int>(
        std::min<uint64_t>({tickLeft, realLeft < 0 ? 0 : static_cast<uint64_t>(realLeft), uint64_t{INT_MAX}}));
    epoll_event events[64];
    int n = epoll_wait(m_epollFd, events, 64, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      SCompletion failed;
      failed.error = Win32ErrorFromErrno(errno);
      return failed;
    }
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == kWakeTag) {
        uint64_t count;
        [[maybe_unused]] ssize_t r = read(m_eventFd, &count, sizeof(count));
        continue;
      }
      std::lock_guard lock(m_mutex);
      auto serial = m_serials.find(events[i].data.u64);
      if (serial == m_serials.end()) continue;  // disassociated meanwhile
      Drive(*m_sockets.at(serial->second), events[i].events);
    }
    // Past the deadline one more look is allowed; after that a round that
    // completed nothing ends the wait too (a hung-up socket keeps reporting).
    if (left == 0 && (n == 0 || overdue++ > 0)) {
      std::lock_guard lock(m_mutex);
      if (m_queue.empty()) {
        SCompletion timedOut;
        timedOut.error = WAIT_TIMEOUT;
        return timedOut;
      }
    }
  }
}

void PurgeDescriptor(int fd) {
  std::lock_guard lock(g_portsMutex);
  for (CompletionPort* port : g_ports) port->Disassociate(fd);
}

}  // namespace platform
