// Queries and stand-in answers for the transport tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Quorvane/foundation/dns_codec.h"

inline std::vector<uint8_t> MakeQuery(uint16_t id, const std::string& name, uint16_t qtype,
                                      std::optional<uint16_t> ednsPayload = std::nullopt) {
  uint8_t buffer[600] = {};
  uint8_t* out = buffer;
  SDnsHeader header;
  header.id = id;
  header.flags = 0x0100;
  header.qdcount = 1;
  header.arcount = ednsPayload ? 1 : 0;
  WriteDnsHeader(header, out);
  DnsNameToWire(out, buffer + sizeof(buffer), name);
  std::vector<uint8_t> query(buffer, out);
  auto u16 = [&](uint16_t v) {
    query.push_back(static_cast<uint8_t>(v >> 8));
    query.push_back(static_cast<uint8_t>(v));
  };
  u16(qtype);
  u16(1);
  if (ednsPayload) {
    query.push_back(0);  // root owner
    u16(41);
    u16(*ednsPayload);
    u16(0);
    u16(0);  // ttl: extended rcode, version, flags
    u16(0);  // no options
  }
  return query;
}

// size bytes that start with the query's id; the capture sink does not parse.
inline std::vector<uint8_t> StandInAnswer(const std::vector<uint8_t>& query, size_t size, uint8_t fill) {
  std::vector<uint8_t> answer(size, fill);
  if (size >= 2 && query.size() >= 2) {
    answer[0] = query[0];
    answer[1] = query[1];
  }
  return answer;
}
