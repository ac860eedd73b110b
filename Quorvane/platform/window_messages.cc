#include "Quorvane/platform/window_messages.h"

#include <chrono>
#include <map>
#include <memory>

namespace platform {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<HWND, std::shared_ptr<WindowDelivery>> windows;
  HWND next = 1;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: posts may come during exit
  return *registry;
}

}  // namespace

HWND RegisterWindow(WindowDelivery deliver) {
  auto& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  HWND handle = r.next++;
  r.windows.emplace(handle, std::make_shared<WindowDelivery>(std::move(deliver)));
  return handle;
}

void UnregisterWindow(HWND window) {
  auto& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  r.windows.erase(window);
}

bool IsWindow(HWND window) {
  auto& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  return r.windows.count(window) != 0;
}

bool PostWindowMessage(HWND window, unsigned message, uintptr_t wParam, intptr_t lParam) {
  if (window == 0) return false;
  auto& r = TheRegistry();
  // Delivery runs under the registry lock so that UnregisterWindow, once it
  // returns, guarantees no delivery is still running into a dead window.
  std::lock_guard lock(r.mutex);
  auto it = r.windows.find(window);
  if (it == r.windows.end()) return false;
  (*it->second)(SWindowMessage{message, wParam, lParam});
  return true;
}

CMessageQueueWindow::CMessageQueueWindow() {
  m_handle = RegisterWindow([this](const SWindowMessage& m) {
    {
      std::lock_guard lock(m_mutex);
      m_queue.push_back(m);
    }
    m_condition.notify_all();
  });
}

CMessageQueueWindow::~CMessageQueueWindow() { UnregisterWindow(m_handle); }

std::deque<SWindowMessage> CMessageQueueWindow::TakeAll() {
  std::lock_guard lock(m_mutex);
  std::deque<SWindowMessage> out;
  out.swap(m_queue);
  return out;
}

bool CMessageQueueWindow::WaitForMessage(SWindowMessage& out, int timeoutMs) {
  std::unique_lock lock(m_mutex);
  if (!m_condition.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_queue.empty(); }))
    return false;
  out = m_queue.front();
  m_queue.pop_front();
  return true;
}

}  // namespace platform
