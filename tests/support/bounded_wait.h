// The one bounded wait of the tests for what another thread or process does
// in real time (a peer's answer, a child's exit, a worker reaching a point):
// done() is polled every step until it holds or limit has passed. Time the
// program measures goes on a FakeClock instead; never wait here after
// advancing one.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

constexpr std::chrono::milliseconds kDefaultWaitLimit{5000};

// True as soon as done() holds; false when limit passed first (done() was
// still false at the last look).
template <typename Done>
bool WaitUntil(Done&& done, std::chrono::milliseconds limit = kDefaultWaitLimit,
               std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

}  // namespace testsupport
