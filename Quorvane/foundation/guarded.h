// A value shared across threads that only lock() opens: the handle lock()
// returns holds the mutex for as long as it lives, so no code reaches the
// value without it. A family (any tag type) holds a lock order: a thread
// that holds one lock of the family and takes another stops the program at
// once, where a deadlock would wait for the rare schedule. Any thread.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <type_traits>
#include <utility>

// Whether this thread holds a lock of Family.
template <typename Family>
inline thread_local bool t_guardedFamilyHeld = false;

struct SNoLockFamily {};

template <typename T, typename Family = SNoLockFamily>
class Guarded {
 public:
  class Handle {
   public:
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
      if (!std::is_same_v<Family, SNoLockFamily>) t_guardedFamilyHeld<Family> = false;
    }
    T* operator->() const { return m_value; }
    T& operator*() const { return *m_value; }

   private:
    friend class Guarded;
    Handle(std::mutex& mutex, T& value) : m_lock(mutex), m_value(&value) {}
    std::unique_lock<std::mutex> m_lock;
    T* m_value;
  };

  template <typename... Args>
  explicit Guarded(Args&&... args) : m_value(std::forward<Args>(args)...) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  Handle lock() {
    if constexpr (!std::is_same_v<Family, SNoLockFamily>) {
      if (t_guardedFamilyHeld<Family>) {
        std::fputs("Guarded: a second lock of the same family taken on one thread\n", stderr);
        std::abort();
      }
      t_guardedFamilyHeld<Family> = true;
    }
    return Handle(m_mutex, m_value);
  }

 private:
  std::mutex m_mutex;
  T m_value;
};
