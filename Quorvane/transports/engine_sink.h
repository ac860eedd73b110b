// The transports' way up to the engine. The engine binds its entries at
// start-up; until then answers are refused and failures dropped, so the
// transports build and test alone. Any thread; implementations lock on their
// own side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CEngineSink {
 public:
  virtual ~CEngineSink() = default;
  // CDnsEngine::OnUpstreamAnswer: true when a pending request took the answer.
  virtual bool OnUpstreamAnswer(const std::vector<uint8_t>& answer, uint64_t requestId) = 0;
  // CDnsEngine::OnRequestError: RemoveRequestProcessor, then the pending
  // request fails with the text.
  virtual void OnRequestError(uint64_t requestId, const std::wstring& name, const std::wstring& text) = 0;
  // CDnsEngine::RemoveRequestProcessor: drops the request's transport state.
  virtual void RemoveRequestProcessor(uint64_t requestId) = 0;
  // CDnsPendingRequests::OnError: fails the pending request with the text.
  virtual void OnPendingRequestError(uint64_t requestId, const std::wstring& name, const std::wstring& text) = 0;
};

// A transport's failure of one request: its processor goes, then the pending
// request hears why.
void FailRequest(uint64_t requestId, const std::wstring& name, const std::wstring& text);

// Null restores the default sink. The sink must outlive every transport.
void SetEngineSink(CEngineSink* sink);
CEngineSink& GetEngineSink();
