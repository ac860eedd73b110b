#include "Quorvane/foundation/dns_codec.h"

#include <netinet/in.h>

#include <cstring>
#include <map>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/system_dns.h"

// The system resolver's stand-in names the same wire numbers as DnsQuery does.
static_assert(kDnsTypeA == platform::DNS_TYPE_A && kDnsTypeAaaa == platform::DNS_TYPE_AAAA);

namespace {

constexpr uint32_t kBlockTtl = 5;
constexpr size_t kHeaderSize = 12;
constexpr size_t kRrHeaderSize = 10;
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxWireName = 255;

const char kWarnLonger[] = "data is longer than necessary";

void PutU16(uint8_t*& out, uint16_t v) {
  *out++ = static_cast<uint8_t>(v >> 8);
  *out++ = static_cast<uint8_t>(v);
}

void PutU32(uint8_t*& out, uint32_t v) {
  PutU16(out, static_cast<uint16_t>(v >> 16));
  PutU16(out, static_cast<uint16_t>(v));
}

bool ReadDnsUInt32(uint32_t& out, const uint8_t* data, size_t& pos, size_t length) {
  uint16_t hi = 0, lo = 0;
  if (!ReadDnsUInt16(hi, data, pos, length) || !ReadDnsUInt16(lo, data, pos, length)) return false;
  out = (static_cast<uint32_t>(hi) << 16) | lo;
  return true;
}

// Steps the name read has taken; above the limit the read fails.
bool CountStep(int& steps, const char*& error) {
  if (++steps > kDnsNameMaxSteps) {
    error = "get name called too many times (deadloop)";
    return false;
  }
  return true;
}

// A name read from its start into a 256-byte field; the inner reason is
// dropped, as the callers report their own.
bool ReadWholeName(const uint8_t* data, size_t& pos, size_t length, char (&out)[256], size_t& nameLength) {
  out[0] = '\0';
  nameLength = 0;
  int steps = 0;
  const char* inner = nullptr;
  return ReadDnsName(data, pos, length, nameLength, out, kDnsNameBufferSize, steps, inner);
}

}  // namespace

SDnsFlags SplitDnsFlags(uint16_t flags) {
  SDnsFlags f;
  f.qr = flags & 0x8000;
  f.opcode = static_cast<uint8_t>((flags >> 11) & 0x0F);
  f.aa = flags & 0x0400;
  f.tc = flags & 0x0200;
  f.rd = flags & 0x0100;
  f.ra = flags & 0x0080;
  f.z = flags & 0x0040;
  f.ad = flags & 0x0020;
  f.cd = flags & 0x0010;
  f.rcode = static_cast<uint8_t>(flags & 0x0F);
  return f;
}

SDnsName::SDnsName(const std::string& text) : name(text) { MakeLower(); }

void SDnsName::MakeLower() {
  lower = name;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

bool ReadDnsUInt16(uint16_t& out, const uint8_t* data, size_t& pos, size_t length) {
  if (pos > length || length - pos < 2) return false;
  out = static_cast<uint16_t>((data[pos] << 8) | data[pos + 1]);
  pos += 2;
  return true;
}

bool ReadDnsHeader(SDnsHeader& h, const uint8_t* data, size_t& pos, size_t length) {
  return ReadDnsUInt16(h.id, data, pos, length) && ReadDnsUInt16(h.flags, data, pos, length) &&
         ReadDnsUInt16(h.qdcount, data, pos, length) && ReadDnsUInt16(h.ancount, data, pos, length) &&
         ReadDnsUInt16(h.nscount, data, pos, length) && ReadDnsUInt16(h.arcount, data, pos, length);
}

bool CheckDnsHeader(size_t length, EDnsMessageKind expected, SDnsHeader& header, const char*& error,
                    const uint8_t* data, size_t& pos) {
  if (!ReadDnsHeader(header, data, pos, length)) {
    error = "data is too short";
    return false;
  }
  if (expected == DnsRequest && (header.flags & 0x8000)) {
    error = "response flag set but request expected";
    return false;
  }
  if (header.qdcount != 1) {
    error = "QDCOUNT is not 1";
    return false;
  }
  if (expected == DnsRequest && (header.ancount != 0 || header.nscount != 0)) {
    error = "One of ANCOUNT, NSCOUNT is non zero and request expected";
    return false;
  }
  return true;
}

bool ReadDnsName(const uint8_t* data, size_t& pos, size_t length, size_t& nameLength, char* out,
                 size_t outSize, int& steps, const char*& error) {
  if (!CountStep(steps, error)) return false;
  for (;;) {
    if (pos >= length) {
      error = "pointer is outside of the buffer while read name";
      return false;
    }
    if (nameLength > 256) {
      error = "name is too long";
      return false;
    }
    const uint8_t lead = data[pos];
    if ((lead & 0xC0) == 0xC0) {
      if (length - pos < 2) {
        error = "less than 2 bytes left but reference to the name expected";
        return false;
      }
      size_t target = (static_cast<size_t>(lead & 0x3F) << 8) | data[pos + 1];
      pos += 2;
      return ReadDnsName(data, target, length, nameLength, out, outSize, steps, error);
    }
    ++pos;
    if (lead == 0) return true;
    if (lead > length - pos) {
      error = "name length is more then bytes left";
      return false;
    }
    if (nameLength >= outSize || lead > outSize - nameLength - 1) {
      error = "buffer for name is too short";
      return false;
    }
    std::memcpy(out + nameLength, data + pos, lead);
    pos += lead;
    nameLength += lead;
    if (outSize - nameLength < 2) {
      error = "less than 2 bytes left in name buffer";
      return false;
    }
    out[nameLength++] = '.';
    out[nameLength] = '\0';
    if (!CountStep(steps, error)) return false;
  }
}

bool ReadDnsQuestions(const uint8_t* data, size_t& pos, size_t length, const SDnsHeader& header,
                      SDnsQuestion& question, const char*& error) {
  for (unsigned i = 0; i < header.qdcount; ++i) {
    question.offset = static_cast<uint16_t>(pos);
    size_t nameLength = 0;
    if (!ReadWholeName(data, pos, length, question.name, nameLength)) {
      error = "name is not retrieved";
      return false;
    }
    if (nameLength > 256) {
      error = "Name too long";
      return false;
    }
    if (length - pos < 4) {
      error = "Incorrect DNS Request";
      return false;
    }
    ReadDnsUInt16(question.qtype, data, pos, length);
    ReadDnsUInt16(question.qclass, data, pos, length);
    if (question.qclass != kDnsClassIn) {
      error = "QCLASS should be 1";
      return false;
    }
  }
  return true;
}

bool ReadDnsRrHeader(SDnsRrHeader& rr, const uint8_t* data, size_t& pos, size_t length) {
  if (pos > length || length - pos < kRrHeaderSize) return false;
  ReadDnsUInt16(rr.type, data, pos, length);
  ReadDnsUInt16(rr.klass, data, pos, length);
  ReadDnsUInt32(rr.ttl, data, pos, length);
  ReadDnsUInt16(rr.rdlength, data, pos, length);
  return true;
}

bool ReadDnsAnswers(const uint8_t* data, size_t& pos, size_t length, const SDnsHeader& header,
                    std::vector<SDnsAnswer>& answers, const char*& error) {
  for (unsigned i = 0; i < header.ancount; ++i) {
    if (pos > length || length - pos < kRrHeaderSize) {
      error = "buffer too small on answer reading";
      return false;
    }
    SDnsAnswer answer;
    answer.recordOffset = static_cast<uint32_t>(pos);
    size_t nameLength = 0;
    if (!ReadWholeName(data, pos, length, answer.name, nameLength)) {
      error = "name is not retrived";
      return false;
    }
    answer.rrHeaderOffset = static_cast<uint32_t>(pos);
    if (!ReadDnsRrHeader(answer.rr, data, pos, length) || answer.rr.rdlength > length - pos) {
      error = "data is too short";
      return false;
    }
    if (answer.rr.type == kDnsTypeA || answer.rr.type == kDnsTypeAaaa) {
      const bool v4 = answer.rr.type == kDnsTypeA;
      if (answer.rr.rdlength != (v4 ? 4 : 16)) {
        error = v4 ? "payload size mismatch (4)" : "payload size mismatch (6)";
        return false;
      }
      std::memcpy(answer.data, data + pos, answer.rr.rdlength);
      answers.push_back(answer);
    }
    pos += answer.rr.rdlength;
  }
  return true;
}

void FillDnsMessageInfo(const SDnsHeader& header, const SDnsQuestion& question, SDnsMessageInfo& info) {
  info.id = header.id;
  info.ad = header.flags & 0x0020;
  info.kind = (header.flags & 0x8000) ? DnsResponse : DnsRequest;
  info.rrCount = header.ancount + header.nscount + header.arcount;
  info.name = SDnsName(question.name);
  info.qtype = question.qtype;
  info.family = question.qtype == kDnsTypeA ? AF_INET : question.qtype == kDnsTypeAaaa ? AF_INET6 : 0;
}

void CollectAnswerAddresses(const std::vector<SDnsAnswer>& answers, std::vector<SDnsAnswerAddress>& addresses) {
  for (const SDnsAnswer& a : answers) {
    SDnsAnswerAddress entry;
    if (a.rr.type == kDnsTypeA) {
      auto* sin = reinterpret_cast<sockaddr_in*>(&entry.address);
      sin->sin_family = AF_INET;
      std::memcpy(&sin->sin_addr, a.data, 4);
    } else {
      auto* sin6 = reinterpret_cast<sockaddr_in6*>(&entry.address);
      sin6->sin6_family = AF_INET6;
      std::memcpy(&sin6->sin6_addr, a.data, 16);
    }
    entry.ttl = a.rr.ttl;
    entry.recordOffset = a.recordOffset;
    entry.rrHeaderOffset = a.rrHeaderOffset;
    addresses.push_back(entry);
  }
}

namespace {

// The steps both parse entries share: header check, then the question.
EDnsParseResult ParseHeaderAndQuestion(const uint8_t* data, size_t length, EDnsMessageKind expected,
                                       SDnsHeader& header, SDnsQuestion& question, size_t& pos, std::string& text) {
  const char* error = nullptr;
  if (!CheckDnsHeader(length, expected, header, error, data, pos)) {
    text = std::string("DNS header check finished with error: ") + error;
    return DnsHeaderError;
  }
  error = nullptr;
  if (!ReadDnsQuestions(data, pos, length, header, question, error)) {
    text = error ? error : "unknown";
    return DnsParseError;
  }
  return DnsParseOk;
}

}  // namespace

EDnsParseResult ParseDnsReply(const uint8_t* data, size_t length, EDnsMessageKind expected, SDnsMessageInfo& info,
                              std::vector<SDnsAnswerAddress>& addresses, std::string& text) {
  SDnsHeader header;
  SDnsQuestion question;
  size_t pos = 0;
  EDnsParseResult r = ParseHeaderAndQuestion(data, length, expected, header, question, pos, text);
  if (r != DnsParseOk) return r;
  FillDnsMessageInfo(header, question, info);
  if (!(header.flags & 0x8000)) {
    if (pos < length && header.arcount == 0) text = kWarnLonger;
    return DnsParseOk;
  }
  std::vector<SDnsAnswer> answers;
  const char* error = nullptr;
  if (!ReadDnsAnswers(data, pos, length, header, answers, error)) {
    text = error ? error : "unknown";
    return DnsParseError;
  }
  CollectAnswerAddresses(answers, addresses);
  if (pos < length && header.nscount == 0 && header.arcount == 0) text = kWarnLonger;
  return DnsParseOk;
}

EDnsParseResult ParseDNSRequestPacket(const uint8_t* data, size_t length, SDnsMessageInfo& info,
                                      std::string& text) {
  SDnsHeader header;
  SDnsQuestion question;
  size_t pos = 0;
  EDnsParseResult r = ParseHeaderAndQuestion(data, length, DnsRequest, header, question, pos, text);
  if (r != DnsParseOk) return r;
  if (pos < length) text = kWarnLonger;
  FillDnsMessageInfo(header, question, info);
  return DnsParseOk;
}

bool RewriteDnsAnswers(const std::vector<SDnsAnswerAddress>& addresses, uint8_t* message, size_t length) {
  for (const SDnsAnswerAddress& entry : addresses) {
    if (entry.rrHeaderOffset == 0 || entry.rrHeaderOffset >= length || entry.recordOffset >= length) return false;
    size_t pos = entry.rrHeaderOffset;
    SDnsRrHeader rr;
    if (!ReadDnsRrHeader(rr, message, pos, length)) return false;
    // The record data must lie within the message too, not only its header.
    if (rr.rdlength > length - pos) return false;
    const void* bytes = nullptr;
    if (rr.type == kDnsTypeA && rr.rdlength == 4 && entry.address.ss_family == AF_INET) {
      bytes = &reinterpret_cast<const sockaddr_in*>(&entry.address)->sin_addr;
    } else if (rr.type == kDnsTypeAaaa && rr.rdlength == 16 && entry.address.ss_family == AF_INET6) {
      bytes = &reinterpret_cast<const sockaddr_in6*>(&entry.address)->sin6_addr;
    } else {
      return false;
    }
    uint8_t* out = message + entry.rrHeaderOffset;
    PutU16(out, rr.type);
    PutU16(out, rr.klass);
    PutU32(out, entry.ttl);
    PutU16(out, rr.rdlength);
    std::memcpy(out, bytes, rr.rdlength);
  }
  return true;
}

bool IncludeAnswerIntoDnsPacket(uint8_t* packet, size_t& length, const sockaddr_storage& address) {
  SDnsHeader header;
  SDnsQuestion question;
  size_t pos = 0;
  const char* error = nullptr;
  if (!ReadDnsHeader(header, packet, pos, length) || header.qdcount != 1 ||
      !ReadDnsQuestions(packet, pos, length, header, question, error)) {
    return false;
  }
  const bool v4 = address.ss_family == AF_INET;
  const size_t recordSize = v4 ? 16 : 28;
  if (length + recordSize > kDnsPacketBufferSize) return false;

  // The answer goes right after the question: whatever followed it (an EDNS
  // OPT record, a cookie) would otherwise sit before the answer and make the
  // message malformed.
  header.flags |= 0x8000;
  header.ancount = 1;
  header.nscount = 0;
  header.arcount = 0;
  uint8_t* out = packet;
  WriteDnsHeader(header, out);
  out = packet + pos;
  PutU16(out, 0xC000 | kHeaderSize);
  PutU16(out, v4 ? kDnsTypeA : kDnsTypeAaaa);
  PutU16(out, kDnsClassIn);
  PutU32(out, kBlockTtl);
  PutU16(out, v4 ? 4 : 16);
  if (v4) {
    std::memcpy(out, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, 4);
  } else {
    std::memcpy(out, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, 16);
  }
  length = pos + recordSize;
  return true;
}

void WriteDnsHeader(const SDnsHeader& header, uint8_t*& out) {
  PutU16(out, header.id);
  PutU16(out, header.flags);
  PutU16(out, header.qdcount);
  PutU16(out, header.ancount);
  PutU16(out, header.nscount);
  PutU16(out, header.arcount);
}

bool DnsNameToWire(uint8_t*& out, const uint8_t* end, const std::string& name) {
  std::string_view rest(name);
  if (!rest.empty() && rest.back() == '.') rest.remove_suffix(1);
  uint8_t wire[kMaxWireName];
  size_t used = 0;
  while (!rest.empty()) {
    size_t dot = rest.find('.');
    std::string_view label = rest.substr(0, dot);
    if (label.empty() || label.size() > kMaxLabel) return false;
    // The label, its length byte and the final 0 byte must stay within 255.
    if (used + 1 + label.size() + 1 > kMaxWireName) return false;
    wire[used++] = static_cast<uint8_t>(label.size());
    std::memcpy(wire + used, label.data(), label.size());
    used += label.size();
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
    if (rest.empty()) return false;  // "a..": an empty label before the stripped dot
  }
  wire[used++] = 0;
  if (out > end || static_cast<size_t>(end - out) < used) return false;
  std::memcpy(out, wire, used);
  out += used;
  return true;
}

int ComposeDnsRequestPacket(const std::string& host, uint8_t (&buffer)[kDnsPacketBufferSize]) {
  std::memset(buffer, 0, sizeof buffer);
  uint8_t* out = buffer;
  const uint8_t* end = buffer + sizeof buffer;
  SDnsHeader header;
  header.flags = 0x0100;
  header.qdcount = 1;
  WriteDnsHeader(header, out);
  const std::string name = host + ".";
  if (static_cast<size_t>(end - out) < name.size() + 1) return -1;
  if (!DnsNameToWire(out, end, name)) return -1;
  if (end - out < 4) return -1;
  PutU16(out, kDnsTypeA);
  PutU16(out, kDnsClassIn);
  return static_cast<int>(out - buffer);
}

std::wstring DnsTypeName(uint16_t type) {
  static const std::map<uint16_t, std::wstring> names = {
      {1, L"A"}, {28, L"AAAA"}, {43, L"DS"}, {48, L"DNSKEY"}};
  auto it = names.find(type);
  return it != names.end() ? it->second : std::to_wstring(type);
}

std::wstring DnsNameToDisplayText(const std::string& name) {
  if (name.empty() || name == ".") return L"root (.)";
  std::string_view text(name);
  if (text.back() == '.') text.remove_suffix(1);
  return ToWide(text, false);
}
