// A diverted query's way to upstream: the intake's reader, then the pending
// table's re-encoding through the DNS library into a buffer of a size the
// input picks, then an answer made of the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Quorvane/engine/dns_engine.h"
#include "tests/fuzz/fuzz_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // First byte: the two DNSSEC flags and the room left after the query.
  if (size < 1 || size - 1 > kInterceptBufferSize) return 0;
  const bool local = data[0] & 1;
  const bool reject = data[0] & 2;
  const uint32_t spare = data[0] >> 2;
  std::vector<uint8_t> message(data + 1, data + size);

  SDnsMessageInfo info;
  std::string error;
  if (!ParseInterceptedTraffic(message.data(), static_cast<uint32_t>(message.size()), info, error)) return 0;

  uint32_t length = static_cast<uint32_t>(message.size());
  const uint32_t capacity = length + spare;
  std::vector<uint8_t> buffer(capacity);
  std::memcpy(buffer.data(), message.data(), length);
  static CDnsPendingRequests table;
  const uint64_t id = table.Add(buffer.data(), length, capacity, info, local, reject, std::any(CDnsEngine::dnsDataType{}));
  if (length > capacity) abort();
  if (id == 0) return 0;

  SDnsMessageInfo answerInfo;
  std::vector<SDnsAnswerAddress> addresses;
  std::string text;
  ParseDnsReply(buffer.data(), length, DnsResponse, answerInfo, addresses, text);
  std::any out;
  bool rejectOut = false, localOut = false;
  if (!table.Complete(buffer.data(), length, out, rejectOut, localOut, answerInfo, addresses, id)) {
    table.OnError(id, L"fuzz", L"not answered");
  }
  DropLogLines();
  return 0;
}
