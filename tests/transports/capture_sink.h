// An engine sink that records what the transports report, in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Quorvane/transports/engine_sink.h"

class CCaptureSink : public CEngineSink {
 public:
  struct SCall {
    std::string entry;  // "answer", "request-error", "remove", "pending-error"
    uint64_t requestId = 0;
    std::vector<uint8_t> bytes;
    std::wstring name, text;
  };

  CCaptureSink() { SetEngineSink(this); }
  ~CCaptureSink() override { SetEngineSink(nullptr); }

  // Decides OnUpstreamAnswer; accepts everything when unset.
  std::function<bool(const std::vector<uint8_t>&)> accept;
  // Runs inside RemoveRequestProcessor, as the engine's UDP half would.
  std::function<void(uint64_t)> onRemove;

  bool OnUpstreamAnswer(const std::vector<uint8_t>& answer, uint64_t requestId) override {
    Record({"answer", requestId, answer, L"", L""});
    return accept ? accept(answer) : true;
  }
  void OnRequestError(uint64_t requestId, const std::wstring& name, const std::wstring& text) override {
    Record({"request-error", requestId, {}, name, text});
    RemoveRequestProcessor(requestId);
  }
  void RemoveRequestProcessor(uint64_t requestId) override {
    Record({"remove", requestId, {}, L"", L""});
    if (onRemove) onRemove(requestId);
  }
  void OnPendingRequestError(uint64_t requestId, const std::wstring& name, const std::wstring& text) override {
    Record({"pending-error", requestId, {}, name, text});
  }

  void Clear() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
  }
  std::vector<SCall> Calls() {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }
  // Bounded wait for at least count calls; true when they came.
  bool WaitForCalls(size_t count, int timeoutMs = 5000) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_calls.size() >= count; });
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> out;
    for (const SCall& c : Calls()) out.push_back(c.entry);
    return out;
  }

 private:
  void Record(SCall call) {
    {
      std::lock_guard lock(m_mutex);
      m_calls.push_back(std::move(call));
    }
    m_changed.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<SCall> m_calls;
};
