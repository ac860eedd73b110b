// What the engine tests share: the DNS message builder, a running
// configuration that is put back afterwards, a main window that queues what
// it is posted, and an engine whose injections are recorded.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Quorvane/config/profile.h"
#include "Quorvane/config/rule.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/engine/server_state.h"
#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/platform/window_messages.h"
#include "tests/support/config_records.h"
#include "tests/support/dns_messages.h"
#include "tests/support/log_capture.h"
#include "tests/support/bounded_wait.h"

namespace enginetest {

using namespace dnstest;

inline CRule MakeRule(ERuleAction action, uint32_t actionId = 0, const wchar_t* hostnames = L"*") {
  CRule rule;
  rule.name = L"Rule";
  rule.action = action;
  rule.action_id = actionId;
  std::wstring error;
  EXPECT_TRUE(rule.SetHostnames(hostnames, L"", error)) << error;
  return rule;
}

inline CRule DefaultRule() {
  CRule rule;
  rule.InitDefault();
  return rule;
}

// The running configuration for one test; the previous one comes back after.
class CRunningConfiguration {
 public:
  CRunningConfiguration(std::vector<CDnsServer> servers, std::vector<CRule> rules, std::vector<CDnsPool> pools = {}) {
    m_ttlMin = g_Configuration.settings.ttlMin;
    m_ttlMax = g_Configuration.settings.ttlMax;
    m_captive = g_Configuration.settings.captivePortalDetection;
    CProfile::ChangeRunningLists([&](std::vector<CDnsServer>& s, std::vector<CDnsPool>& p, std::vector<CRule>& r) {
      m_saved.servers = std::exchange(s, std::move(servers));
      m_saved.pools = std::exchange(p, std::move(pools));
      m_saved.rules = std::exchange(r, std::move(rules));
    });
  }
  ~CRunningConfiguration() {
    CProfile::ChangeRunningLists([&](std::vector<CDnsServer>& s, std::vector<CDnsPool>& p, std::vector<CRule>& r) {
      s = m_saved.servers;
      p = m_saved.pools;
      r = m_saved.rules;
    });
    g_Configuration.settings.ttlMin = m_ttlMin;
    g_Configuration.settings.ttlMax = m_ttlMax;
    g_Configuration.settings.captivePortalDetection = m_captive;
  }
  CRunningConfiguration(const CRunningConfiguration&) = delete;
  CRunningConfiguration& operator=(const CRunningConfiguration&) = delete;

 private:
  CProfile m_saved;
  uint32_t m_ttlMin, m_ttlMax;
  bool m_captive;
};

// Stands in for the main window while it lives.
class CMainWindow {
 public:
  CMainWindow() { g_hMainWnd = m_window.Handle(); }
  ~CMainWindow() { g_hMainWnd = 0; }
  std::vector<platform::SWindowMessage> Take() {
    auto all = m_window.TakeAll();
    return {all.begin(), all.end()};
  }
  bool Wait(platform::SWindowMessage& out, int timeoutMs) { return m_window.WaitForMessage(out, timeoutMs); }

 private:
  platform::CMessageQueueWindow m_window;
};

struct SInjected {
  Bytes message;
  sockaddr_storage from;
  sockaddr_storage to;
  DatagramContext context;
  bool receive;
};

// Records what the engine injects.
class CInjections {
 public:
  CDnsEngine::InjectUdpFn Fn() {
    return [this](const uint8_t* message, uint32_t length, const sockaddr_storage& from, const sockaddr_storage& to,
                  const DatagramContext& context, bool receive) {
      {
        std::lock_guard lock(m_mutex);
        m_items.push_back({Bytes(message, message + length), from, to, context, receive});
      }
      m_changed.notify_all();
    };
  }
  std::vector<SInjected> Items() {
    std::lock_guard lock(m_mutex);
    return m_items;
  }
  bool WaitFor(size_t count, int timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_items.size() >= count; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<SInjected> m_items;
};

inline sockaddr_storage Ipv4(const char* text, uint16_t port) {
  sockaddr_storage storage = TextToSockaddr(text);
  reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(port);
  return storage;
}

// A socket of type bound to a free port of 127.0.0.1, which port receives.
inline int BoundLoopbackSocket(int type, uint16_t& port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

inline bool Contains(const std::vector<std::wstring>& lines, const std::wstring& part) {
  for (const std::wstring& line : lines) {
    if (line.find(part) != std::wstring::npos) return true;
  }
  return false;
}

// Bounded wait until a captured log line holds part; lines seen go to seen.
inline bool WaitForLogLine(testsupport::LogCapture& log, const std::wstring& part, std::vector<std::wstring>& seen,
                           int timeoutMs) {
  return testsupport::WaitUntil(
      [&] {
        for (std::wstring& line : log.TakeTexts()) seen.push_back(std::move(line));
        return Contains(seen, part);
      },
      std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(20));
}

}  // namespace enginetest
