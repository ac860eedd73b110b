// Messages to windows by id, in place of HWND with PostMessage/SendMessage.
// A window registers a delivery function (the UI posts a Qt event to its
// thread; tests and service mode use CMessageQueueWindow). As on Windows, a
// post to a window that is gone fails and the caller keeps (and frees) the
// payload. Any thread may post; delivery runs on the poster's thread and must
// only queue. SendWindowMessage is the blocking SendMessage: on the window's
// own thread it calls the handler directly; from another thread it queues
// the call onto the window's thread and waits, and fails (false) once the
// window is unregistered or its thread drops the call (a loop that is gone).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace platform {

using HWND = uint64_t;  // 0 is no window
constexpr unsigned WM_USER = 0x400;

struct SWindowMessage {
  unsigned message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

using WindowDelivery = std::function<void(const SWindowMessage&)>;
// Handles one sent message on the window's thread and returns its result.
using WindowHandler = std::function<intptr_t(const SWindowMessage&)>;
// Queues a call onto the window's thread; false when it cannot. A call it
// destroys without running counts as a failed send.
using WindowThreadRunner = std::function<bool(std::function<void()>)>;

HWND RegisterWindow(WindowDelivery deliver);
// A window that also takes sent messages; its thread is the caller's.
HWND RegisterWindow(WindowDelivery deliver, WindowHandler handler, WindowThreadRunner runner);
// After it returns no delivery of this window runs any more.
void UnregisterWindow(HWND window);
bool IsWindow(HWND window);
// False when the window is null or gone; the message was not delivered.
bool PostWindowMessage(HWND window, unsigned message, uintptr_t wParam, intptr_t lParam);
// False when the window is null, gone, takes no sent messages, or went away
// (or lost its loop) before it handled the message; result is then untouched.
bool SendWindowMessage(HWND window, unsigned message, uintptr_t wParam, intptr_t lParam,
                       intptr_t* result = nullptr);

// A window that only queues what is posted to it.
class CMessageQueueWindow {
 public:
  CMessageQueueWindow();
  ~CMessageQueueWindow();
  CMessageQueueWindow(const CMessageQueueWindow&) = delete;
  CMessageQueueWindow& operator=(const CMessageQueueWindow&) = delete;

  HWND Handle() const { return m_handle; }
  std::deque<SWindowMessage> TakeAll();
  // Waits at most timeoutMs for a message; false when none came.
  bool WaitForMessage(SWindowMessage& out, int timeoutMs);

 private:
  std::mutex m_mutex;
  std::condition_variable m_condition;
  std::deque<SWindowMessage> m_queue;
  HWND m_handle = 0;
};

}  // namespace platform
