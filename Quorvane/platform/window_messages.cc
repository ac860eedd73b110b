#include "Quorvane/platform/window_messages.h"

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <thread>

namespace platform {
namespace {

// One blocking send from another thread.
struct SPendingSend {
  std::mutex mutex;
  std::condition_variable condition;
  enum { Waiting, Done, Failed } state = Waiting;
  intptr_t result = 0;

  void Finish(bool done, intptr_t value) {
    {
      std::lock_guard lock(mutex);
      if (state != Waiting) return;
      state = done ? Done : Failed;
      result = value;
    }
    condition.notify_all();
  }
  bool IsWaiting() {
    std::lock_guard lock(mutex);
    return state == Waiting;
  }
};

// Fails its send when the queued call is destroyed without having run.
struct SSendGuard {
  std::shared_ptr<SPendingSend> send;
  ~SSendGuard() {
    if (send) send->Finish(false, 0);
  }
};

struct SWindowEntry {
  WindowDelivery deliver;
  WindowHandler handler;
  WindowThreadRunner runner;
  std::thread::id thread;
  std::set<std::shared_ptr<SPendingSend>> pending;  // under the registry lock
};

struct Registry {
  std::mutex mutex;
  std::map<HWND, std::shared_ptr<SWindowEntry>> windows;
  HWND next = 1;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // never destroyed: posts may come during exit
  return *registry;
}

}  // namespace

HWND RegisterWindow(WindowDelivery deliver) { return RegisterWindow(std::move(deliver), nullptr, nullptr); }

HWND RegisterWindow(WindowDelivery deliver, WindowHandler handler, WindowThreadRunner runner) {
  auto entry = std::make_shared<SWindowEntry>();
  entry->deliver = std::move(deliver);
  entry->handler = std::move(handler);
  entry->runner = std::move(runner);
  entry->thread = std::this_thread::get_id();
  auto& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  HWND handle = r.next++;
  r.windows.emplace(handle, std::move(entry));
  return handle;
}

void UnregisterWindow(HWND window) {
  std::set<std::shared_ptr<SPendingSend>> pending;
  {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(window);
    if (it == r.windows.end()) return;
    pending.swap(it->second->pending);
    r.windows.erase(it);
  }
  // Senders still waiting learn that the window went.
  for (const auto& send : pending) send->Finish(false, 0);
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
  it->second->deliver(SWindowMessage{message, wParam, lParam});
  return true;
}

bool SendWindowMessage(HWND window, unsigned message, uintptr_t wParam, intptr_t lParam, intptr_t* result) {
  if (window == 0) return false;
  const SWindowMessage sent{message, wParam, lParam};
  auto& r = TheRegistry();
  std::shared_ptr<SWindowEntry> entry;
  auto send = std::make_shared<SPendingSend>();
  {
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(window);
    if (it == r.windows.end() || !it->second->handler) return false;
    entry = it->second;
    if (entry->thread != std::this_thread::get_id()) entry->pending.insert(send);
  }
  if (entry->thread == std::this_thread::get_id()) {
    const intptr_t value = entry->handler(sent);
    if (result) *result = value;
    return true;
  }
  auto guard = std::make_shared<SSendGuard>();
  guard->send = send;
  const WindowHandler handler = entry->handler;
  // The call runs on the window's thread, where UnregisterWindow also runs:
  // a send still waiting there means the window is still registered.
  const bool queued = entry->runner && entry->runner([guard, handler, sent] {
    if (!guard->send->IsWaiting()) return;
    const intptr_t value = handler(sent);
    guard->send->Finish(true, value);
  });
  guard.reset();
  if (!queued) send->Finish(false, 0);
  {
    std::unique_lock lock(send->mutex);
    send->condition.wait(lock, [&] { return send->state != SPendingSend::Waiting; });
  }
  {
    std::lock_guard lock(r.mutex);
    entry->pending.erase(send);
  }
  if (send->state != SPendingSend::Done) return false;
  if (result) *result = send->result;
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
