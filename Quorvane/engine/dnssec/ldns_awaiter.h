// The coroutine type of the DNSSEC road. A check is a chain of coroutines
// (check, validation, chain builders, resolver functions, one exchange at the
// bottom); each owns the child it awaits. Coroutines start suspended, keep
// their frame after finishing, and are advanced only from outside, innermost
// first, by ResumeAwaiterChain: a coroutine never resumes its parent.
//
// Threads: a chain is touched by one thread at a time (the engine's DNSSEC
// section); nothing here locks.
#pragma once

#include <coroutine>
#include <exception>
#include <utility>

namespace dnssec {

// What every promise of the road holds first, so that a chain can be walked
// without knowing the result types.
struct SAwaiterPromiseBase {
  std::coroutine_handle<> child;          // the coroutine awaited now; none when it awaits nothing
  SAwaiterPromiseBase* childPromise = nullptr;
};

template <class T>
class ldns_awaiter {
 public:
  struct promise_type : SAwaiterPromiseBase {
    T value{};

    ldns_awaiter get_return_object() {
      return ldns_awaiter(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(T result) { value = std::move(result); }
    // Exceptions stay out of this road (ldns is C); one here is a fault.
    void unhandled_exception() { std::terminate(); }
  };

  ldns_awaiter() = default;
  explicit ldns_awaiter(std::coroutine_handle<promise_type> handle) : m_handle(handle) {}
  ldns_awaiter(ldns_awaiter&& other) noexcept
      : m_handle(std::exchange(other.m_handle, {})), m_link(std::exchange(other.m_link, nullptr)) {}
  ldns_awaiter& operator=(ldns_awaiter&& other) noexcept {
    if (this != &other) {
      Reset();
      m_handle = std::exchange(other.m_handle, {});
      m_link = std::exchange(other.m_link, nullptr);
    }
    return *this;
  }
  ~ldns_awaiter() { Reset(); }
  ldns_awaiter(const ldns_awaiter&) = delete;
  ldns_awaiter& operator=(const ldns_awaiter&) = delete;

  bool Valid() const { return static_cast<bool>(m_handle); }
  bool Done() const { return !m_handle || m_handle.done(); }
  std::coroutine_handle<promise_type> Handle() const { return m_handle; }
  promise_type& Promise() const { return m_handle.promise(); }
  // The result once Done().
  T& Result() const { return m_handle.promise().value; }

  // Awaiting inside a coroutine: the child is linked into the parent's
  // promise and run at once; the parent suspends only when the child did.
  bool await_ready() const noexcept { return false; }
  template <class P>
  bool await_suspend(std::coroutine_handle<P> parent) {
    m_link = &parent.promise();
    m_link->child = m_handle;
    m_link->childPromise = &m_handle.promise();
    m_handle.resume();
    return !m_handle.done();
  }
  T await_resume() {
    T result = std::move(m_handle.promise().value);
    Reset();
    return result;
  }

 private:
  void Reset() {
    if (m_link) {
      m_link->child = {};
      m_link->childPromise = nullptr;
      m_link = nullptr;
    }
    if (m_handle) m_handle.destroy();
    m_handle = {};
  }

  std::coroutine_handle<promise_type> m_handle;
  SAwaiterPromiseBase* m_link = nullptr;  // the awaiting parent's promise, while awaited
};

// Advances a chain: a is a coroutine's promise, b its child's. Resumes the
// innermost suspended coroutine; each that finishes lets the one awaiting it
// continue; stops at the first that suspends again.
void ResumeAwaiterChain(SAwaiterPromiseBase* a, SAwaiterPromiseBase* b);

// One step of a whole chain from its outermost coroutine: the innermost
// suspended coroutine below it first, then top itself once its child has
// finished (or when it awaits nothing, as at the start).
template <class T>
void AdvanceAwaiter(ldns_awaiter<T>& top) {
  if (top.Done()) return;
  SAwaiterPromiseBase& promise = top.Promise();
  if (promise.child && !promise.child.done()) {
    ResumeAwaiterChain(&promise, promise.childPromise);
    if (!promise.child.done()) return;
  }
  top.Handle().resume();
}

}  // namespace dnssec
