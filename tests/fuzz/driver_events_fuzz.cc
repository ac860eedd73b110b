// The driver client on arbitrary event records, as its event thread takes
// them from a read, with no device and no thread. The first byte says
// whether the header's sizes are made to fit the input (else they stay as
// the input has them, for the checks in front), what the query handler
// answers, and how long it says the answer is. Nothing may crash, read past
// the record or leak.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/engine/net_filter_processor.h"
#include "shared/driver_records.h"
#include "tests/fuzz/fuzz_log.h"

namespace {

CNetFilterProcessor& Client() {
  static CNetFilterProcessor* client = [] {
    auto* c = new CNetFilterProcessor;
    c->SetQueryHandlerForTesting([](uint8_t* packet, uint32_t& length, const DatagramContext&,
                                    const sockaddr_storage&, const sockaddr_storage&, const std::wstring&,
                                    uint32_t) {
      // The message's own bytes steer the answer: its first byte the
      // verdict, its second how much longer the answer is than the query.
      const uint8_t verdict = length ? packet[0] % 3 : 0;
      if (length > 1) length += packet[1] * 32u;
      return static_cast<int>(verdict);
    });
    return c;
  }();
  return *client;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  std::vector<uint8_t> buffer(data + 1, data + size);
  if (buffer.size() < kDriverEventHeaderSize) buffer.resize(kDriverEventHeaderSize);
  if (buffer.size() > kDriverEventHeaderSize + kMaxEventDataLength)
    buffer.resize(kDriverEventHeaderSize + kMaxEventDataLength);
  uint32_t bytes = static_cast<uint32_t>(buffer.size());
  if (!(mode & 1)) {
    DriverEvent header;
    std::memcpy(&header, buffer.data(), sizeof header);
    header.headerSize = kDriverEventHeaderSize;
    header.dataLength = bytes - kDriverEventHeaderSize;
    std::memcpy(buffer.data(), &header, sizeof header);
  } else {
    // A read may say it returned less than the buffer holds.
    bytes = std::min<uint32_t>(bytes, (mode >> 1) * 16u);
  }
  Client().TakeEventForTesting(buffer, bytes);
  DropLogLines();
  return 0;
}
