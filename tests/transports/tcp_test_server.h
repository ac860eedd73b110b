// A scripted TCP server on a free loopback port: the test's script runs on a
// thread of its own over each accepted connection. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace testsupport {

class CTcpTestServer {
 public:
  static constexpr int kWaitMs = 5000;

  CTcpTestServer() {
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(m_listen, 8), 0);
    socklen_t length = sizeof address;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
  }
  ~CTcpTestServer() {
    if (m_thread.joinable()) m_thread.join();
    close(m_listen);
  }

  // Runs script(fd) over each of count accepted connections, then closes them.
  void Serve(int count, std::function<void(int fd, int index)> script) {
    m_thread = std::thread([this, count, script] {
      for (int i = 0; i < count; ++i) {
        pollfd p{m_listen, POLLIN, 0};
        if (poll(&p, 1, kWaitMs) != 1) return;
        int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        script(fd, i);
        close(fd);
      }
    });
  }
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }

  // Exactly n bytes, or fewer when the peer closes or the wait ends.
  static std::vector<uint8_t> Read(int fd, size_t n) {
    std::vector<uint8_t> data;
    while (data.size() < n) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, kWaitMs) != 1) break;
      uint8_t buffer[65536];
      ssize_t got = recv(fd, buffer, std::min(sizeof buffer, n - data.size()), 0);
      if (got <= 0) break;
      data.insert(data.end(), buffer, buffer + got);
    }
    return data;
  }
  // One framed DNS message: its 2-byte length, then that many bytes.
  static std::vector<uint8_t> ReadFramed(int fd) {
    std::vector<uint8_t> prefix = Read(fd, 2);
    if (prefix.size() != 2) return {};
    return Read(fd, static_cast<size_t>(prefix[0]) << 8 | prefix[1]);
  }
  // True when the peer closed (a read of 0) within the wait.
  static bool PeerClosed(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kWaitMs) != 1) return false;
    uint8_t byte;
    return recv(fd, &byte, 1, 0) == 0;
  }
  static std::vector<uint8_t> Framed(const std::vector<uint8_t>& message) {
    std::vector<uint8_t> framed{static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())};
    framed.insert(framed.end(), message.begin(), message.end());
    return framed;
  }

  uint16_t m_port = 0;

 private:
  int m_listen = -1;
  std::thread m_thread;
};

}  // namespace testsupport
