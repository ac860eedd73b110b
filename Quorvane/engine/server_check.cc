#include "Quorvane/engine/server_check.h"

#include <memory>

std::atomic<uint32_t> g_ServerCheckSequence{1};

bool PostCheckResult(platform::HWND owner, const CDnsServer& server, const std::optional<CDnsServer>& relay, bool ok,
                     uint32_t sequence, const std::wstring& text, bool retryAllowed) {
  auto result = std::make_unique<SServerCheckResult>();
  result->serverId = relay ? relay->id : server.id;
  result->time = std::chrono::steady_clock::now();
  result->ok = ok;
  result->sequence = sequence;
  result->text = text;
  result->retryAllowed = retryAllowed;
  if (!platform::PostWindowMessage(owner, WM_DNSCHECK_RESULT, reinterpret_cast<uintptr_t>(result.get()), 0)) {
    return false;
  }
  result.release();  // the receiver's now
  return true;
}
