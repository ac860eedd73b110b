// Both DNS readers on arbitrary bytes, with every expected kind; the block
// answer is then built from whatever the request reader accepted.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Quorvane/foundation/dns_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any over-read is seen.
  std::vector<uint8_t> message(data, data + size);
  for (EDnsMessageKind kind : {DnsAnyKind, DnsRequest, DnsResponse}) {
    SDnsMessageInfo info;
    std::vector<SDnsAnswerAddress> addresses;
    std::string text;
    ParseDnsReply(message.data(), message.size(), kind, info, addresses, text);
  }
  SDnsMessageInfo info;
  std::string text;
  if (ParseDNSRequestPacket(message.data(), message.size(), info, text) == DnsParseOk &&
      size <= kDnsPacketBufferSize) {
    std::vector<uint8_t> packet(kDnsPacketBufferSize);
    std::memcpy(packet.data(), data, size);
    size_t length = size;
    sockaddr_storage address{};
    address.ss_family = static_cast<sa_family_t>(info.family == AF_INET ? AF_INET : AF_INET6);
    IncludeAnswerIntoDnsPacket(packet.data(), length, address);
  }
  return 0;
}
