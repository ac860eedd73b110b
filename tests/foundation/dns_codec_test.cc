// The codec is checked against ldns as an independent encoder (messages built
// and compressed by ldns are read here) and decoder (what the codec writes is
// read back by ldns).
#include "Quorvane/foundation/dns_codec.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Quorvane/platform/ldns_glue.h"

namespace {

using Bytes = std::vector<uint8_t>;

using platform::PktPtr;

ldns_rr* Rr(const char* text) {
  ldns_rr* rr = nullptr;
  EXPECT_EQ(ldns_rr_new_frm_str(&rr, text, 0, nullptr, nullptr), LDNS_STATUS_OK) << text;
  return rr;
}

Bytes ToWire(const ldns_pkt* pkt) {
  uint8_t* wire = nullptr;
  size_t size = 0;
  EXPECT_EQ(ldns_pkt2wire(&wire, pkt, &size), LDNS_STATUS_OK);
  Bytes out(wire, wire + size);
  free(wire);
  return out;
}

PktPtr FromWire(const Bytes& wire) {
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_wire2pkt(&pkt, wire.data(), wire.size()), LDNS_STATUS_OK);
  return PktPtr(pkt);
}

PktPtr Query(const char* name, ldns_rr_type type) {
  ldns_pkt* pkt = nullptr;
  EXPECT_EQ(ldns_pkt_query_new_frm_str(&pkt, name, type, LDNS_RR_CLASS_IN, LDNS_RD), LDNS_STATUS_OK);
  ldns_pkt_set_id(pkt, 0x1234);
  return PktPtr(pkt);
}

// A query as dig sends it: EDNS with a 4096-byte buffer and a client cookie.
PktPtr DigStyleQuery(const char* name, ldns_rr_type type) {
  PktPtr pkt = Query(name, type);
  ldns_pkt_set_edns_udp_size(pkt.get(), 4096);
  const uint8_t cookie[] = {0, 10, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8};
  ldns_pkt_set_edns_data(pkt.get(), ldns_rdf_new_frm_data(LDNS_RDF_TYPE_UNKNOWN, sizeof cookie, cookie));
  return pkt;
}

// A response with a CNAME chain, two A and one AAAA record; ldns compresses
// the owner names and the CNAME targets into pointers.
Bytes ChainResponse() {
  PktPtr pkt = Query("www.example.com.", LDNS_RR_TYPE_A);
  ldns_pkt_set_qr(pkt.get(), true);
  ldns_pkt_push_rr(pkt.get(), LDNS_SECTION_ANSWER, Rr("www.example.com. 300 IN CNAME cdn.example.com."));
  ldns_pkt_push_rr(pkt.get(), LDNS_SECTION_ANSWER, Rr("cdn.example.com. 60 IN CNAME edge.cdn.example.com."));
  ldns_pkt_push_rr(pkt.get(), LDNS_SECTION_ANSWER, Rr("edge.cdn.example.com. 30 IN A 192.0.2.1"));
  ldns_pkt_push_rr(pkt.get(), LDNS_SECTION_ANSWER, Rr("edge.cdn.example.com. 31 IN A 192.0.2.2"));
  ldns_pkt_push_rr(pkt.get(), LDNS_SECTION_ANSWER, Rr("edge.cdn.example.com. 32 IN AAAA 2001:db8::5"));
  return ToWire(pkt.get());
}

// The chain response and the addresses the codec finds in it, with new TTLs.
Bytes ParsedChain(std::vector<SDnsAnswerAddress>& addresses, uint32_t ttl) {
  Bytes wire = ChainResponse();
  SDnsMessageInfo info;
  std::string text;
  EXPECT_EQ(ParseDnsReply(wire.data(), wire.size(), DnsResponse, info, addresses, text), DnsParseOk);
  for (auto& a : addresses) a.ttl = ttl;
  return wire;
}

std::string Ip(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* src = a.ss_family == AF_INET ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(a).sin_addr)
                                           : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr);
  inet_ntop(a.ss_family, src, text, sizeof text);
  return text;
}

std::string LdnsText(const ldns_rr* rr) {
  char* s = ldns_rr2str(rr);
  std::string out = s;
  free(s);
  while (!out.empty() && (out.back() == '\n')) out.pop_back();
  return out;
}

// A message of a header and whatever bytes follow.
Bytes Msg(uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar, const Bytes& rest) {
  Bytes m = {0x12, 0x34, uint8_t(flags >> 8), uint8_t(flags), 0, uint8_t(qd), 0, uint8_t(an),
             0, uint8_t(ns), 0, uint8_t(ar)};
  m.insert(m.end(), rest.begin(), rest.end());
  return m;
}

struct NameCase {
  const char* name;
  Bytes wire;     // read from position 0
  bool ok;
  std::string want;  // the name read, or the error text
};

Bytes Labels(int count) {
  Bytes w;
  for (int i = 0; i < count; ++i) w.insert(w.end(), {1, 'a'});
  w.push_back(0);
  return w;
}

// Labels of the given sizes, of "x".
Bytes LabelsOf(std::initializer_list<uint8_t> sizes) {
  Bytes w;
  for (uint8_t n : sizes) {
    w.push_back(n);
    w.insert(w.end(), n, 'x');
  }
  w.push_back(0);
  return w;
}

std::string DottedOf(std::initializer_list<uint8_t> sizes) {
  std::string s;
  for (uint8_t n : sizes) s += std::string(n, 'x') + ".";
  return s;
}

class ReadName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ReadName, ReadsOrFailsWithItsText) {
  const NameCase& c = GetParam();
  char out[256] = {};
  size_t pos = 0, nameLength = 0;
  int steps = 0;
  const char* error = nullptr;
  bool ok = ReadDnsName(c.wire.data(), pos, c.wire.size(), nameLength, out, kDnsNameBufferSize, steps, error);
  ASSERT_EQ(ok, c.ok) << (error ? error : "");
  if (ok) {
    EXPECT_EQ(std::string(out), c.want);
    EXPECT_EQ(nameLength, c.want.size());
  } else {
    EXPECT_EQ(std::string(error), c.want);
  }
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Wire, ReadName,
    ::testing::Values(
        NameCase{"root", {0}, true, ""},
        NameCase{"empty_message", {}, false, "pointer is outside of the buffer while read name"},
        NameCase{"missing_terminator", {3, 'c', 'o', 'm'}, false, "pointer is outside of the buffer while read name"},
        NameCase{"pointer_to_self", {0xC0, 0x00}, false, "get name called too many times (deadloop)"},
        NameCase{"pointer_cut", {3, 'c', 'o', 'm', 0xC0}, false,
                 "less than 2 bytes left but reference to the name expected"},
        NameCase{"pointer_forward", {0xC0, 0x02, 1, 'b', 0}, true, "b."},
        NameCase{"pointer_past_end", {0xC0, 0x40}, false, "pointer is outside of the buffer while read name"},
        NameCase{"label_over_end", {5, 'a', 'b', 0}, false, "name length is more then bytes left"},
        NameCase{"reserved_length_is_plain", [] { Bytes w{0x40}; w.insert(w.end(), 0x40, 'q'); w.push_back(0); return w; }(),
                 true, Repeat("q", 0x40) + "."},
        NameCase{"labels_49", Labels(49), true, Repeat("a.", 49)},
        NameCase{"labels_50", Labels(50), false, "get name called too many times (deadloop)"},
        // 250 characters and 4 dots fill the 255-byte buffer but its NUL.
        NameCase{"longest_name", LabelsOf({63, 63, 63, 61}), true, DottedOf({63, 63, 63, 61})},
        NameCase{"no_room_for_dot", LabelsOf({63, 63, 63, 62}), false, "less than 2 bytes left in name buffer"},
        NameCase{"label_over_room", LabelsOf({63, 63, 63, 63}), false, "buffer for name is too short"}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(ReadNameLimits, PointerLeavesPositionAfterItself) {
  // "b." at 0, then "a" + pointer to 0 at 3.
  Bytes w = {1, 'b', 0, 1, 'a', 0xC0, 0x00, 0xFF};
  char out[256] = {};
  size_t pos = 3, len = 0;
  int steps = 0;
  const char* error = nullptr;
  ASSERT_TRUE(ReadDnsName(w.data(), pos, w.size(), len, out, kDnsNameBufferSize, steps, error));
  EXPECT_STREQ(out, "a.b.");
  EXPECT_EQ(pos, 7u);
}

struct ParseCase {
  const char* name;
  Bytes message;
  EDnsMessageKind kind;
  EDnsParseResult result;
  const char* text;
};

const Bytes kQuestion = {7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0, 0, 1, 0, 1};

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class ParseErrors : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseErrors, GiveResultAndText) {
  const ParseCase& c = GetParam();
  SDnsMessageInfo info;
  std::vector<SDnsAnswerAddress> addresses;
  std::string text = "untouched";
  EXPECT_EQ(ParseDnsReply(c.message.data(), c.message.size(), c.kind, info, addresses, text), c.result);
  EXPECT_EQ(text, c.text);
}

// An A record for the question's name with the given rdata length.
Bytes ARecord(uint16_t type, uint8_t rdlength) {
  Bytes r = {0xC0, 12, uint8_t(type >> 8), uint8_t(type), 0, 1, 0, 0, 0, 60, 0, rdlength};
  r.insert(r.end(), rdlength, 7);
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ParseErrors,
    ::testing::Values(
        ParseCase{"short_header", Bytes(11, 0), DnsAnyKind, DnsHeaderError,
                  "DNS header check finished with error: data is too short"},
        ParseCase{"response_as_request", Msg(0x8000, 1, 0, 0, 0, kQuestion), DnsRequest, DnsHeaderError,
                  "DNS header check finished with error: response flag set but request expected"},
        ParseCase{"two_questions", Msg(0, 2, 0, 0, 0, Cat(kQuestion, kQuestion)), DnsAnyKind, DnsHeaderError,
                  "DNS header check finished with error: QDCOUNT is not 1"},
        ParseCase{"request_with_answer", Msg(0, 1, 1, 0, 0, kQuestion), DnsRequest, DnsHeaderError,
                  "DNS header check finished with error: One of ANCOUNT, NSCOUNT is non zero and request expected"},
        ParseCase{"header_only", Msg(0, 1, 0, 0, 0, {}), DnsAnyKind, DnsParseError, "name is not retrieved"},
        ParseCase{"self_pointer_question", Msg(0, 1, 0, 0, 0, {0xC0, 12, 0, 1, 0, 1}), DnsAnyKind, DnsParseError,
                  "name is not retrieved"},
        ParseCase{"question_cut", Msg(0, 1, 0, 0, 0, {0, 0, 1, 0}), DnsAnyKind, DnsParseError, "Incorrect DNS Request"},
        ParseCase{"class_chaos", Msg(0, 1, 0, 0, 0, {0, 0, 1, 0, 3}), DnsAnyKind, DnsParseError, "QCLASS should be 1"},
        ParseCase{"answer_missing", Msg(0x8000, 1, 1, 0, 0, kQuestion), DnsResponse, DnsParseError,
                  "buffer too small on answer reading"},
        ParseCase{"answer_rdata_cut", Msg(0x8000, 1, 1, 0, 0, Cat(kQuestion, {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 9, 0, 4, 1})),
                  DnsResponse, DnsParseError, "data is too short"},
        ParseCase{"answer_owner_bad", Msg(0x8000, 1, 1, 0, 0, Cat(kQuestion, {0xC0, 40, 0, 1, 0, 1, 0, 0, 0, 9, 0, 0})),
                  DnsResponse, DnsParseError, "name is not retrived"},
        ParseCase{"a_of_5_bytes", Msg(0x8000, 1, 1, 0, 0, Cat(kQuestion, ARecord(1, 5))), DnsResponse, DnsParseError,
                  "payload size mismatch (4)"},
        ParseCase{"aaaa_of_4_bytes", Msg(0x8000, 1, 1, 0, 0, Cat(kQuestion, ARecord(28, 4))), DnsResponse, DnsParseError,
                  "payload size mismatch (6)"},
        ParseCase{"query_trailing_byte", Msg(0, 1, 0, 0, 0, Cat(kQuestion, {0})), DnsAnyKind, DnsParseOk,
                  "data is longer than necessary"},
        ParseCase{"response_trailing_byte", Msg(0x8000, 1, 1, 0, 0, Cat(kQuestion, Cat(ARecord(1, 4), {0}))),
                  DnsResponse, DnsParseOk, "data is longer than necessary"},
        ParseCase{"response_authority_unread", Msg(0x8000, 1, 1, 1, 0, Cat(kQuestion, Cat(ARecord(1, 4), {0}))),
                  DnsResponse, DnsParseOk, "untouched"}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(ParseDnsReply, ReadsLdnsCompressedCnameChain) {
  Bytes wire = ChainResponse();
  SDnsMessageInfo info;
  std::vector<SDnsAnswerAddress> addresses(1);  // appended to, never cleared
  std::string text;
  ASSERT_EQ(ParseDnsReply(wire.data(), wire.size(), DnsResponse, info, addresses, text), DnsParseOk) << text;
  EXPECT_EQ(text, "");
  EXPECT_EQ(info.id, 0x1234);
  EXPECT_EQ(info.kind, DnsResponse);
  EXPECT_EQ(info.rrCount, 5);
  EXPECT_EQ(info.name.name, "www.example.com.");
  EXPECT_EQ(info.family, AF_INET);
  EXPECT_EQ(info.qtype, 1);
  ASSERT_EQ(addresses.size(), 4u);

  PktPtr pkt = FromWire(wire);
  ldns_rr_list* answer = ldns_pkt_answer(pkt.get());
  const char* want[] = {"192.0.2.1", "192.0.2.2", "2001:db8::5"};
  const uint32_t ttls[] = {30, 31, 32};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const SDnsAnswerAddress& a = addresses[i + 1];
    EXPECT_EQ(Ip(a.address), want[i]);
    EXPECT_EQ(a.ttl, ttls[i]);
    EXPECT_EQ(a.address.ss_family, i < 2 ? AF_INET : AF_INET6);
    // ldns reads the owner at recordOffset; the type field sits at rrHeaderOffset.
    ldns_rdf* owner = nullptr;
    size_t pos = a.recordOffset;
    ASSERT_EQ(ldns_wire2dname(&owner, wire.data(), wire.size(), &pos), LDNS_STATUS_OK);
    EXPECT_EQ(ldns_dname_compare(owner, ldns_rr_owner(ldns_rr_list_rr(answer, i + 2))), 0);
    EXPECT_EQ(pos, a.rrHeaderOffset);
    ldns_rdf_deep_free(owner);
    EXPECT_EQ((wire[a.rrHeaderOffset] << 8) | wire[a.rrHeaderOffset + 1], i < 2 ? 1 : 28);
  }
  // The owners are pointers: ldns did compress.
  EXPECT_EQ(wire[addresses[2].recordOffset] & 0xC0, 0xC0);
}

TEST(ParseDnsReply, OptRecordWarnsOnlyForTheRequestReader) {
  Bytes wire = ToWire(DigStyleQuery("Example.COM.", LDNS_RR_TYPE_AAAA).get());
  SDnsMessageInfo info;
  std::vector<SDnsAnswerAddress> addresses;
  std::string text;
  ASSERT_EQ(ParseDnsReply(wire.data(), wire.size(), DnsRequest, info, addresses, text), DnsParseOk);
  EXPECT_EQ(text, "");
  EXPECT_EQ(info.kind, DnsRequest);
  EXPECT_EQ(info.rrCount, 1);
  EXPECT_EQ(info.family, AF_INET6);
  EXPECT_EQ(info.name.name, "Example.COM.");
  EXPECT_EQ(info.name.lower, "example.com.");

  SDnsMessageInfo info2;
  ASSERT_EQ(ParseDNSRequestPacket(wire.data(), wire.size(), info2, text), DnsParseOk);
  EXPECT_EQ(text, "data is longer than necessary");
  EXPECT_EQ(info2.id, 0x1234);
  EXPECT_EQ(info2.qtype, 28);
}

TEST(RewriteDnsAnswers, WritesTtlsAndAddressesLdnsReadsBack) {
  std::vector<SDnsAnswerAddress> addresses;
  Bytes wire = ParsedChain(addresses, 3600);
  ASSERT_EQ(addresses.size(), 3u);
  reinterpret_cast<sockaddr_in&>(addresses[0].address).sin_addr.s_addr = htonl(0x0A000001);
  EXPECT_TRUE(RewriteDnsAnswers({}, wire.data(), wire.size()));
  ASSERT_TRUE(RewriteDnsAnswers(addresses, wire.data(), wire.size()));

  PktPtr pkt = FromWire(wire);
  ldns_rr_list* answer = ldns_pkt_answer(pkt.get());
  EXPECT_EQ(LdnsText(ldns_rr_list_rr(answer, 0)), "www.example.com.\t300\tIN\tCNAME\tcdn.example.com.");
  EXPECT_EQ(LdnsText(ldns_rr_list_rr(answer, 2)), "edge.cdn.example.com.\t3600\tIN\tA\t10.0.0.1");
  EXPECT_EQ(LdnsText(ldns_rr_list_rr(answer, 4)), "edge.cdn.example.com.\t3600\tIN\tAAAA\t2001:db8::5");
}

TEST(RewriteDnsAnswers, RefusesEntriesThatNoLongerMatch) {
  std::vector<SDnsAnswerAddress> addresses;
  Bytes wire = ParsedChain(addresses, 7);
  ASSERT_EQ(addresses.size(), 3u);

  {
    SCOPED_TRACE("a record turned into PTR: earlier entries stay rewritten");
    Bytes m = wire;
    m[addresses[1].rrHeaderOffset + 1] = 12;
    EXPECT_FALSE(RewriteDnsAnswers(addresses, m.data(), m.size()));
    auto ttlAt = [&](const SDnsAnswerAddress& a) {
      size_t pos = a.rrHeaderOffset;
      SDnsRrHeader rr;
      EXPECT_TRUE(ReadDnsRrHeader(rr, m.data(), pos, m.size()));
      return rr.ttl;
    };
    EXPECT_EQ(ttlAt(addresses[0]), 7u);
    EXPECT_EQ(ttlAt(addresses[2]), 32u);
  }
  struct Case { const char* name; size_t length; std::vector<SDnsAnswerAddress> entries; };
  auto swapped = addresses;
  swapped[0].address.ss_family = AF_INET6;
  auto zero = addresses;
  zero[0].rrHeaderOffset = 0;
  auto past = addresses;
  past[0].recordOffset = static_cast<uint32_t>(wire.size());
  for (const Case& c : {Case{"family_mismatch", wire.size(), swapped}, Case{"header_offset_zero", wire.size(), zero},
                        Case{"record_offset_past_end", wire.size(), past},
                        // The last AAAA's header fits but its 16 address bytes do not.
                        Case{"rdata_cut", wire.size() - 1, {addresses[2]}},
                        Case{"header_cut", addresses[2].rrHeaderOffset + 9u, {addresses[2]}}}) {
    SCOPED_TRACE(c.name);
    Bytes m = wire;
    EXPECT_FALSE(RewriteDnsAnswers(c.entries, m.data(), c.length));
  }
}

sockaddr_storage Zeroed(int family) {
  sockaddr_storage a{};
  a.ss_family = static_cast<sa_family_t>(family);
  return a;
}

TEST(IncludeAnswer, BlockAnswerOfDigStyleQueryIsWellFormed) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family);
    Bytes query = ToWire(DigStyleQuery("blocked.example.", family == AF_INET ? LDNS_RR_TYPE_A : LDNS_RR_TYPE_AAAA).get());
    Bytes packet(kDnsPacketBufferSize);
    std::memcpy(packet.data(), query.data(), query.size());
    size_t length = query.size();
    ASSERT_TRUE(IncludeAnswerIntoDnsPacket(packet.data(), length, Zeroed(family)));
    packet.resize(length);

    PktPtr pkt = FromWire(packet);
    EXPECT_TRUE(ldns_pkt_qr(pkt.get()));
    EXPECT_TRUE(ldns_pkt_rd(pkt.get()));
    EXPECT_EQ(ldns_pkt_id(pkt.get()), 0x1234);
    EXPECT_EQ(ldns_pkt_ancount(pkt.get()), 1);
    EXPECT_EQ(ldns_pkt_nscount(pkt.get()), 0);
    EXPECT_EQ(ldns_pkt_arcount(pkt.get()), 0);
    EXPECT_FALSE(ldns_pkt_edns(pkt.get()));
    EXPECT_EQ(LdnsText(ldns_rr_list_rr(ldns_pkt_answer(pkt.get()), 0)),
              family == AF_INET ? "blocked.example.\t5\tIN\tA\t0.0.0.0" : "blocked.example.\t5\tIN\tAAAA\t::");

    SDnsMessageInfo info;
    std::vector<SDnsAnswerAddress> addresses;
    std::string text;
    ASSERT_EQ(ParseDnsReply(packet.data(), packet.size(), DnsResponse, info, addresses, text), DnsParseOk);
    EXPECT_EQ(text, "");
    ASSERT_EQ(addresses.size(), 1u);
    EXPECT_EQ(addresses[0].ttl, 5u);
  }
}

TEST(IncludeAnswer, BufferLimitCountsTheOriginalLength) {
  for (size_t length : {4984u, 4985u}) {
    SCOPED_TRACE(length);
    Bytes packet(kDnsPacketBufferSize, 0xAB);
    Bytes q = Msg(0x0100, 1, 0, 0, 1, kQuestion);
    std::memcpy(packet.data(), q.data(), q.size());
    Bytes before = packet;
    size_t len = length;
    bool ok = IncludeAnswerIntoDnsPacket(packet.data(), len, Zeroed(AF_INET));
    EXPECT_EQ(ok, length == 4984u);
    if (ok) {
      EXPECT_EQ(len, q.size() + 16);
    } else {
      EXPECT_EQ(len, length);
      EXPECT_EQ(packet, before);
    }
  }
}

TEST(IncludeAnswer, RefusesAQueryWithoutAReadableQuestion) {
  for (const Bytes& q : {Bytes(5, 0), Msg(0, 0, 0, 0, 0, {}), Msg(0, 1, 0, 0, 0, {3, 'a'})}) {
    Bytes packet(kDnsPacketBufferSize);
    std::memcpy(packet.data(), q.data(), q.size());
    size_t len = q.size();
    EXPECT_FALSE(IncludeAnswerIntoDnsPacket(packet.data(), len, Zeroed(AF_INET)));
    EXPECT_EQ(len, q.size());
  }
}

struct WireCase {
  const char* name;
  std::string text;
  bool ok;
  Bytes wire;
};

class NameToWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(NameToWire, WritesOrRefusesWithoutWriting) {
  const WireCase& c = GetParam();
  uint8_t buffer[300];
  std::memset(buffer, 0xEE, sizeof buffer);
  uint8_t* out = buffer;
  ASSERT_EQ(DnsNameToWire(out, buffer + sizeof buffer, c.text), c.ok);
  if (c.ok) {
    EXPECT_EQ(Bytes(buffer, out), c.wire);
  } else {
    EXPECT_EQ(out, buffer);
    EXPECT_EQ(buffer[0], 0xEE);
  }
}

Bytes ExampleCom() { return {7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0}; }
std::string Dotted(int labels, int size) {  // labels of size characters, dot-separated
  std::string s;
  for (int i = 0; i < labels; ++i) s += (i ? "." : "") + std::string(size, 'z');
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameToWire,
    ::testing::Values(
        WireCase{"plain", "example.com", true, ExampleCom()},
        WireCase{"final_dot", "example.com.", true, ExampleCom()},
        WireCase{"empty_is_root", "", true, {0}},
        WireCase{"dot_is_root", ".", true, {0}},
        WireCase{"double_final_dot", "example.com..", false, {}},
        WireCase{"inner_empty_label", "example..com", false, {}},
        WireCase{"leading_dot", ".com", false, {}},
        WireCase{"label_63", std::string(63, 'k'), true, [] { Bytes w{63}; w.insert(w.end(), 63, 'k'); w.push_back(0); return w; }()},
        WireCase{"label_64", std::string(64, 'k'), false, {}},
        // 4 labels: 3 of 63 and one of 61 give 4 + 250 + 1 = 255 bytes.
        WireCase{"wire_255", Dotted(3, 63) + "." + std::string(61, 'z'), true,
                 [] { Bytes w; for (int i = 0; i < 3; ++i) { w.push_back(63); w.insert(w.end(), 63, 'z'); }
                      w.push_back(61); w.insert(w.end(), 61, 'z'); w.push_back(0); return w; }()},
        WireCase{"wire_256", Dotted(3, 63) + "." + std::string(62, 'z'), false, {}}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(NameToWireRoom, NothingWrittenWhenItDoesNotFit) {
  uint8_t buffer[13];
  std::memset(buffer, 0xEE, sizeof buffer);
  uint8_t* out = buffer;
  EXPECT_FALSE(DnsNameToWire(out, buffer + 12, "example.com"));
  EXPECT_EQ(out, buffer);
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_TRUE(DnsNameToWire(out, buffer + 13, "example.com"));
  EXPECT_EQ(out, buffer + 13);
}

TEST(ComposeRequest, LdnsReadsTheTestQuery) {
  static uint8_t buffer[kDnsPacketBufferSize];
  int length = ComposeDnsRequestPacket("probe.example.org", buffer);
  ASSERT_EQ(length, 12 + 19 + 4);
  PktPtr pkt = FromWire(Bytes(buffer, buffer + length));
  EXPECT_EQ(ldns_pkt_id(pkt.get()), 0);
  EXPECT_TRUE(ldns_pkt_rd(pkt.get()));
  EXPECT_FALSE(ldns_pkt_qr(pkt.get()));
  EXPECT_EQ(LdnsText(ldns_rr_list_rr(ldns_pkt_question(pkt.get()), 0)), "probe.example.org.\tIN\tA");

  SDnsMessageInfo info;
  std::string text;
  EXPECT_EQ(ParseDNSRequestPacket(buffer, length, info, text), DnsParseOk);
  EXPECT_EQ(text, "");
  EXPECT_EQ(info.name.name, "probe.example.org.");

  EXPECT_EQ(ComposeDnsRequestPacket("probe.example.org.", buffer), -1);
  EXPECT_EQ(ComposeDnsRequestPacket(std::string(64, 'x') + ".org", buffer), -1);
}

TEST(DisplayTexts, TypeNamesAndNames) {
  EXPECT_EQ(DnsTypeName(1), L"A");
  EXPECT_EQ(DnsTypeName(28), L"AAAA");
  EXPECT_EQ(DnsTypeName(43), L"DS");
  EXPECT_EQ(DnsTypeName(48), L"DNSKEY");
  EXPECT_EQ(DnsTypeName(65), L"65");
  EXPECT_EQ(DnsNameToDisplayText(""), L"root (.)");
  EXPECT_EQ(DnsNameToDisplayText("."), L"root (.)");
  EXPECT_EQ(DnsNameToDisplayText("www.example.com."), L"www.example.com");
  EXPECT_EQ(DnsNameToDisplayText("a.b"), L"a.b");
  EXPECT_EQ(DnsNameToDisplayText("a.."), L"a.");

  SDnsName n("MiXed-\xC3\x84.Org.");
  EXPECT_EQ(n.lower, "mixed-\xC3\x84.org.");
  n.name = "ABC";
  n.MakeLower();
  EXPECT_EQ(n.lower, "abc");
}

TEST(DisplayTexts, SplitsFlags) {
  SDnsFlags f = SplitDnsFlags(0x8000 | (5 << 11) | 0x0400 | 0x0100 | 0x0080 | 0x0020 | 0x0003);
  EXPECT_TRUE(f.qr);
  EXPECT_EQ(f.opcode, 5);
  EXPECT_TRUE(f.aa);
  EXPECT_FALSE(f.tc);
  EXPECT_TRUE(f.rd);
  EXPECT_TRUE(f.ra);
  EXPECT_FALSE(f.z);
  EXPECT_TRUE(f.ad);
  EXPECT_FALSE(f.cd);
  EXPECT_EQ(f.rcode, 3);
}

}  // namespace
