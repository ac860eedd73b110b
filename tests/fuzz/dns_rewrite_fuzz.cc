// The answer rewrite: first with the addresses the reader found in the same
// message, then with entries whose offsets come from the input itself.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Quorvane/foundation/dns_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte says how many hostile entries follow (each 9 bytes: two
  // 32-bit offsets and a family choice); the rest is the message.
  size_t entries = data[0] % 4;
  size_t head = 1 + entries * 9;
  if (size < head) return 0;
  std::vector<uint8_t> message(data + head, data + size);

  SDnsMessageInfo info;
  std::vector<SDnsAnswerAddress> addresses;
  std::string text;
  if (ParseDnsReply(message.data(), message.size(), DnsResponse, info, addresses, text) == DnsParseOk) {
    for (auto& a : addresses) a.ttl = 300;
    RewriteDnsAnswers(addresses, message.data(), message.size());
  }

  std::vector<SDnsAnswerAddress> hostile;
  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* e = data + 1 + i * 9;
    SDnsAnswerAddress a;
    std::memcpy(&a.recordOffset, e, 4);
    std::memcpy(&a.rrHeaderOffset, e + 4, 4);
    a.recordOffset %= message.size() + 16;
    a.rrHeaderOffset %= message.size() + 16;
    a.address.ss_family = (e[8] & 1) ? AF_INET6 : AF_INET;
    a.ttl = e[8];
    hostile.push_back(a);
  }
  RewriteDnsAnswers(hostile, message.data(), message.size());
  return 0;
}
