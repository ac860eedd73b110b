// The control socket's frame readers on arbitrary bytes, fed in two pieces
// split where the input says, and the application-id reader on every reply
// body that looks like an event.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "shared/control_framing.h"
#include "shared/driver_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t split = size > 0 ? data[0] % (size + 1) : 0;
  std::vector<uint8_t> first(data, data + split), second(data + split, data + size);

  CControlFrameReader requests;
  requests.Append(first.data(), first.size());
  requests.Append(second.data(), second.size());
  SControlRequest request;
  while (requests.NextRequest(request) == EFrameStatus::Frame) {
  }

  CControlFrameReader replies;
  replies.Append(first.data(), first.size());
  replies.Append(second.data(), second.size());
  SControlReply reply;
  while (replies.NextReply(reply) == EFrameStatus::Frame)
    DriverEventAppId(reply.output.data(), reply.output.size());
  return 0;
}
