// A setting that one thread writes and others read without a lock, kept a
// plain value: copying or assigning the holder copies the current value.
// Each read and write is whole; nothing orders it against other memory, so
// a reader may act on the previous value for work it has already begun.
#pragma once

#include <atomic>

template <class T>
class CAtomicValue {
 public:
  CAtomicValue(T value = T{}) : m_value(value) {}  // NOLINT: converts like the plain value it stands for
  CAtomicValue(const CAtomicValue& other) : m_value(other.Get()) {}
  CAtomicValue& operator=(const CAtomicValue& other) {
    Set(other.Get());
    return *this;
  }
  CAtomicValue& operator=(T value) {
    Set(value);
    return *this;
  }

  operator T() const { return Get(); }  // NOLINT: reads like the plain value
  T Get() const { return m_value.load(std::memory_order_relaxed); }
  void Set(T value) { m_value.store(value, std::memory_order_relaxed); }

 private:
  std::atomic<T> m_value;
};
