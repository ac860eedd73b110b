#include "Quorvane/transports/engine_sink.h"

#include <atomic>

namespace {

class CNoEngine : public CEngineSink {
 public:
  bool OnUpstreamAnswer(const std::vector<uint8_t>&, uint64_t) override { return false; }
  void OnRequestError(uint64_t, const std::wstring&, const std::wstring&) override {}
  void RemoveRequestProcessor(uint64_t) override {}
  void OnPendingRequestError(uint64_t, const std::wstring&, const std::wstring&) override {}
};

CNoEngine g_noEngine;
// Written at start-up (and by tests), read by every transport thread.
std::atomic<CEngineSink*> g_engineSink{&g_noEngine};

}  // namespace

void SetEngineSink(CEngineSink* sink) { g_engineSink = sink ? sink : &g_noEngine; }

CEngineSink& GetEngineSink() { return *g_engineSink.load(); }

void FailRequest(uint64_t requestId, const std::wstring& name, const std::wstring& text) {
  CEngineSink& engine = GetEngineSink();
  engine.RemoveRequestProcessor(requestId);
  engine.OnPendingRequestError(requestId, name, text);
}
