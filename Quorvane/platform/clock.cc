#include "Quorvane/platform/clock.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <vector>

namespace platform {
namespace {

class RealClock : public ClockSource {
 public:
  uint64_t TickMs() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000;
  }
  int64_t WallSeconds() override { return static_cast<int64_t>(time(nullptr)); }
};

RealClock g_RealClock;
// Written by tests only, before the threads that read it start.
std::atomic<ClockSource*> g_ClockSource{&g_RealClock};

std::mutex& ListenersMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<std::function<void()>>& Listeners() {  // under ListenersMutex
  static std::vector<std::function<void()>> listeners;
  return listeners;
}

void RunClockChangeListeners() {
  std::vector<std::function<void()>> listeners;
  {
    std::lock_guard lock(ListenersMutex());
    listeners = Listeners();
  }
  for (const auto& listener : listeners) listener();
}

}  // namespace

uint64_t GetTickCount64() { return g_ClockSource.load(std::memory_order_acquire)->TickMs(); }
int64_t TickSeconds() { return static_cast<int64_t>(GetTickCount64() / 1000); }

int64_t WallTime() { return g_ClockSource.load(std::memory_order_acquire)->WallSeconds(); }

bool ClockSource::WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t timeoutMs,
                          const std::function<bool()>& done) {
  // wait_for adds the time-out to now(): keep it far from overflowing.
  constexpr uint64_t kLongestMs = 1ull << 40;  // about 35 years
  return cv.wait_for(lock, std::chrono::milliseconds(std::min(timeoutMs, kLongestMs)), done);
}

bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t timeoutMs,
             const std::function<bool()>& done) {
  return g_ClockSource.load(std::memory_order_acquire)->WaitFor(cv, lock, timeoutMs, done);
}

void SetClockSourceForTesting(ClockSource* source) {
  g_ClockSource.store(source ? source : &g_RealClock, std::memory_order_release);
  RunClockChangeListeners();
}

void AddClockChangeListener(std::function<void()> listener) {
  std::lock_guard lock(ListenersMutex());
  Listeners().push_back(std::move(listener));
}

int64_t FakeClock::WallSeconds() {
  return m_wallBase + m_wallStep.load(std::memory_order_acquire) + static_cast<int64_t>((TickMs() - m_tickBase) / 1000);
}

void FakeClock::AdvanceMs(uint64_t ms) {
  uint64_t now = m_tick.fetch_add(ms, std::memory_order_acq_rel) + ms;
  {
    std::lock_guard guard(m_waitersMutex);
    for (SWaiter* waiter : m_waiters) {
      if (waiter->deadline > now) continue;
      // Under the waiter's mutex: it either waits already or sees the new tick
      // before it does.
      std::lock_guard waiterGuard(*waiter->mutex);
      waiter->cv->notify_all();
    }
  }
  if (g_ClockSource.load(std::memory_order_acquire) == this) RunClockChangeListeners();
}

bool FakeClock::WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t timeoutMs,
                        const std::function<bool()>& done) {
  uint64_t now = TickMs();
  SWaiter self{&cv, lock.mutex(), timeoutMs > UINT64_MAX - now ? UINT64_MAX : now + timeoutMs};
  // The waiter list is never taken with a waiter's mutex held (AdvanceMs
  // takes them in the other order).
  lock.unlock();
  {
    std::lock_guard guard(m_waitersMutex);
    m_waiters.push_back(&self);
    ++m_waitsBegun;
  }
  m_waitsChanged.notify_all();
  lock.lock();
  while (!done() && TickMs() < self.deadline) cv.wait(lock);
  lock.unlock();
  {
    std::lock_guard guard(m_waitersMutex);
    m_waiters.remove(&self);
  }
  lock.lock();
  return done();
}

uint64_t FakeClock::WaitsBegun() {
  std::lock_guard guard(m_waitersMutex);
  return m_waitsBegun;
}

bool FakeClock::AwaitWaitsBegun(uint64_t count, std::chrono::milliseconds limit) {
  std::unique_lock guard(m_waitersMutex);
  return m_waitsChanged.wait_for(guard, limit, [&] { return m_waitsBegun >= count; });
}

}  // namespace platform
