#include "Quorvane/platform/clock.h"

#include <atomic>
#include <ctime>

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

}  // namespace

uint64_t GetTickCount64() { return g_ClockSource.load(std::memory_order_acquire)->TickMs(); }
int64_t WallTime() { return g_ClockSource.load(std::memory_order_acquire)->WallSeconds(); }

void SetClockSourceForTesting(ClockSource* source) {
  g_ClockSource.store(source ? source : &g_RealClock, std::memory_order_release);
}

}  // namespace platform
