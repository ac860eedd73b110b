// The program's own minimal DNS message reader and writer (RFC 1035 wire
// form), kept apart from the DNSSEC library.
//
// Start here: ParseDnsReply / ParseDNSRequestPacket read a message summary and
// the A/AAAA answer addresses with their positions; RewriteDnsAnswers writes
// new TTLs and addresses back in place; IncludeAnswerIntoDnsPacket turns a
// query into its blocking answer; ComposeDnsRequestPacket builds a test query.
//
// Readers take the message, a position they advance and the message length;
// every read is bounded by that length. Nothing here throws or keeps state;
// failures are false or a result code plus a fixed English text (a static
// string). Fields are held in host order and read and written big-endian.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum EDnsParseResult : int {
  DnsHeaderError = 2,
  DnsParseError = 3,
  DnsParseOk = 4,
};

// The kind a caller expects, and the header check it implies.
enum EDnsMessageKind : int {
  DnsAnyKind = 2,   // QDCOUNT 1
  DnsRequest = 3,   // QR clear, QDCOUNT 1, ANCOUNT and NSCOUNT 0
  DnsResponse = 4,  // QDCOUNT 1 (QR is not tested)
};

// Record types and the class the program reads and writes.
constexpr uint16_t kDnsTypeA = 1;
constexpr uint16_t kDnsTypeCname = 5;
constexpr uint16_t kDnsTypeMx = 15;
constexpr uint16_t kDnsTypeAaaa = 28;
constexpr uint16_t kDnsTypeOpt = 41;  // EDNS
constexpr uint16_t kDnsClassIn = 1;

// Size of the buffers that hold a diverted query (the driver client's
// intercept buffer), its blocking answer or a test query.
constexpr size_t kDnsPacketBufferSize = 5000;
// Output buffer size every name read uses: names of at most 254 characters
// including their final "." fit.
constexpr size_t kDnsNameBufferSize = 255;
// A name read takes at most this many steps (labels plus pointer jumps).
constexpr int kDnsNameMaxSteps = 50;

struct SDnsHeader {
  uint16_t id = 0;
  uint16_t flags = 0;
  uint16_t qdcount = 0;
  uint16_t ancount = 0;
  uint16_t nscount = 0;
  uint16_t arcount = 0;
};

struct SDnsFlags {
  bool qr = false;      // bit 15
  uint8_t opcode = 0;   // bits 11..14
  bool aa = false;      // bit 10
  bool tc = false;      // bit 9
  bool rd = false;      // bit 8
  bool ra = false;      // bit 7
  bool z = false;       // bit 6
  bool ad = false;      // bit 5
  bool cd = false;      // bit 4
  uint8_t rcode = 0;    // bits 0..3
};
SDnsFlags SplitDnsFlags(uint16_t flags);

struct SDnsQuestion {
  char name[256] = {};  // dotted, every label followed by "."; the root is ""
  uint16_t qtype = 0;
  uint16_t qclass = 0;
  uint16_t offset = 0;  // position of the question in the message
};

// The 10 bytes after a record's owner name.
struct SDnsRrHeader {
  uint16_t type = 0;
  uint16_t klass = 0;
  uint32_t ttl = 0;
  uint16_t rdlength = 0;
};

struct SDnsAnswer {
  char name[256] = {};
  SDnsRrHeader rr;
  uint8_t data[256] = {};       // 4 bytes used for A, 16 for AAAA
  uint32_t recordOffset = 0;    // position of the owner name
  uint32_t rrHeaderOffset = 0;  // position of the type field
};

struct SDnsAnswerAddress {
  sockaddr_storage address{};  // AF_INET or AF_INET6 with the address, port 0
  uint32_t ttl = 0;
  uint32_t recordOffset = 0;
  uint32_t rrHeaderOffset = 0;
};

struct SDnsName {
  std::string name;
  std::string lower;  // same length; only ASCII A..Z lowered

  SDnsName() = default;
  explicit SDnsName(const std::string& text);
  // Rebuilds lower from name; callers that change name call it too.
  void MakeLower();
};

struct SDnsMessageInfo {
  uint16_t id = 0;
  bool ad = false;
  EDnsMessageKind kind = DnsAnyKind;  // DnsRequest or DnsResponse by the QR bit
  int rrCount = 0;                    // ancount + nscount + arcount
  SDnsName name;                      // with its trailing "."
  uint16_t family = 0;                // AF_INET for A, AF_INET6 for AAAA, else 0
  uint16_t qtype = 0;
};

// Readers. On false, outputs are partly filled and pos is meaningless; error
// (where there is one) points to a static text.
bool ReadDnsUInt16(uint16_t& out, const uint8_t* data, size_t& pos, size_t length);
bool ReadDnsHeader(SDnsHeader& header, const uint8_t* data, size_t& pos, size_t length);
bool CheckDnsHeader(size_t length, EDnsMessageKind expected, SDnsHeader& header, const char*& error,
                    const uint8_t* data, size_t& pos);
// Appends the name at pos to out (room outSize, NUL kept after the name);
// nameLength and steps carry over across compression pointers. pos ends after
// the name, or right after the first pointer.
bool ReadDnsName(const uint8_t* data, size_t& pos, size_t length, size_t& nameLength, char* out,
                 size_t outSize, int& steps, const char*& error);
bool ReadDnsQuestions(const uint8_t* data, size_t& pos, size_t length, const SDnsHeader& header,
                      SDnsQuestion& question, const char*& error);
bool ReadDnsRrHeader(SDnsRrHeader& rr, const uint8_t* data, size_t& pos, size_t length);
// Keeps the A and AAAA records among the ANCOUNT answers; skips the others.
bool ReadDnsAnswers(const uint8_t* data, size_t& pos, size_t length, const SDnsHeader& header,
                    std::vector<SDnsAnswer>& answers, const char*& error);
void FillDnsMessageInfo(const SDnsHeader& header, const SDnsQuestion& question, SDnsMessageInfo& info);
// Appends one address per answer, in order.
void CollectAnswerAddresses(const std::vector<SDnsAnswer>& answers, std::vector<SDnsAnswerAddress>& addresses);

// text is replaced only on failure (with the reason) or with the warning
// "data is longer than necessary" (which comes with DnsParseOk); addresses
// are appended to, never cleared.
EDnsParseResult ParseDnsReply(const uint8_t* data, size_t length, EDnsMessageKind expected, SDnsMessageInfo& info,
                              std::vector<SDnsAnswerAddress>& addresses, std::string& text);
// A query; any byte after the question gives the warning.
EDnsParseResult ParseDNSRequestPacket(const uint8_t* data, size_t length, SDnsMessageInfo& info,
                                      std::string& text);

// Writes each entry's TTL and address into the record it came from (the
// addresses of ParseDnsReply on this same message). False at the first entry
// whose record is not an A/AAAA of its family or does not lie within length;
// the entries before it stay rewritten.
bool RewriteDnsAnswers(const std::vector<SDnsAnswerAddress>& addresses, uint8_t* message, size_t length);

// Turns the query in packet (a kDnsPacketBufferSize buffer) into its answer:
// QR set, one A (AF_INET) or AAAA (otherwise) record with TTL 5 right after
// the question, every record after the question dropped. False when the query
// has no readable single question or length plus the record exceeds the
// buffer; packet is then unchanged.
bool IncludeAnswerIntoDnsPacket(uint8_t* packet, size_t& length, const sockaddr_storage& address);

// 12 bytes at out; out advances by 12.
void WriteDnsHeader(const SDnsHeader& header, uint8_t*& out);
// One final "." is dropped ("" and "." are the root). False, with nothing
// written, for an empty label, a label over 63 bytes, a wire name over 255
// bytes, or when it does not fit before end.
bool DnsNameToWire(uint8_t*& out, const uint8_t* end, const std::string& name);
// An RD query for host + ".", type A, class IN, id 0. Returns the length, or
// -1 (so a host typed with its final "." fails: it would hold an empty label).
int ComposeDnsRequestPacket(const std::string& host, uint8_t (&buffer)[kDnsPacketBufferSize]);

// "A", "AAAA", "DS", "DNSKEY", else the decimal number.
std::wstring DnsTypeName(uint16_t type);
// "root (.)" for "" or "."; else the name without one final ".", from the
// locale's codeset.
std::wstring DnsNameToDisplayText(const std::string& name);
