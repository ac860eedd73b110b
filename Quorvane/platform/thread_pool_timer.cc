#include "Quorvane/platform/thread_pool_timer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "Quorvane/platform/clock.h"

namespace platform {

// Fields are guarded by the scheduler's mutex.
struct CThreadPoolTimer::SState {
  Callback callback = nullptr;
  void* context = nullptr;
  uint64_t generation = 0;  // bumped by Set, Stop and Close: older deadlines are void
  int64_t periodMs = 0;
  int64_t windowMs = 0;
  int queued = 0;
  int running = 0;
  bool closed = false;
};

namespace {

using Clock = std::chrono::steady_clock;

struct SDeadline {
  std::shared_ptr<CThreadPoolTimer::SState> timer;
  uint64_t generation;
  uint64_t tickDue;  // the same deadline on the program's clock (GetTickCount64)
};

using ReadyList = std::deque<std::shared_ptr<CThreadPoolTimer::SState>>;

// One per process, started on first use and never stopped: its threads end
// with the process.
class CScheduler {
 public:
  static CScheduler& Get() {
    static CScheduler* scheduler = new CScheduler();
    return *scheduler;
  }

  std::mutex m_mutex;
  std::condition_variable m_deadlineChanged;  // the timer thread waits on it
  std::condition_variable m_readyChanged;     // callback threads wait on it
  std::condition_variable m_callbackDone;     // waiters for callbacks wait on it
  std::multimap<Clock::time_point, SDeadline> m_deadlines;  // by real due time
  ReadyList m_ready;  // callbacks due, oldest first

  // Drops the timer's queued callbacks; under m_mutex.
  void DropQueued(const std::shared_ptr<CThreadPoolTimer::SState>& timer) {
    for (auto it = m_ready.begin(); it != m_ready.end();) {
      if (*it == timer) {
        it = m_ready.erase(it);
        --timer->queued;
      } else {
        ++it;
      }
    }
    m_callbackDone.notify_all();
  }

 private:
  CScheduler() {
    // A fake clock's step or a new clock source moves the deadlines' time.
    AddClockChangeListener([this] {
      std::lock_guard lock(m_mutex);
      m_deadlineChanged.notify_all();
    });
    std::thread(&CScheduler::TimerThread, this).detach();
    for (int i = 0; i < CThreadPoolTimer::kCallbackThreads; ++i) std::thread(&CScheduler::CallbackThread, this).detach();
  }

  void TimerThread() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      if (m_deadlines.empty()) {
        m_deadlineChanged.wait(lock);
        continue;
      }
      // Due: the first in real time, or any the program's clock has reached.
      const uint64_t tick = GetTickCount64();
      auto first = m_deadlines.begin();
      if (Clock::now() < first->first) {
        first = std::find_if(m_deadlines.begin(), m_deadlines.end(),
                             [&](const auto& entry) { return entry.second.tickDue <= tick; });
      }
      if (first == m_deadlines.end()) {
        m_deadlineChanged.wait_until(lock, m_deadlines.begin()->first);
        continue;
      }
      const Clock::time_point when = first->first;
      SDeadline d = std::move(first->second);
      m_deadlines.erase(first);
      auto& t = *d.timer;
      if (t.closed || d.generation != t.generation) continue;
      ++t.queued;
      m_ready.push_back(d.timer);
      m_readyChanged.notify_one();
      if (t.periodMs > 0) {
        // From now, not from the missed due: a clock put back from a test's
        // fake time must not fire a period over and over to catch up.
        d.tickDue = tick + static_cast<uint64_t>(t.periodMs);
        m_deadlines.emplace(when + std::chrono::milliseconds(t.periodMs), std::move(d));
      }
    }
  }

  void CallbackThread() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_readyChanged.wait(lock, [this] { return !m_ready.empty(); });
      std::shared_ptr<CThreadPoolTimer::SState> timer = std::move(m_ready.front());
      m_ready.pop_front();
      auto& t = *timer;
      --t.queued;
      ++t.running;
      CThreadPoolTimer::Callback callback = t.callback;
      void* context = t.context;
      lock.unlock();
      callback(context);
      lock.lock();
      --t.running;
      m_callbackDone.notify_all();
    }
  }
};

std::atomic<bool> g_failNextCreate{false};

}  // namespace

CThreadPoolTimer* CThreadPoolTimer::Create(Callback callback, void* context) {
  if (g_failNextCreate.exchange(false)) return nullptr;
  auto state = std::make_shared<SState>();
  state->callback = callback;
  state->context = context;
  CScheduler::Get();  // threads exist before the first Set
  return new CThreadPoolTimer(std::move(state));
}

void CThreadPoolTimer::Set(int64_t dueMs, int64_t periodMs, int64_t windowMs) {
  CScheduler& s = CScheduler::Get();
  std::lock_guard lock(s.m_mutex);
  if (m_state->closed) return;
  ++m_state->generation;
  m_state->periodMs = periodMs > 0 ? periodMs : 0;
  m_state->windowMs = windowMs;
  const int64_t after = dueMs > 0 ? dueMs : 0;
  s.m_deadlines.emplace(Clock::now() + std::chrono::milliseconds(after),
                        SDeadline{m_state, m_state->generation, GetTickCount64() + static_cast<uint64_t>(after)});
  s.m_deadlineChanged.notify_one();
}

void CThreadPoolTimer::Stop() {
  CScheduler& s = CScheduler::Get();
  std::lock_guard lock(s.m_mutex);
  ++m_state->generation;
}

void CThreadPoolTimer::WaitForCallbacks(bool cancelPending) {
  CScheduler& s = CScheduler::Get();
  std::unique_lock lock(s.m_mutex);
  if (cancelPending) s.DropQueued(m_state);
  s.m_callbackDone.wait(lock, [this] { return m_state->running == 0 && m_state->queued == 0; });
}

void CThreadPoolTimer::Close() {
  {
    CScheduler& s = CScheduler::Get();
    std::unique_lock lock(s.m_mutex);
    ++m_state->generation;
    m_state->closed = true;
    s.DropQueued(m_state);
    s.m_callbackDone.wait(lock, [this] { return m_state->running == 0; });
  }
  delete this;
}

int CThreadPoolTimer::QueuedCallbacks() const {
  std::lock_guard lock(CScheduler::Get().m_mutex);
  return m_state->queued;
}

int64_t CThreadPoolTimer::WindowMs() const {
  std::lock_guard lock(CScheduler::Get().m_mutex);
  return m_state->windowMs;
}

void CThreadPoolTimer::FailNextCreateForTesting() { g_failNextCreate = true; }

}  // namespace platform
