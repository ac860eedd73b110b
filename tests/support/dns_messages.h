// DNS messages built byte by byte for the tests of every folder: queries,
// answers with chosen records, and stand-ins that only carry a query's id.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Quorvane/foundation/dns_codec.h"

namespace dnstest {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
inline void Put32(Bytes& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v >> 16));
  Put16(out, static_cast<uint16_t>(v));
}
inline void PutName(Bytes& out, const std::string& name) {
  uint8_t buffer[300];
  uint8_t* end = buffer;
  EXPECT_TRUE(DnsNameToWire(end, buffer + sizeof buffer, name)) << name;
  out.insert(out.end(), buffer, end);
}

// A query with RD set; with ednsPayload, an OPT record advertising it.
inline Bytes Query(uint16_t id, const std::string& name, uint16_t qtype = kDnsTypeA,
                   std::optional<uint16_t> ednsPayload = std::nullopt) {
  Bytes out;
  Put16(out, id);
  Put16(out, 0x0100);  // RD
  Put16(out, 1);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, ednsPayload ? 1 : 0);
  PutName(out, name);
  Put16(out, qtype);
  Put16(out, kDnsClassIn);
  if (ednsPayload) {
    out.push_back(0);  // root owner
    Put16(out, kDnsTypeOpt);
    Put16(out, *ednsPayload);
    Put32(out, 0);  // extended rcode, version, flags
    Put16(out, 0);  // no options
  }
  return out;
}

struct SRecord {
  std::string name;
  uint16_t type;
  uint32_t ttl;
  Bytes data;  // 4 bytes for A, 16 for AAAA, a wire name for CNAME
};

// A response to name/qtype with the given answer records; flags beyond QR and
// RD (AD = 0x0020) through extraFlags.
inline Bytes Answer(uint16_t id, const std::string& name, uint16_t qtype, const std::vector<SRecord>& records,
                    uint16_t extraFlags = 0) {
  Bytes out;
  Put16(out, id);
  Put16(out, static_cast<uint16_t>(0x8180 | extraFlags));
  Put16(out, 1);
  Put16(out, static_cast<uint16_t>(records.size()));
  Put16(out, 0);
  Put16(out, 0);
  PutName(out, name);
  Put16(out, qtype);
  Put16(out, 1);
  for (const SRecord& record : records) {
    PutName(out, record.name);
    Put16(out, record.type);
    Put16(out, 1);
    Put32(out, record.ttl);
    Put16(out, static_cast<uint16_t>(record.data.size()));
    out.insert(out.end(), record.data.begin(), record.data.end());
  }
  return out;
}

inline Bytes WireName(const std::string& name) {
  Bytes out;
  PutName(out, name);
  return out;
}

inline uint16_t IdOf(const Bytes& message) { return static_cast<uint16_t>(message[0] << 8 | message[1]); }

inline SDnsMessageInfo InfoOf(const Bytes& message) {
  SDnsMessageInfo info;
  std::vector<SDnsAnswerAddress> addresses;
  std::string text;
  EXPECT_EQ(ParseDnsReply(message.data(), message.size(), DnsAnyKind, info, addresses, text), DnsParseOk) << text;
  return info;
}

inline std::vector<uint32_t> AddressTtls(const Bytes& message) {
  SDnsMessageInfo info;
  std::vector<SDnsAnswerAddress> addresses;
  std::string text;
  ParseDnsReply(message.data(), message.size(), DnsResponse, info, addresses, text);
  std::vector<uint32_t> ttls;
  for (const SDnsAnswerAddress& address : addresses) ttls.push_back(address.ttl);
  return ttls;
}

// size bytes that start with the query's id, for sinks that do not parse.
inline Bytes StandInAnswer(const Bytes& query, size_t size, uint8_t fill) {
  Bytes answer(size, fill);
  if (size >= 2 && query.size() >= 2) {
    answer[0] = query[0];
    answer[1] = query[1];
  }
  return answer;
}

}  // namespace dnstest
