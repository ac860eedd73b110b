// The program's one clock: a millisecond tick that never goes back (in place
// of GetTickCount64) and wall time in seconds since 1970 (in place of _time64).
// Both read a replaceable source so that tests advance time instead of
// sleeping; the real source is CLOCK_MONOTONIC and time(). Any thread.
// WaitFor is the timed condition wait on the same clock: with a FakeClock a
// waiter is released only when the fake time reaches its deadline or the
// condition is notified. Waits that cannot go through WaitFor (the completion
// port's epoll wait, the timer thread) register a change listener and look at
// the time again when it runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>

namespace platform {

class ClockSource {
 public:
  virtual ~ClockSource() = default;
  virtual uint64_t TickMs() = 0;       // milliseconds, monotonic
  virtual int64_t WallSeconds() = 0;   // seconds since 1970-01-01 UTC
  // See platform::WaitFor. The default is a plain timed wait in real time.
  virtual bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t timeoutMs,
                       const std::function<bool()>& done);
};

uint64_t GetTickCount64();
int64_t WallTime();
// GetTickCount64 in whole seconds: for lifetimes, which a step of the wall
// clock must neither cut short nor stretch.
int64_t TickSeconds();

// Waits on cv, whose mutex lock holds, until done() is true (checked under
// the lock, after each wake-up) or timeoutMs have passed on the program's
// clock. Returns done() with the lock held again.
bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t timeoutMs,
             const std::function<bool()>& done);

// Replaces the source for the whole process; nullptr restores the real one.
// The source must outlive its use. Runs the change listeners.
void SetClockSourceForTesting(ClockSource* source);

// listener runs each time a fake clock's tick moves and each time the source
// is replaced, on the thread that did it, with no lock of the clock held; it
// must only wake its waiter (take the waiter's mutex at most). For the whole
// process: listeners are never removed.
void AddClockChangeListener(std::function<void()> listener);

// A clock that only moves when told to. AdvanceMs releases every WaitFor
// whose deadline it reaches and runs the change listeners; it takes each such
// waiter's mutex, so it must not be called with one held.
class FakeClock : public ClockSource {
 public:
  explicit FakeClock(uint64_t tickMs = 1'000'000, int64_t wallSeconds = 1'700'000'000)
      : m_tick(tickMs), m_tickBase(tickMs), m_wallBase(wallSeconds) {}
  uint64_t TickMs() override { return m_tick.load(std::memory_order_acquire); }
  int64_t WallSeconds() override;
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t timeoutMs,
               const std::function<bool()>& done) override;
  void AdvanceMs(uint64_t ms);
  // An administrator or time service setting the wall clock: the tick stays.
  void StepWallSeconds(int64_t seconds) { m_wallStep.fetch_add(seconds, std::memory_order_acq_rel); }

  // How many WaitFor calls have begun on this clock so far.
  uint64_t WaitsBegun();
  // Blocks (in real time, at most limit) until count WaitFor calls have
  // begun: how a test knows another thread has reached its wait.
  bool AwaitWaitsBegun(uint64_t count, std::chrono::milliseconds limit);

 private:
  struct SWaiter {
    std::condition_variable* cv;
    std::mutex* mutex;
    uint64_t deadline;
  };
  std::atomic<uint64_t> m_tick;
  const uint64_t m_tickBase;
  const int64_t m_wallBase;
  std::atomic<int64_t> m_wallStep{0};
  std::mutex m_waitersMutex;  // taken only while no waiter's mutex is held by the same thread
  std::condition_variable m_waitsChanged;
  std::list<SWaiter*> m_waiters;
  uint64_t m_waitsBegun = 0;
};

}  // namespace platform
