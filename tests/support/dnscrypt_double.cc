#include "tests/support/dnscrypt_double.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#define DOUBLE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct SResult {
  int kind;
  uint64_t id;
  uint8_t* buffer;
  int length;
};

std::string Text(const char* text) { return text ? text : "(null)"; }

// The query turned into an answer with one A record; empty when the query is
// too short to hold its question.
std::vector<uint8_t> AutoAnswer(const uint8_t* query, int length) {
  if (!query || length < 12) return {};
  size_t at = 12;
  while (at < static_cast<size_t>(length) && query[at] != 0) at += query[at] + 1;
  at += 5;  // the root label, type and class
  if (at > static_cast<size_t>(length)) return {};
  std::vector<uint8_t> answer(query, query + at);
  answer[2] = 0x81;
  answer[3] = 0x80;
  answer[4] = 0, answer[5] = 1;
  answer[6] = 0, answer[7] = 1;
  for (int i = 8; i < 12; ++i) answer[i] = 0;
  const uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
  answer.insert(answer.end(), record, record + sizeof(record));
  answer.insert(answer.end(), CDnsCryptDouble::kAutoAddress, CDnsCryptDouble::kAutoAddress + 4);
  return answer;
}

class CDouble : public CDnsCryptDouble {
 public:
  void Reset(bool autoMode) override {
    std::lock_guard lock(m_mutex);
    for (SResult& r : m_results) std::free(r.buffer);
    m_results.clear();
    m_calls.clear();
    m_handles.clear();
    m_auto = autoMode;
    m_memFrees = m_handedOut = 0;
    m_changed.notify_all();
  }
  void ScriptHandles(const std::vector<uint64_t>& handles) override {
    std::lock_guard lock(m_mutex);
    m_handles.assign(handles.begin(), handles.end());
  }
  void PushResult(int kind, uint64_t id, const std::vector<uint8_t>& bytes, int length, bool nullBuffer) override {
    std::lock_guard lock(m_mutex);
    Push(kind, id, bytes, length, nullBuffer);
  }
  std::vector<SDnsCryptDoubleCall> Calls() override {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }
  bool WaitForCalls(const std::string& name, size_t count, int timeoutMs) override {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      size_t n = 0;
      for (const auto& call : m_calls) n += call.name == name;
      return n >= count;
    });
  }
  bool WaitDrained(int timeoutMs) override {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_results.empty() && m_memFrees >= m_handedOut; });
  }
  int MemFrees() override {
    std::lock_guard lock(m_mutex);
    return m_memFrees;
  }
  int ResultsHandedOut() override {
    std::lock_guard lock(m_mutex);
    return m_handedOut;
  }

  // The exports' halves.
  void Record(SDnsCryptDoubleCall call) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(std::move(call));
    m_changed.notify_all();
  }
  uint64_t InitRemote(SDnsCryptDoubleCall call) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(std::move(call));
    m_changed.notify_all();
    if (!m_auto) {
      if (m_handles.empty()) return 0;
      const uint64_t handle = m_handles.front();
      m_handles.pop_front();
      return handle;
    }
    const uint64_t handle = m_nextHandle++;
    std::vector<uint8_t> status(24, 0);
    std::memcpy(status.data(), &handle, 8);
    status[8] = 1;
    Push(3, 0, status, 24, false);
    return handle;
  }
  void Run(SDnsCryptDoubleCall call, const uint8_t* query, int length, uint64_t requestId) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(std::move(call));
    m_changed.notify_all();
    if (!m_auto) return;
    const std::vector<uint8_t> answer = AutoAnswer(query, length);
    if (!answer.empty()) Push(1, requestId, answer, static_cast<int>(answer.size()), false);
  }
  void Get(int* kind, uint64_t* id, uint8_t** buffer, int* length) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return !m_results.empty(); });
    const SResult r = m_results.front();
    m_results.pop_front();
    ++m_handedOut;
    *kind = r.kind;
    *id = r.id;
    *buffer = r.buffer;
    *length = r.length;
    m_changed.notify_all();
  }
  void Free(void* buffer) {
    std::free(buffer);
    std::lock_guard lock(m_mutex);
    ++m_memFrees;
    m_changed.notify_all();
  }

 private:
  void Push(int kind, uint64_t id, const std::vector<uint8_t>& bytes, int length, bool nullBuffer) {
    uint8_t* buffer = nullptr;
    if (!nullBuffer) {
      buffer = static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
      if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    }
    m_results.push_back({kind, id, buffer, length});
    m_changed.notify_all();
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<SResult> m_results;
  std::vector<SDnsCryptDoubleCall> m_calls;
  std::deque<uint64_t> m_handles;
  bool m_auto = true;
  uint64_t m_nextHandle = 1000;
  int m_memFrees = 0;
  int m_handedOut = 0;
};

CDouble& Double() {
  static CDouble* instance = new CDouble;  // lives as long as the process: detached threads use it
  return *instance;
}

}  // namespace

DOUBLE_EXPORT CDnsCryptDouble* DnsCryptDoubleControl() { return &Double(); }

DOUBLE_EXPORT void GetResultMessage_v2(int* kind, uint64_t* id, uint8_t** buffer, int* length) {
  Double().Get(kind, id, buffer, length);
}

DOUBLE_EXPORT uint64_t InitRemoteForRunWithData_v5(const char* name, const char* second, const char* stamp,
                                                   const char* relayStamp, const char* local, bool disablePadding,
                                                   int transport) {
  return Double().InitRemote({"InitRemoteForRunWithData_v5",
                              {Text(name), Text(second), Text(stamp), Text(relayStamp), Text(local),
                               disablePadding ? "1" : "0", std::to_string(transport)},
                              {}});
}

DOUBLE_EXPORT int RunWithData_v2(uint64_t handle, const uint8_t* query, int length, uint64_t requestId) {
  SDnsCryptDoubleCall call{"RunWithData_v2",
                           {std::to_string(handle), std::to_string(length), std::to_string(requestId)},
                           {}};
  if (query && length > 0) call.bytes.assign(query, query + length);
  Double().Run(std::move(call), query, length, requestId);
  return 0;
}

DOUBLE_EXPORT void MemFree(void* buffer) { Double().Free(buffer); }

// For the variants' own files.
void DnsCryptDoubleRecord(const std::string& name, std::vector<std::string> args) {
  Double().Record({name, std::move(args), {}});
}
