// The DNSCrypt bridge on a run of the library's result records (kind, id,
// 2-byte length, bytes), as its result thread hands them over, with queries
// already waiting in three remotes. An answer reaches the engine's way up
// with its own id and bytes; nothing may crash, read past a record or leak.
// The certificate refresh is held off (it would start a thread and a GET).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Quorvane/transports/dnscrypt_processor.h"
#include "Quorvane/transports/engine_sink.h"
#include "tests/fuzz/fuzz_log.h"

namespace {

class CBridge : public CDnsCryptProcessor {
 public:
  using CDnsCryptProcessor::OnResult;
  using CDnsCryptProcessor::SendToRemote;
};

class CSink : public CEngineSink {
 public:
  bool OnUpstreamAnswer(const std::vector<uint8_t>& answer, uint64_t requestId) override {
    if (answer != expected || requestId != expectedId) __builtin_trap();
    ++answers;
    return true;
  }
  void OnRequestError(uint64_t, const std::wstring&, const std::wstring&) override {}
  void RemoveRequestProcessor(uint64_t) override {}
  void OnPendingRequestError(uint64_t, const std::wstring&, const std::wstring&) override {}
  std::vector<uint8_t> expected;
  uint64_t expectedId = 0;
  int answers = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CSink sink;
  static const bool bound = (SetEngineSink(&sink), true);
  (void)bound;
  g_bUpdatingCertificate = true;

  CBridge bridge;
  const uint8_t query[] = {0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};
  for (uint64_t handle = 1; handle <= 3; ++handle) bridge.SendToRemote(handle, query, sizeof query, handle);

  int sent = 0;
  for (size_t at = 0; at + 4 <= size;) {
    const int kind = data[at] % 4;
    const uint64_t id = data[at + 1];
    const size_t n = std::min<size_t>(size - at - 4, (data[at + 2] << 8) | data[at + 3]);
    const std::vector<uint8_t> bytes(data + at + 4, data + at + 4 + n);
    at += 4 + n;
    sink.expected = bytes;
    sink.expectedId = id;
    bridge.OnResult(kind, id, bytes);
    if (kind == DnsCryptAnswer) ++sent;
  }
  if (sink.answers != sent) __builtin_trap();
  sink.answers = 0;
  DropLogLines();
  return 0;
}
