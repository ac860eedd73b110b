// Thread-pool timers: a callback run on a small pool of threads after a
// relative due time, then every period. Stands in for CreateThreadpoolTimer,
// SetThreadpoolTimer, WaitForThreadpoolTimerCallbacks and CloseThreadpoolTimer.
// Backed by one timer thread with a deadline queue and kCallbackThreads
// callback threads. A deadline is reached in real time, or earlier when the
// program's clock (platform/clock.h) reaches it: a test's fake clock step
// fires what it passes.
// Differs from Windows: the coalescing window is recorded, not used; Close
// waits for a running callback instead of deferring the free.
// Any thread; never Wait or Close from the timer's own callback.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

class CThreadPoolTimer {
 public:
  using Callback = void (*)(void* context);
  static constexpr int kCallbackThreads = 4;

  // Null when creation fails (only when a test asked for it).
  static CThreadPoolTimer* Create(Callback callback, void* context);

  // Arms the timer afresh: first callback after dueMs, then every periodMs
  // (0: once). windowMs is only recorded.
  void Set(int64_t dueMs, int64_t periodMs, int64_t windowMs);
  // No callback is queued from now on; one already queued may still run.
  void Stop();
  // Waits until no callback of this timer runs or is queued; with
  // cancelPending, queued callbacks are dropped instead of run.
  void WaitForCallbacks(bool cancelPending);
  // Stops, drops queued callbacks, waits for a running one, and frees the timer.
  void Close();

  int64_t WindowMs() const;
  // Callbacks due but not started yet.
  int QueuedCallbacks() const;

  // The next Create returns null.
  static void FailNextCreateForTesting();

  struct SState;

 private:
  explicit CThreadPoolTimer(std::shared_ptr<SState> state) : m_state(std::move(state)) {}
  ~CThreadPoolTimer() = default;

  std::shared_ptr<SState> m_state;
};

}  // namespace platform
