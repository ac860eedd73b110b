// A TCP server on a free port of 127.0.0.1 that plays one script per
// accepted connection (the last script for every later one): it reads the
// request up to its blank line, then sends, pauses, holds until released or
// closes, step by step; after the last step it waits for the client to close.
// Every wait is bounded. With accepting off it only listens, with a backlog
// of none, so that a test can fill the queue and leave connects unanswered.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/engine_fixture.h"

namespace enginetest {

struct SScriptStep {
  enum Kind { Send, Pause, Hold, Close } kind;
  std::string data;  // Send
  int ms = 0;        // Pause
};
using SScript = std::vector<SScriptStep>;

inline SScriptStep SendStep(std::string data) { return {SScriptStep::Send, std::move(data)}; }
inline SScriptStep PauseStep(int ms) { return {SScriptStep::Pause, {}, ms}; }
inline SScriptStep HoldStep() { return {SScriptStep::Hold, {}, 0}; }
inline SScriptStep CloseStep() { return {SScriptStep::Close, {}, 0}; }

class CScriptedHttpServer {
 public:
  static constexpr int kLongestWaitMs = 15000;

  explicit CScriptedHttpServer(std::vector<SScript> scripts, bool accepting = true)
      : m_scripts(std::move(scripts)) {
    m_fd = BoundLoopbackSocket(SOCK_STREAM, m_port);
    listen(m_fd, accepting ? 16 : 0);
    if (accepting) m_acceptor = std::thread([this] { Accept(); });
  }
  ~CScriptedHttpServer() {
    m_stop = true;
    Release();
    if (m_acceptor.joinable()) m_acceptor.join();
    for (std::thread& thread : m_connections) thread.join();
    close(m_fd);
  }
  CScriptedHttpServer(const CScriptedHttpServer&) = delete;
  CScriptedHttpServer& operator=(const CScriptedHttpServer&) = delete;

  uint16_t Port() const { return m_port; }
  // Lets every Hold step go on.
  void Release() {
    {
      std::lock_guard lock(m_mutex);
      m_released = true;
    }
    m_changed.notify_all();
  }
  // The requests read so far, in accepting order.
  std::vector<std::string> Requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
  }
  // Bounded wait until count requests have been read.
  bool WaitForRequests(size_t count, int timeoutMs = 5000) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_requests.size() >= count; });
  }

 private:
  void Accept() {
    size_t index = 0;
    while (!m_stop) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 20) != 1) continue;
      const int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const SScript& script = m_scripts.empty() ? m_empty : m_scripts[std::min(index, m_scripts.size() - 1)];
      ++index;
      m_connections.emplace_back([this, fd, &script] { Serve(fd, script); });
    }
  }

  void Serve(int fd, const SScript& script) {
    std::string request;
    char buffer[1024];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLongestWaitMs);
    while (request.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) != 1) continue;
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      request.append(buffer, static_cast<size_t>(got));
    }
    {
      std::lock_guard lock(m_mutex);
      m_requests.push_back(request);
    }
    m_changed.notify_all();
    for (const SScriptStep& step : script) {
      switch (step.kind) {
        case SScriptStep::Send:
          if (send(fd, step.data.data(), step.data.size(), MSG_NOSIGNAL) < 0) {  // the client is gone
            close(fd);
            return;
          }
          break;
        case SScriptStep::Pause: {
          std::unique_lock lock(m_mutex);
          m_changed.wait_for(lock, std::chrono::milliseconds(step.ms), [this] { return m_stop.load(); });
          break;
        }
        case SScriptStep::Hold: {
          std::unique_lock lock(m_mutex);
          m_changed.wait_for(lock, std::chrono::milliseconds(kLongestWaitMs), [this] { return m_released || m_stop; });
          break;
        }
        case SScriptStep::Close:
          close(fd);
          return;
      }
    }
    // Until the client gives up (or the bound passes).
    for (int i = 0; i < kLongestWaitMs / 20 && !m_stop; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) == 1 && recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }
    close(fd);
  }

  const std::vector<SScript> m_scripts;
  const SScript m_empty;
  int m_fd = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_released = false;            // under m_mutex
  std::vector<std::string> m_requests;  // under m_mutex
  std::thread m_acceptor;
  std::list<std::thread> m_connections;  // the acceptor's until it is joined
};

}  // namespace enginetest
