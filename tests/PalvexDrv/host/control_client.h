// A test client of the control socket: connect, read the open reply, send
// requests, read replies, every read bounded in time.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "shared/control_framing.h"

namespace testsupport {

class CControlClient {
 public:
  ~CControlClient() { Close(); }
  // The open reply, or nothing when the connect or the read failed.
  std::optional<uint32_t> Connect(const std::filesystem::path& path,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return std::nullopt;
    std::vector<uint8_t> reply;
    if (!ReadExactly(4, reply, timeout)) return std::nullopt;
    return uint32_t(reply[0]) | uint32_t(reply[1]) << 8 | uint32_t(reply[2]) << 16 | uint32_t(reply[3]) << 24;
  }
  bool Send(const std::vector<uint8_t>& bytes) {
    return send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  bool SendRequest(uint64_t tag, uint32_t code, std::vector<uint8_t> input, uint32_t outputCapacity) {
    std::vector<uint8_t> bytes;
    EncodeRequest(SControlRequest{tag, code, outputCapacity, std::move(input)}, bytes);
    return Send(bytes);
  }
  std::optional<SControlReply> ReadReply(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      SControlReply reply;
      EFrameStatus status = m_reader.NextReply(reply);
      if (status == EFrameStatus::Frame) return reply;
      if (status == EFrameStatus::Invalid) return std::nullopt;
      std::vector<uint8_t> more;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(more, left)) return std::nullopt;
      m_reader.Append(more.data(), more.size());
    }
  }
  // True when the server closed the connection within timeout.
  bool SeesClose(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fd{m_fd, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[65536];
      ssize_t n = recv(m_fd, buffer, sizeof(buffer), 0);
      if (n <= 0) return true;
    }
  }
  void Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }
  int Fd() const { return m_fd; }

 private:
  bool ReadSome(std::vector<uint8_t>& out, std::chrono::milliseconds timeout) {
    pollfd fd{m_fd, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return false;
    uint8_t buffer[65536];
    ssize_t n = recv(m_fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    out.insert(out.end(), buffer, buffer + n);
    return true;
  }
  bool ReadExactly(size_t count, std::vector<uint8_t>& out, std::chrono::milliseconds timeout) {
    while (out.size() < count) {
      pollfd fd{m_fd, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return false;
      uint8_t buffer[64];
      ssize_t n = recv(m_fd, buffer, count - out.size(), 0);
      if (n <= 0) return false;
      out.insert(out.end(), buffer, buffer + n);
    }
    return true;
  }

  int m_fd = -1;
  CControlFrameReader m_reader;
};

}  // namespace testsupport
