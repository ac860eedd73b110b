#include "Quorvane/foundation/safe_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace {

std::atomic<int> g_purged{0};
std::atomic<int> g_purgedFd{-1};
void CountPurge(SOCKET s) {
  ++g_purged;
  g_purgedFd = s;
  // Still open here: the purge runs before close().
  EXPECT_NE(fcntl(s, F_GETFD), -1);
}

TEST(SafeSocket, FailedCreateIsEmptyWithErrno) {
  errno = 0;
  EXPECT_EQ(CSafeSocket::Create(12345, SOCK_DGRAM, 0), nullptr);
  EXPECT_EQ(errno, EAFNOSUPPORT);
}

TEST(SafeSocket, TwoOwnersReleasingTogetherCloseOnce) {
  SetSocketPurgeHook(&CountPurge);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  for (int round = 0; round < 20; ++round) {
    g_purged = 0;
    auto first = CSafeSocket::Create(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(first, nullptr);
    const SOCKET fd = first->Handle();
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    auto second = first;
    std::atomic<bool> go{false};
    std::thread a([&] { while (!go) {} first.reset(); });
    std::thread b([&] { while (!go) {} second.reset(); });
    go = true;
    a.join();
    b.join();
    EXPECT_EQ(g_purged, 1);
    EXPECT_EQ(g_purgedFd, fd);
    char c;
    EXPECT_EQ(recv(peer, &c, 1, 0), 0);  // the peer sees the end of the stream
    close(peer);
  }
  close(listener);
  SetSocketPurgeHook(nullptr);
}

}  // namespace
