#include "Quorvane/transports/socket_events_manager.h"

#include <vector>

#include "Quorvane/platform/system_errors.h"

namespace {

int HandleOf(const std::shared_ptr<CSafeSocket>& socket) { return socket ? socket->Handle() : -1; }

}  // namespace

CSocketEventsManager::CSocketEventsManager(uint32_t waitTimeoutMs) : m_waitTimeoutMs(waitTimeoutMs) {}

CSocketEventsManager::~CSocketEventsManager() {
  // The sockets close with the maps; their operations must go first.
  std::lock_guard lock(m_mutex);
  for (auto& [key, entry] : m_active) Disassociate(entry);
  for (auto& [key, entry] : m_staging) Disassociate(entry);
}

bool CSocketEventsManager::SetPort(std::shared_ptr<platform::CompletionPort> port) {
  std::lock_guard lock(m_mutex);
  if (m_portOwner || !port) return false;
  m_portOwner = std::move(port);
  m_port = m_portOwner.get();
  // Every socket close drops the socket's operations from the port first.
  SetSocketPurgeHook(&platform::PurgeDescriptor);
  return true;
}

void CSocketEventsManager::Disassociate(const SSocketEntry& entry) {
  platform::CompletionPort* port = m_port.load();
  int handle = HandleOf(entry.socket);
  if (port && handle >= 0) port->Disassociate(handle);
}

bool CSocketEventsManager::AddSocketToQueueWithReadEvents(std::shared_ptr<CSocketEventProcessor> processor,
                                                          uint64_t& key, std::shared_ptr<CSafeSocket> socket,
                                                          int nonBlockingType) {
  platform::CompletionPort* port = m_port.load();
  if (!port) return false;
  std::lock_guard lock(m_mutex);
  uint64_t newKey = m_counter++;
  key = newKey;
  int handle = HandleOf(socket);
  m_staging[newKey] = SSocketEntry{std::move(socket), std::move(processor)};
  m_staged = m_staging.size();
  // Associated under the mutex: no completion of the new key can be looked
  // up before its entry is staged.
  if (handle < 0) return false;
  return nonBlockingType != 0 ? port->Associate(handle, newKey, nonBlockingType) : port->Associate(handle, newKey);
}

template <class F>
void CSocketEventsManager::OnWorker(bool moveStaged, F&& f) {
  // Either the other thread sees m_workerInside and waits for it to clear,
  // or the worker sees m_offWorker and takes the mutex (both seq_cst).
  m_workerInside.store(true);
  if (m_offWorker.load() == 0 && (!moveStaged || m_staged.load() == 0)) {
    f();
    m_workerInside.store(false);
    return;
  }
  m_workerInside.store(false);
  std::lock_guard lock(m_mutex);
  if (moveStaged) MoveStaged();
  f();
}

template <class F>
void CSocketEventsManager::OffWorker(F&& f) {
  m_offWorker.fetch_add(1);
  {
    std::lock_guard lock(m_mutex);
    while (m_workerInside.load()) std::this_thread::yield();
    f();
  }
  m_offWorker.fetch_sub(1);
}

void CSocketEventsManager::MoveStaged() {
  for (auto& [key, entry] : m_staging) m_active[key] = std::move(entry);
  m_staging.clear();
  m_staged = 0;
}

CSocketEventsManager::WaitResult CSocketEventsManager::WaitForEvent(uint64_t& key, SSocketEntry& entry,
                                                                    SCompletionEvent& event) {
  m_worker = std::this_thread::get_id();
  platform::CompletionPort* port = m_port.load();
  if (!port) {
    event = SCompletionEvent{true, nullptr, 6, 0};  // no port: an invalid handle
    return WaitError;
  }
  platform::SCompletion completion = port->Wait(m_waitTimeoutMs);
  event = SCompletionEvent{!completion.ok, completion.overlapped, completion.error, completion.bytes};
  key = completion.key;
  if (!completion.ok && !completion.overlapped) {
    return completion.error == platform::WAIT_TIMEOUT ? WaitTimeout : WaitError;
  }
  if (completion.bytes == 0 && completion.key == 0 && !completion.overlapped) return WaitWakeUp;

  bool found = false;
  OnWorker(true, [&] {
    auto it = m_active.find(completion.key);
    if (it == m_active.end()) return;
    entry = it->second;
    found = true;
  });
  return found ? WaitEvent : WaitUnregisteredKey;
}

std::shared_ptr<CSocketEventsManager::CSocketEventProcessor> CSocketEventsManager::RemoveSocket(uint64_t key) {
  std::shared_ptr<CSocketEventProcessor> result;
  // Destroyed after the maps are released: a processor's destructor may
  // close its socket or reach back into the transports.
  std::vector<SSocketEntry> removed;
  auto take = [&](EntryMap& map) {
    auto it = map.find(key);
    if (it == map.end()) return;
    result = it->second.processor;
    Disassociate(it->second);
    removed.push_back(std::move(it->second));
    map.erase(it);
    if (&map == &m_staging) m_staged = m_staging.size();
  };
  if (std::this_thread::get_id() == m_worker.load()) {
    OnWorker(false, [&] { take(m_active); });
    // A key being removed was handed out before, so a registration running
    // now never stages it: with nothing staged there is nothing to look at.
    if (m_staged.load() > 0) {
      std::lock_guard lock(m_mutex);
      take(m_staging);
    }
  } else {
    OffWorker([&] {
      take(m_active);
      take(m_staging);
    });
  }
  return result;
}

size_t CSocketEventsManager::EntryCount() {
  size_t count = 0;
  OffWorker([&] { count = m_active.size() + m_staging.size(); });
  return count;
}

void CSocketEventsManager::RemoveTimedOutProcessors(int64_t now) {
  std::vector<SSocketEntry> removed;
  OnWorker(false, [&] {
    for (auto it = m_active.begin(); it != m_active.end();) {
      if (it->second.processor && it->second.processor->IsTimedOut(now)) {
        Disassociate(it->second);
        removed.push_back(std::move(it->second));
        it = m_active.erase(it);
      } else {
        ++it;
      }
    }
  });
}
