// The TLS layer on arbitrary bytes from the server: after the client's first
// flight, the input arrives in pieces (the first byte picks their size) and
// each piece is one handshake step. Every step ends in a result (NeedMoreData,
// or an error with its text); nothing may crash, leak or read past a piece.
// A forged handshake cannot complete, so the records after it are reached
// only through the TLS layer's own tests with a real server.
#include <netinet/in.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Quorvane/transports/tls_protocol_processor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] * 8u;
  sockaddr_storage server{};
  auto* in = reinterpret_cast<sockaddr_in*>(&server);
  in->sin_family = AF_INET;
  in->sin_port = htons(853);
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  CTlsProtocolProcessor layer(L"dot.fuzz.test");
  CProcessingResultCode result;
  std::vector<uint8_t> toSend;
  layer.Start(result, L"dot.fuzz.test", server, {}, toSend, "");
  if (result.code == CProcessingResultCode::Error) return 0;
  for (size_t at = 1; at < size;) {
    const size_t take = std::min(piece, size - at);
    std::vector<uint8_t> input(data + at, data + at + take);
    at += take;
    std::vector<uint8_t> answer;
    toSend.clear();
    CProcessingResultCode step;
    layer.ProcessIncomingData(step, input, toSend, answer);
    if (step.code == CProcessingResultCode::Error) {
      if (step.message.empty()) __builtin_trap();  // a failure always says why
      break;
    }
    if (step.code == CProcessingResultCode::LongTask) break;  // the certificate check has its own targets
  }
  return 0;
}
