// A thread-pool timer whose callback may re-arm it, and that closes without
// leaving a callback running. Always held by std::shared_ptr, shared between
// the callback and its owner's lock holders.
//
// Start and CloseTimer decide under one per-timer mutex, so a Start racing a
// close can never arm a closed timer; CloseTimer holds that mutex only to set
// closing, never while it waits for callbacks (a callback may call Start).
// Never call CloseTimer (or drop the last reference) from the timer's own
// callback: the wait would wait for itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Quorvane/platform/thread_pool_timer.h"

class CSafeTimer {
 public:
  using Callback = void (*)(void* argument);
  // Rounds CloseTimer takes before it reports a callback that keeps re-arming.
  static constexpr int kCloseRounds = 10;

  // Never empty; a timer whose creation failed only refuses to start.
  static std::shared_ptr<CSafeTimer> Create(int64_t dueMs, int64_t periodMs, Callback callback, void* argument);
  CSafeTimer(int64_t dueMs, int64_t periodMs, Callback callback, void* argument);
  ~CSafeTimer();
  CSafeTimer(const CSafeTimer&) = delete;
  CSafeTimer& operator=(const CSafeTimer&) = delete;

  // False without a timer or once closing; else arms it for m_due, then every
  // m_period, with a coalescing window of a tenth of the period.
  bool Start();
  // Stops the timer and waits for its callbacks; true unless the timer kept
  // being re-armed (then a fatal error is reported). Later calls return true.
  bool CloseTimer();

  bool IsArmed() const { return m_armed; }
  const platform::CThreadPoolTimer* Timer() const { return m_timer; }

  // Written by the owner directly before each Start, under its own lock.
  int64_t m_due;     // milliseconds until the first expiry
  int64_t m_period;  // milliseconds between expiries; 0: once

 private:
  static void TimerCallback(void* context);

  platform::CThreadPoolTimer* m_timer;  // null when creation failed or once closed
  Callback m_callback;
  void* m_argument;
  std::atomic<bool> m_closing{false};
  std::atomic<bool> m_armed{false};
  std::mutex m_startMutex;  // Start's check and arm, against CloseTimer's closing
  std::mutex m_closeMutex;  // one CloseTimer at a time
};
