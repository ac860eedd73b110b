// The driver's control socket served by the driver code loaded on the
// simulated kernel (ksim::LoadDriver first): each accepted connection is a
// ksim::CConnection, fed what the client writes; its output goes back to the
// client after every read and whenever Flush is called (for completions that
// a test causes by calling the driver itself). A test may rewrite the
// driver's replies on their way out, to play a driver that misbehaves.
// One thread, bounded waits.
// Tests link palvex_driver and palvex_kernel_sim for it.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "PalvexDrv/kernel/kernel_sim.h"

namespace testsupport {

class CSimDriverListener {
 public:
  explicit CSimDriverListener(const std::filesystem::path& socketPath) : m_path(socketPath) {
    m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = socketPath.string();
    EXPECT_LT(path.size(), sizeof address.sun_path) << "socket path too long: " << path;
    std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
    EXPECT_EQ(bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << strerror(errno);
    EXPECT_EQ(listen(m_listen, 8), 0) << strerror(errno);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { Run(); });
  }

  ~CSimDriverListener() { Stop(); }

  // Closes every connection (the driver sees the client go) and the socket.
  void Stop() {
    if (!m_thread.joinable()) return;
    m_stop = true;
    Flush();
    m_thread.join();
    close(m_wake);
    close(m_listen);
    std::filesystem::remove(m_path);
  }

  void Flush() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(m_wake, &one, sizeof one);
  }

  // Runs on the listener's thread for every reply from now on, with the code
  // of the request it answers; null passes replies unchanged.
  using ReplyRewrite = std::function<void(uint32_t code, SControlReply& reply)>;
  void SetReplyRewrite(ReplyRewrite rewrite) {
    std::lock_guard lock(m_rewriteMutex);
    m_rewrite = std::move(rewrite);
  }
  // Sees every request the client sends, on the listener's thread.
  using RequestObserver = std::function<void(const SControlRequest& request)>;
  void SetRequestObserver(RequestObserver observer) {
    std::lock_guard lock(m_rewriteMutex);
    m_observer = std::move(observer);
  }

 private:
  struct SPeer {
    int fd;
    std::unique_ptr<ksim::CConnection> connection;
    size_t openReplyLeft = kOpenReplySize;  // the open reply is no reply frame
    CControlFrameReader requests, replies;
    std::map<uint64_t, uint32_t> codes;  // request code by tag, until answered
  };

  void NoteRequests(SPeer& peer, const std::vector<uint8_t>& bytes) {
    peer.requests.Append(bytes.data(), bytes.size());
    SControlRequest request;
    std::lock_guard lock(m_rewriteMutex);
    while (peer.requests.NextRequest(request) == EFrameStatus::Frame) {
      peer.codes[request.tag] = request.code;
      if (m_observer) m_observer(request);
    }
  }

  // The driver's output with every whole reply passed through the rewrite.
  std::vector<uint8_t> Rewritten(SPeer& peer, std::vector<uint8_t> bytes) {
    std::lock_guard lock(m_rewriteMutex);
    size_t open = std::min(peer.openReplyLeft, bytes.size());
    peer.openReplyLeft -= open;
    std::vector<uint8_t> out(bytes.begin(), bytes.begin() + open);
    peer.replies.Append(bytes.data() + open, bytes.size() - open);
    SControlReply reply;
    while (peer.replies.NextReply(reply) == EFrameStatus::Frame) {
      auto code = peer.codes.find(reply.tag);
      if (m_rewrite) m_rewrite(code == peer.codes.end() ? 0 : code->second, reply);
      if (code != peer.codes.end()) peer.codes.erase(code);
      EncodeReply(reply, out);
    }
    return out;
  }

  static void WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  // Sends what the driver produced; false once the driver's side has closed.
  bool Pass(SPeer& peer) {
    WriteAll(peer.fd, Rewritten(peer, peer.connection->TakeOutput()));
    return !peer.connection->Closed();
  }

  void Run() {
    std::list<SPeer> peers;
    std::vector<uint8_t> buffer(64 * 1024);
    while (!m_stop) {
      std::vector<pollfd> fds{{m_listen, POLLIN, 0}, {m_wake, POLLIN, 0}};
      for (auto& peer : peers) fds.push_back({peer.fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 1000) < 0) continue;
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] ssize_t n = read(m_wake, &count, sizeof count);
      }
      if (fds[0].revents & POLLIN) {
        int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          peers.emplace_back();
          peers.back().fd = fd;
          peers.back().connection = std::make_unique<ksim::CConnection>();
        }
      }
      size_t i = 2;
      for (auto it = peers.begin(); it != peers.end(); ++i) {
        bool open = true;
        if (i < fds.size() && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
          ssize_t got = recv(it->fd, buffer.data(), buffer.size(), 0);
          if (got > 0) {
            std::vector<uint8_t> bytes(buffer.begin(), buffer.begin() + got);
            NoteRequests(*it, bytes);
            it->connection->Receive(bytes);
          } else {
            it->connection->EndOfStream();
            open = false;
          }
        }
        open = Pass(*it) && open;
        if (!open) {
          close(it->fd);
          it = peers.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto& peer : peers) {
      peer.connection->EndOfStream();
      close(peer.fd);
    }
  }

  std::filesystem::path m_path;
  int m_listen = -1;
  int m_wake = -1;
  std::atomic<bool> m_stop{false};
  std::mutex m_rewriteMutex;
  ReplyRewrite m_rewrite;       // under m_rewriteMutex
  RequestObserver m_observer;  // under m_rewriteMutex
  std::thread m_thread;
};

}  // namespace testsupport
