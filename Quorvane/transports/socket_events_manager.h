// Every upstream socket of the engine, registered on the one completion port
// under a fresh 64-bit key with the processor that owns its protocol work.
// The engine's worker waits here and hands each completion to its processor;
// it also removes registrations and expires idle processors. The manager
// knows nothing about DNS.
//
// Threads: registrations from any dispatching thread; WaitForEvent and
// RemoveTimedOutProcessors on the worker; RemoveSocket from any thread.
// Both maps are guarded by m_mutex; the worker skips the lock while no
// registration waits and no other thread is removing (see OnWorker).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <typeinfo>

#include "Quorvane/foundation/safe_socket.h"
#include "Quorvane/platform/completion_port.h"

class CSocketEventsManager {
 public:
  struct SCompletionEvent {
    bool failed = false;                        // the dequeue reported failure
    platform::Overlapped* overlapped = nullptr; // null when no packet or none carried
    uint32_t error = 0;                         // GetLastError after the dequeue
    uint32_t bytes = 0;                         // bytes transferred
  };

  class CSocketEventProcessor;

  struct SSocketEntry {
    std::shared_ptr<CSafeSocket> socket;
    std::shared_ptr<CSocketEventProcessor> processor;
  };

  enum WaitResult : int {
    WaitError = 0,            // the dequeue failed for a reason other than the time-out
    WaitTimeout = 1,          // nothing arrived within the wait's time-out
    WaitWakeUp = 2,           // an empty packet (0 bytes, key 0, no record)
    WaitUnregisteredKey = 3,  // a packet whose key is not registered
    WaitEvent = 4,            // a packet for a registered socket; its entry is copied out
  };

  class CSocketEventProcessor {
   public:
    virtual ~CSocketEventProcessor() = default;
    // The type identity of the processor's dynamic type.
    virtual const std::type_info& GetType() const = 0;
    // One completion of this processor's socket, on the worker. self keeps
    // the processor alive for the call. Implementations first store the
    // current time as their last activity.
    virtual void ProcessEvent(const SCompletionEvent& event, int socket, uint64_t key,
                              CSocketEventsManager& manager, const std::shared_ptr<CSocketEventProcessor>& self) = 0;
    // now: seconds since 1970. True when idle too long. Runs while the
    // manager holds its maps: it must not call back into the manager.
    virtual bool IsTimedOut(int64_t now) = 0;  // now: platform::TickSeconds
    // Reports a failure of the processor's request or connection.
    virtual void OnError(const std::wstring& text) = 0;
  };

  static constexpr uint32_t kWaitTimeoutMs = 1000;

  // waitTimeoutMs is for tests; the engine waits kWaitTimeoutMs.
  explicit CSocketEventsManager(uint32_t waitTimeoutMs = kWaitTimeoutMs);
  ~CSocketEventsManager();
  CSocketEventsManager(const CSocketEventsManager&) = delete;
  CSocketEventsManager& operator=(const CSocketEventsManager&) = delete;

  // The engine's start hands the port over once; registrations fail until
  // then. The port is never replaced.
  bool SetPort(std::shared_ptr<platform::CompletionPort> port);
  platform::CompletionPort* GetPort() const { return m_port.load(); }

  // Stages the entry and associates the socket with the port under a new
  // key, written to key. False without a port (key untouched) or when the
  // association fails (the entry stays staged and is later expired). Posts
  // no operation: the caller posts its first one after this returns.
  // nonBlockingType: the type (SOCK_DGRAM...) of a socket created with
  // SOCK_NONBLOCK, which spares asking the descriptor; 0 when unknown.
  bool AddSocketToQueueWithReadEvents(std::shared_ptr<CSocketEventProcessor> processor, uint64_t& key,
                                      std::shared_ptr<CSafeSocket> socket, int nonBlockingType = 0);
  // Worker only.
  WaitResult WaitForEvent(uint64_t& key, SSocketEntry& entry, SCompletionEvent& event);
  // Drops the registration and the socket's pending operations; returns the
  // processor that was registered under the key (empty when none).
  std::shared_ptr<CSocketEventProcessor> RemoveSocket(uint64_t key);
  // Worker only: erases the active entries whose processor is timed out at
  // now (seconds); staged entries are not examined.
  void RemoveTimedOutProcessors(int64_t now);
  // Registrations, staged and active; not from inside a processor's call.
  size_t EntryCount();

 private:
  using EntryMap = std::map<uint64_t, SSocketEntry>;

  // Runs f over the maps on the worker: without the mutex while nothing is
  // staged (or moveStaged is false) and no other thread is inside OffWorker.
  template <class F>
  void OnWorker(bool moveStaged, F&& f);
  // Runs f over the maps from any other thread, under the mutex, once the
  // worker has left its lock-free section.
  template <class F>
  void OffWorker(F&& f);
  void MoveStaged();
  void Disassociate(const SSocketEntry& entry);

  const uint32_t m_waitTimeoutMs;
  std::shared_ptr<platform::CompletionPort> m_portOwner;  // written once, before m_port
  std::atomic<platform::CompletionPort*> m_port{nullptr};
  std::mutex m_mutex;
  EntryMap m_staging;  // under m_mutex
  EntryMap m_active;   // under m_mutex, or the worker's lock-free section
  uint64_t m_counter = 1;  // under m_mutex; 64-bit, so keys never wrap
  // Written under m_mutex by registrations and the worker's move.
  std::atomic<size_t> m_staged{0};
  // Threads inside OffWorker; written by those threads.
  std::atomic<int> m_offWorker{0};
  // Set by the worker while it touches the maps without the mutex.
  std::atomic<bool> m_workerInside{false};
  // The thread that last waited; written by it.
  std::atomic<std::thread::id> m_worker{};
};
