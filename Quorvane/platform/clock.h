// The program's one clock: a millisecond tick that never goes back (in place
// of GetTickCount64) and wall time in seconds since 1970 (in place of _time64).
// Both read a replaceable source so that tests advance time instead of
// sleeping; the real source is CLOCK_MONOTONIC and time(). Any thread.
#pragma once

#include <cstdint>

namespace platform {

class ClockSource {
 public:
  virtual ~ClockSource() = default;
  virtual uint64_t TickMs() = 0;       // milliseconds, monotonic
  virtual int64_t WallSeconds() = 0;   // seconds since 1970-01-01 UTC
};

uint64_t GetTickCount64();
int64_t WallTime();

// Replaces the source for the whole process; nullptr restores the real one.
// The source must outlive its use.
void SetClockSourceForTesting(ClockSource* source);

// A clock that only moves when told to.
class FakeClock : public ClockSource {
 public:
  explicit FakeClock(uint64_t tickMs = 1'000'000, int64_t wallSeconds = 1'700'000'000)
      : m_tick(tickMs), m_wall(wallSeconds) {}
  uint64_t TickMs() override { return m_tick; }
  int64_t WallSeconds() override { return m_wall; }
  void AdvanceMs(uint64_t ms) {
    m_tick += ms;
    m_wall = m_wallBase + static_cast<int64_t>((m_tick - m_tickBase) / 1000);
  }

 private:
  uint64_t m_tick;
  int64_t m_wall;
  const uint64_t m_tickBase = m_tick;
  const int64_t m_wallBase = m_wall;
};

}  // namespace platform
