// I/O completion port: sockets associated under 64-bit keys, overlapped receive, send and connect whose results always arrive through the port (also when they finish at once), posted packets, waits with a time-out.
// Linux has readiness, not completion: epoll tells when a socket is ready, the dequeuing thread then performs the operation and queues its result.
// Trap guarded: descriptor numbers are reused at once, so Disassociate (or PurgeDescriptor) drops a socket's pending operations and queued results before close().
// Truncated datagrams (MSG_TRUNC) fail with 234; an ICMP-refused datagram receive fails with 1234; a send completes only when every byte is written.
// Threads: one thread dequeues (the engine's worker); operations, posts and disassociation come from any thread.
// Buffers and Overlapped records must stay valid until their completion is dequeued or the socket is disassociated.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

// The caller's record of one overlapped operation (OVERLAPPED); its address
// identifies the operation in the completion.
struct Overlapped {};

struct SCompletion {
  bool ok = false;        // false for a failed operation or a failed wait
  uint32_t bytes = 0;     // bytes transferred
  uint64_t key = 0;       // the association's key, or the posted key
  Overlapped* overlapped = nullptr;
  uint32_t error = 0;     // GetLastError after the dequeue: 0, a Win32 number, or 258 (time-out)
};

class CompletionPort {
 public:
  // Returns null when epoll or eventfd cannot be created (errno is set).
  static std::shared_ptr<CompletionPort> Create();
  ~CompletionPort();
  CompletionPort(const CompletionPort&) = delete;
  CompletionPort& operator=(const CompletionPort&) = delete;

  // CreateIoCompletionPort(socket, port, key): makes the socket non-blocking.
  // False (errno set) for a descriptor that epoll refuses or that is already
  // associated with this port.
  bool Associate(int fd, uint64_t key);
  // The same for a socket created with SOCK_NONBLOCK whose type the caller
  // knows (SOCK_DGRAM, SOCK_STREAM): nothing is asked of the descriptor.
  bool Associate(int fd, uint64_t key, int nonBlockingType);
  // Drops the socket's pending operations and its queued completions; no
  // buffer of it is touched after this returns. Call before close().
  void Disassociate(int fd);

  // Overlapped operations. Each returns 0 when the operation finished at once
  // (its completion is queued), 997 (WSA_IO_PENDING) when its completion comes
  // later, failures found while performing it included; or a Winsock number
  // when it could not be started (10022: not associated or a bad argument),
  // and then nothing is queued.
  uint32_t Recv(int fd, uint8_t* buffer, size_t length, Overlapped* overlapped);
  // A zero-byte receive that completes when a datagram waits, with the
  // datagram's whole size as its bytes; the datagram stays in the socket for
  // the caller's own recv. So a waiting receive holds no buffer. Datagram
  // sockets only (10022 otherwise).
  uint32_t PeekDatagram(int fd, Overlapped* overlapped);
  uint32_t Send(int fd, const uint8_t* data, size_t length, Overlapped* overlapped);
  // ConnectEx: connects, then sends the initial data (may be empty); the
  // completion's bytes count that data.
  uint32_t Connect(int fd, const sockaddr* address, socklen_t addressLength, const uint8_t* data,
                   size_t length, Overlapped* overlapped);

  // PostQueuedCompletionStatus: queues a successful packet as it stands.
  bool Post(uint32_t bytes, uint64_t key, Overlapped* overlapped);

  // GetQueuedCompletionStatus: the next completion in order. A wait that
  // times out returns ok false, no overlapped and error 258; a wait that fails
  // returns ok false, no overlapped and the errno's Win32 number. The
  // time-out ends in real time, or earlier when the program's clock
  // (platform/clock.h) reaches it: a test's fake clock step ends it at once.
  SCompletion Wait(uint32_t timeoutMs);

 private:
  struct SOperation;
  struct SSocketState;
  struct SQueued {
    SCompletion completion;
    uint64_t serial;  // the association it belongs to, 0 for posts
  };

  CompletionPort(int epollFd, int eventFd);
  uint32_t Start(int fd, SOperation op);
  // Performs the socket's ready operations in order and re-arms it.
  void Drive(SSocketState& state, uint32_t events);
  // True when the operation finished (its completion is queued); false when
  // it would block.
  bool Perform(SSocketState& state, SOperation& op);
  void Arm(SSocketState& state);
  void Complete(SSocketState& state, SOperation& op, uint32_t error);
  void Forget(int fd);
  void Wake();

  const int m_epollFd;
  const int m_eventFd;
  std::mutex m_mutex;  // guards everything below; never held across a wait
  uint64_t m_nextSerial = 1;
  std::map<int, std::unique_ptr<SSocketState>> m_sockets;  // by descriptor
  std::map<uint64_t, int> m_serials;                        // epoll's tag to descriptor
  std::deque<SQueued> m_queue;
};

// Disassociates the descriptor from every live port; the socket owner's close
// calls it before close().
void PurgeDescriptor(int fd);

}  // namespace platform
