#include "Quorvane/platform/completion_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Quorvane/platform/system_errors.h"

namespace {

using platform::CompletionPort;
using platform::Overlapped;
using platform::SCompletion;

// Every wait in these tests is bounded by this.
constexpr uint32_t kWaitMs = 5000;

struct Pair {
  int a = -1, b = -1;
  explicit Pair(int type) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds), 0);
    a = fds[0];
    b = fds[1];
  }
  ~Pair() {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
  }
};

// Gives the socket the descriptor number a closed one had (the system
// usually does so by itself).
void MoveTo(int& fd, int number) {
  if (fd == number) return;
  ASSERT_EQ(dup2(fd, number), number);
  close(fd);
  fd = number;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A loopback port with nothing listening: bound, its number read, closed.
uint16_t ClosedUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address = Loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

int ListenTcp(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  EXPECT_EQ(listen(fd, 4), 0);
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

class CompletionPortTest : public ::testing::Test {
 protected:
  std::shared_ptr<CompletionPort> m_port = CompletionPort::Create();
};

TEST_F(CompletionPortTest, WaitWithNothingQueuedTimesOut) {
  SCompletion c = m_port->Wait(10);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, nullptr);
  EXPECT_EQ(c.error, platform::WAIT_TIMEOUT);
}

TEST_F(CompletionPortTest, ImmediateReceiveStillCompletesThroughThePort) {
  Pair pair(SOCK_DGRAM);
  ASSERT_TRUE(m_port->Associate(pair.a, 7));
  ASSERT_EQ(write(pair.b, "abc", 3), 3);
  uint8_t buffer[16];
  Overlapped ov;
  EXPECT_EQ(m_port->Recv(pair.a, buffer, sizeof(buffer), &ov), 0u);
  SCompletion c = m_port->Wait(0);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.key, 7u);
  EXPECT_EQ(c.overlapped, &ov);
  EXPECT_EQ(c.bytes, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
  EXPECT_EQ(m_port->Wait(0).error, platform::WAIT_TIMEOUT);  // exactly one completion
}

TEST_F(CompletionPortTest, PendingReceivesCompleteInOrderWhenDataArrives) {
  Pair pair(SOCK_DGRAM);
  ASSERT_TRUE(m_port->Associate(pair.a, 3));
  uint8_t first[8], second[8];
  Overlapped ov1, ov2;
  EXPECT_EQ(m_port->Recv(pair.a, first, sizeof(first), &ov1), platform::WSA_IO_PENDING);
  EXPECT_EQ(m_port->Recv(pair.a, second, sizeof(second), &ov2), platform::WSA_IO_PENDING);
  EXPECT_EQ(m_port->Wait(0).error, platform::WAIT_TIMEOUT);
  std::thread writer([&] {
    EXPECT_EQ(write(pair.b, "one", 3), 3);
    EXPECT_EQ(write(pair.b, "three", 5), 5);
  });
  SCompletion c1 = m_port->Wait(kWaitMs);
  SCompletion c2 = m_port->Wait(kWaitMs);
  writer.join();
  EXPECT_EQ(c1.overlapped, &ov1);
  EXPECT_EQ(c1.bytes, 3u);
  EXPECT_EQ(c2.overlapped, &ov2);
  EXPECT_EQ(c2.bytes, 5u);
}

// A UDP socket bound to a free loopback port, which address gets; -1 on failure.
int BoundUdp(sockaddr_in& address) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  address = Loopback(0);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(CompletionPortTest, TruncatedDatagramFailsWithMoreData) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  int receiver = BoundUdp(address);
  ASSERT_GE(receiver, 0);
  ASSERT_TRUE(m_port->Associate(receiver, 1));
  std::vector<uint8_t> buffer(2048);
  Overlapped ov;
  m_port->Recv(receiver, buffer.data(), buffer.size(), &ov);
  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::vector<uint8_t> big(3000, 0x5a);
  ASSERT_EQ(sendto(sender, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&address), length), 3000);
  SCompletion c = m_port->Wait(kWaitMs);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, &ov);
  EXPECT_EQ(c.error, platform::ERROR_MORE_DATA);
  m_port->Disassociate(receiver);
  close(sender);
  close(receiver);
}

// The wait for a datagram holds no buffer: the peek tells the whole size,
// pending or at once, and leaves the datagram for the caller's recv.
TEST_F(CompletionPortTest, PeekTellsTheWholeDatagramSizeAndLeavesIt) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  int receiver = BoundUdp(address);
  ASSERT_GE(receiver, 0);
  ASSERT_TRUE(m_port->Associate(receiver, 4));
  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  Overlapped ov;
  EXPECT_EQ(m_port->PeekDatagram(receiver, &ov), platform::WSA_IO_PENDING);
  std::vector<uint8_t> big(40000, 0x5a);
  ASSERT_EQ(sendto(sender, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&address), length), 40000);
  for (bool atOnce : {false, true}) {
    SCOPED_TRACE(atOnce ? "at_once" : "pending");
    if (atOnce) {
      EXPECT_EQ(m_port->PeekDatagram(receiver, &ov), 0u);  // the datagram is still there
    }
    SCompletion c = m_port->Wait(kWaitMs);
    EXPECT_TRUE(c.ok);
    EXPECT_EQ(c.key, 4u);
    EXPECT_EQ(c.bytes, 40000u);
  }
  std::vector<uint8_t> got(big.size());
  EXPECT_EQ(recv(receiver, got.data(), got.size(), MSG_DONTWAIT), 40000);
  EXPECT_EQ(got, big);
  int stream[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stream), 0);
  ASSERT_TRUE(m_port->Associate(stream[0], 5));
  EXPECT_EQ(m_port->PeekDatagram(stream[0], &ov), platform::WSAEINVAL);
  m_port->Disassociate(stream[0]);
  m_port->Disassociate(receiver);
  close(stream[0]);
  close(stream[1]);
  close(sender);
  close(receiver);
}

TEST_F(CompletionPortTest, ReceiveOnRefusedUdpPortFailsWithPortUnreachable) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(ClosedUdpPort());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_TRUE(m_port->Associate(fd, 9));
  uint8_t buffer[64];
  Overlapped ov;
  // Posted before the ICMP error arrives, so the failure comes from the wait.
  EXPECT_EQ(m_port->Recv(fd, buffer, sizeof(buffer), &ov), platform::WSA_IO_PENDING);
  ASSERT_EQ(send(fd, "q", 1, 0), 1);
  SCompletion c = m_port->Wait(kWaitMs);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.key, 9u);
  EXPECT_EQ(c.error, platform::ERROR_PORT_UNREACHABLE);
  // And when the error is already there as the receive starts.
  ASSERT_EQ(send(fd, "q", 1, 0), 1);
  std::this_thread::yield();
  uint32_t started = m_port->Recv(fd, buffer, sizeof(buffer), &ov);
  EXPECT_EQ(started, platform::WSA_IO_PENDING);
  c = m_port->Wait(kWaitMs);
  EXPECT_EQ(c.error, platform::ERROR_PORT_UNREACHABLE);
  m_port->Disassociate(fd);
  close(fd);
}

// Linux trap: after shutdown a connected UDP socket's recvmsg answers EAGAIN
// while epoll keeps reporting EPOLLHUP.
TEST_F(CompletionPortTest, ShutDownUdpReceiveCompletesWithNoBytes) {
  for (bool postedFirst : {true, false}) {
    SCOPED_TRACE(postedFirst ? "posted before the shutdown" : "posted after it");
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(ClosedUdpPort());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_TRUE(m_port->Associate(fd, 12));
    uint8_t buffer[64];
    Overlapped ov;
    if (postedFirst) {
      EXPECT_EQ(m_port->Recv(fd, buffer, sizeof(buffer), &ov), platform::WSA_IO_PENDING);
    }
    ASSERT_EQ(shutdown(fd, SHUT_RDWR), 0);
    if (!postedFirst) m_port->Recv(fd, buffer, sizeof(buffer), &ov);
    SCompletion c = m_port->Wait(kWaitMs);
    EXPECT_EQ(c.overlapped, &ov);
    EXPECT_EQ(c.key, 12u);
    EXPECT_EQ(c.bytes, 0u);
    // Nothing left: the hung-up socket no longer keeps the wait past its time-out.
    EXPECT_EQ(m_port->Wait(50).error, platform::WAIT_TIMEOUT);
    m_port->Disassociate(fd);
    close(fd);
  }
}

TEST_F(CompletionPortTest, SendCompletesOnlyWhenEveryByteIsWritten) {
  Pair pair(SOCK_STREAM);
  int small = 4096;
  setsockopt(pair.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  ASSERT_TRUE(m_port->Associate(pair.a, 5));
  std::vector<uint8_t> data(2 * 1024 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  Overlapped ov;
  EXPECT_EQ(m_port->Send(pair.a, data.data(), data.size(), &ov), platform::WSA_IO_PENDING);
  EXPECT_EQ(m_port->Wait(0).error, platform::WAIT_TIMEOUT);  // the peer reads nothing yet
  std::vector<uint8_t> received;
  std::thread reader([&] {
    uint8_t chunk[65536];
    while (received.size() < data.size()) {
      ssize_t n = read(pair.b, chunk, sizeof(chunk));
      if (n <= 0) break;
      received.insert(received.end(), chunk, chunk + n);
    }
  });
  SCompletion c = m_port->Wait(kWaitMs);
  reader.join();
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &ov);
  EXPECT_EQ(c.bytes, data.size());
  EXPECT_EQ(received, data);
}

TEST_F(CompletionPortTest, ConnectToClosedPortIsRefused) {
  uint16_t port;
  int listener = ListenTcp(port);
  close(listener);  // nothing listens there now
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_TRUE(m_port->Associate(fd, 11));
  sockaddr_in address = Loopback(port);
  Overlapped ov;
  uint32_t started = m_port->Connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address), nullptr, 0, &ov);
  EXPECT_EQ(started, platform::WSA_IO_PENDING);
  SCompletion c = m_port->Wait(kWaitMs);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.overlapped, &ov);
  EXPECT_EQ(c.error, platform::ERROR_CONNECTION_REFUSED);
  m_port->Disassociate(fd);
  close(fd);
}

TEST_F(CompletionPortTest, ConnectSendsItsInitialData) {
  uint16_t port;
  int listener = ListenTcp(port);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_TRUE(m_port->Associate(fd, 12));
  sockaddr_in address = Loopback(port);
  const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
  Overlapped ov;
  uint32_t started = m_port->Connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address), hello, 5, &ov);
  EXPECT_TRUE(started == 0 || started == platform::WSA_IO_PENDING) << started;
  SCompletion c = m_port->Wait(kWaitMs);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 5u);
  int accepted = accept(listener, nullptr, nullptr);
  char got[5];
  EXPECT_EQ(read(accepted, got, 5), 5);
  EXPECT_EQ(std::string(got, 5), "hello");
  // The peer's close reads as a receive of 0 bytes.
  close(accepted);
  uint8_t buffer[8];
  m_port->Recv(fd, buffer, sizeof(buffer), &ov);
  c = m_port->Wait(kWaitMs);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.bytes, 0u);
  m_port->Disassociate(fd);
  close(fd);
  close(listener);
}

TEST_F(CompletionPortTest, PostsFromOtherThreadsAllArrive) {
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) m_port->Post(static_cast<uint32_t>(i), static_cast<uint64_t>(t + 1), nullptr);
    });
  }
  std::set<std::pair<uint64_t, uint32_t>> seen;
  for (int i = 0; i < kThreads * kEach; ++i) {
    SCompletion c = m_port->Wait(kWaitMs);
    ASSERT_TRUE(c.ok);
    seen.insert({c.key, c.bytes});
  }
  for (auto& p : posters) p.join();
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
  // An empty post is the wake-up packet: no bytes, key 0, no record.
  m_port->Post(0, 0, nullptr);
  SCompletion c = m_port->Wait(kWaitMs);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.key, 0u);
  EXPECT_EQ(c.overlapped, nullptr);
}

TEST_F(CompletionPortTest, ReceiveStartedFromAnotherThreadWakesTheWaiter) {
  Pair pair(SOCK_DGRAM);
  ASSERT_TRUE(m_port->Associate(pair.a, 4));
  ASSERT_EQ(write(pair.b, "x", 1), 1);
  uint8_t buffer[4];
  Overlapped ov;
  std::thread starter([&] { m_port->Recv(pair.a, buffer, sizeof(buffer), &ov); });
  SCompletion c = m_port->Wait(kWaitMs);
  starter.join();
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.overlapped, &ov);
}

// The descriptor number of a closed socket comes back at once; the new
// socket's data must never reach the old operation's buffer. A socket closed
// without being purged is found out when its number is associated again.
TEST_F(CompletionPortTest, ClosedSocketsReceiveNeverTouchesItsBufferAgain) {
  for (const char* mode : {"Disassociate", "PurgeDescriptor", "close only"}) {
    SCOPED_TRACE(mode);
    Pair old(SOCK_DGRAM);
    int number = old.a;
    ASSERT_TRUE(m_port->Associate(number, 1));
    auto oldBuffer = std::make_unique<uint8_t[]>(64);
    auto oldOv = std::make_unique<Overlapped>();
    ASSERT_EQ(m_port->Recv(number, oldBuffer.get(), 64, oldOv.get()), platform::WSA_IO_PENDING);
    if (mode[0] == 'D') m_port->Disassociate(number);
    if (mode[0] == 'P') platform::PurgeDescriptor(number);
    close(number);
    old.a = -1;
    oldBuffer.reset();  // released as a processor would be; ASan catches a late write
    oldOv.reset();

    Pair fresh(SOCK_DGRAM);
    MoveTo(fresh.a, number);
    ASSERT_TRUE(m_port->Associate(number, 2));
    ASSERT_EQ(write(fresh.b, "new", 3), 3);
    uint8_t buffer[64];
    Overlapped ov;
    m_port->Recv(number, buffer, sizeof(buffer), &ov);
    SCompletion c = m_port->Wait(kWaitMs);
    EXPECT_EQ(c.key, 2u);
    EXPECT_EQ(c.overlapped, &ov);
    EXPECT_EQ(c.bytes, 3u);
    EXPECT_EQ(m_port->Wait(0).error, platform::WAIT_TIMEOUT);
    m_port->Disassociate(number);
  }
}

TEST_F(CompletionPortTest, DisassociateDropsQueuedCompletions) {
  Pair pair(SOCK_DGRAM);
  ASSERT_TRUE(m_port->Associate(pair.a, 1));
  ASSERT_EQ(write(pair.b, "x", 1), 1);
  uint8_t buffer[4];
  Overlapped ov;
  EXPECT_EQ(m_port->Recv(pair.a, buffer, sizeof(buffer), &ov), 0u);
  m_port->Post(1, 99, nullptr);
  m_port->Disassociate(pair.a);
  SCompletion c = m_port->Wait(0);
  EXPECT_EQ(c.key, 99u);  // the post stays, the receive's result is gone
  EXPECT_EQ(m_port->Wait(0).error, platform::WAIT_TIMEOUT);
}

TEST_F(CompletionPortTest, RefusesWhatCannotStart) {
  Pair pair(SOCK_DGRAM);
  uint8_t buffer[4];
  Overlapped ov;
  EXPECT_EQ(m_port->Recv(pair.a, buffer, sizeof(buffer), &ov), platform::WSAEINVAL);  // not associated
  ASSERT_TRUE(m_port->Associate(pair.a, 1));
  EXPECT_FALSE(m_port->Associate(pair.a, 2));  // twice
  EXPECT_EQ(m_port->Recv(pair.a, buffer, sizeof(buffer), nullptr), platform::WSAEINVAL);
  EXPECT_FALSE(m_port->Associate(-1, 3));
  EXPECT_EQ(m_port->Wait(0).error, platform::WAIT_TIMEOUT);
  m_port->Disassociate(pair.a);
}

}  // namespace
