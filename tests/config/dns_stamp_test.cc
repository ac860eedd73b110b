#include "Quorvane/config/dns_stamp.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <initializer_list>

#include "Quorvane/foundation/address_utils.h"

namespace {

// Builds stamp records byte by byte from the published format, apart from
// the codec: protocol byte, 8 little-endian property bytes, LP fields
// (length byte + bytes) and VLP sets (0x80 on every length but the last).
class StampBytes {
 public:
  explicit StampBytes(uint8_t protocol) { m_bytes.push_back(static_cast<char>(protocol)); }
  StampBytes& Props(uint64_t props) {
    for (int i = 0; i < 8; ++i) m_bytes.push_back(static_cast<char>(props >> (8 * i)));
    return *this;
  }
  StampBytes& Lp(const std::string& field, bool more = false) {
    m_bytes.push_back(static_cast<char>(field.size() | (more ? 0x80 : 0)));
    m_bytes += field;
    return *this;
  }
  StampBytes& Vlp(std::initializer_list<std::string> items) {
    if (items.size() == 0) return Raw("\x00", 1);
    size_t i = 0;
    for (const auto& item : items) Lp(item, ++i < items.size());
    return *this;
  }
  StampBytes& Raw(const char* bytes, size_t length) {
    m_bytes.append(bytes, length);
    return *this;
  }
  // "sdns://" + URL-safe base64 without padding.
  std::string Stamp(bool prefix = true) const {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out = prefix ? "sdns://" : "";
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char c : m_bytes) {
      bits = (bits << 8) | c;
      count += 8;
      while (count >= 6) out.push_back(alphabet[(bits >> (count -= 6)) & 0x3F]);
    }
    if (count > 0) out.push_back(alphabet[(bits << (6 - count)) & 0x3F]);
    return out;
  }
  const std::string& Bytes() const { return m_bytes; }

 private:
  std::string m_bytes;
};

const std::string kKey(32, '\x11');
const std::string kHashA(32, '\xaa');
const std::string kHashB(32, '\xbb');

ByteString B(const std::string& s) { return ByteString(s.begin(), s.end()); }

// A stamp or server with the given protocol, port and address text (or none).
template <class Record>
Record Make(EDnsProtocol protocol, const char* address, uint16_t port) {
  Record record;
  record.protocol = protocol;
  record.port = port;
  if (address) {
    int family = 0;
    EXPECT_TRUE(TextToAddress(address, family, record.address)) << address;
    record.family = static_cast<uint32_t>(family);
  }
  return record;
}

// A stamp or server read from text that must be accepted.
template <class Record, bool (Record::*Read)(const std::string&, std::string&)>
Record ReadOk(const std::string& text) {
  Record record;
  std::string error;
  EXPECT_TRUE((record.*Read)(text, error)) << error;
  return record;
}
CDnsStamp Parsed(const std::string& text) { return ReadOk<CDnsStamp, &CDnsStamp::Parse>(text); }
CDnsServer FromStamp(const std::string& text) { return ReadOk<CDnsServer, &CDnsServer::FromStamp>(text); }

TEST(DnsStamp, ReadsEveryProtocol) {
  auto plain = Parsed(StampBytes(0x00).Props(1).Lp("192.0.2.1").Stamp());
  EXPECT_EQ(plain.protocol, EDnsProtocol::Plain);
  EXPECT_EQ(plain.family, static_cast<uint32_t>(AF_INET));
  EXPECT_EQ(plain.address, (ByteString{192, 0, 2, 1}));
  EXPECT_EQ(plain.port, 53);
  EXPECT_TRUE(plain.dnssec);
  EXPECT_FALSE(plain.noLogs);

  auto v6 = Parsed(StampBytes(0x00).Props(6).Lp("[2001:db8::1]:853").Stamp());
  EXPECT_EQ(v6.family, static_cast<uint32_t>(AF_INET6));
  EXPECT_EQ(v6.address.size(), 16u);
  EXPECT_EQ(v6.address[0], 0x20);
  EXPECT_EQ(v6.address[15], 0x01);
  EXPECT_EQ(v6.port, 853);
  EXPECT_FALSE(v6.dnssec);
  EXPECT_TRUE(v6.noLogs);
  EXPECT_TRUE(v6.noFilter);

  auto crypt = Parsed(StampBytes(0x01).Props(0).Lp("192.0.2.2:8443").Lp(kKey).Lp("2.dnscrypt-cert.example").Stamp());
  EXPECT_EQ(crypt.protocol, EDnsProtocol::DnsCrypt);
  EXPECT_EQ(crypt.port, 8443);
  EXPECT_EQ(crypt.publicKey, B(kKey));
  EXPECT_EQ(crypt.providerName, "2.dnscrypt-cert.example");

  auto doh = Parsed(StampBytes(0x02)
                        .Props(1)
                        .Lp("")
                        .Vlp({kHashA, "", kHashB})
                        .Lp("doh.example:444")
                        .Lp("/dns-query")
                        .Vlp({"192.0.2.8", "[2001:db8::8]"})
                        .Stamp());
  EXPECT_EQ(doh.protocol, EDnsProtocol::Doh);
  EXPECT_TRUE(doh.address.empty());
  EXPECT_EQ(doh.family, 0u);
  EXPECT_EQ(doh.port, 443);
  EXPECT_EQ(doh.dohHashes, (HashList{B(kHashA), B(kHashB)}));  // the empty element is dropped
  EXPECT_EQ(doh.dohHostName, "doh.example:444");
  EXPECT_EQ(doh.dohPath, "/dns-query");
  EXPECT_EQ(doh.dohBootstrap, (std::vector<std::string>{"192.0.2.8", "[2001:db8::8]"}));

  auto dot = Parsed(StampBytes(0x03).Props(0).Lp("192.0.2.3").Vlp({kHashA}).Lp("dot.example").Stamp());
  EXPECT_EQ(dot.protocol, EDnsProtocol::Dot);
  EXPECT_EQ(dot.port, 853);
  EXPECT_EQ(dot.dotHashes, HashList{B(kHashA)});
  EXPECT_EQ(dot.dotHostName, "dot.example");

  auto doq = Parsed(StampBytes(0x04).Props(0).Lp("").Vlp({}).Lp("doq.example:8853").Stamp());
  EXPECT_EQ(doq.protocol, EDnsProtocol::Doq);
  EXPECT_TRUE(doq.doqHashes.empty());
  EXPECT_EQ(doq.doqHostName, "doq.example:8853");  // kept as read
  EXPECT_EQ(doq.port, 853);

  auto relay = Parsed(StampBytes(0x81).Lp("192.0.2.4:443").Raw("\0\0\0\0", 4).Stamp());
  EXPECT_EQ(relay.protocol, EDnsProtocol::Relay);
  EXPECT_EQ(relay.address, (ByteString{192, 0, 2, 4}));
  EXPECT_EQ(relay.port, 443);
}

TEST(DnsStamp, TextFormsDecodeToTheSameRecord) {
  const std::string text = StampBytes(0x03).Props(1).Lp("192.0.2.3").Vlp({kHashA}).Lp("dot.example").Stamp(false);
  const CDnsStamp want = Parsed("sdns://" + text);
  std::string spaced = "  sdns://" + text.substr(0, 10) + " \r\n" + text.substr(10, 7) + "\n " + text.substr(17) + " ";
  for (const std::string& variant : {text, spaced}) {
    SCOPED_TRACE(variant);
    CDnsStamp got = Parsed(variant);
    EXPECT_EQ(got.dotHostName, want.dotHostName);
    EXPECT_EQ(got.dotHashes, want.dotHashes);
    EXPECT_EQ(got.address, want.address);
    EXPECT_TRUE(got.dnssec);
  }
}

TEST(DnsStamp, TrailingBytesAndLaterPropertyBytesAreIgnored) {
  auto got = Parsed(StampBytes(0x00).Props(0).Lp("192.0.2.1").Raw("\x05junk", 5).Stamp());
  EXPECT_EQ(got.address, (ByteString{192, 0, 2, 1}));
  auto props = Parsed(StampBytes(0x00).Props(0xffffffffffffff00ull).Lp("192.0.2.1").Stamp());
  EXPECT_FALSE(props.dnssec);
  EXPECT_FALSE(props.noFilter);
}

// A single field's length byte is its whole length; published stamps carry
// provider names and paths of 128-255 bytes.
TEST(DnsStamp, SingleFieldsUpTo255BytesReadWhole) {
  struct Case {
    const char* name;
    size_t length;
  };
  for (const Case& c : {Case{"127", 127}, Case{"128", 128}, Case{"200", 200}, Case{"255", 255}}) {
    SCOPED_TRACE(c.name);
    const std::string provider(c.length, 'n');
    auto crypt = Parsed(StampBytes(0x01).Props(0).Lp("192.0.2.2").Lp(kKey).Lp(provider).Stamp());
    EXPECT_EQ(crypt.providerName, provider);
    const std::string path = "/" + std::string(c.length - 1, 'p');
    auto doh = Parsed(StampBytes(0x02).Props(0).Lp("").Vlp({kHashA}).Lp("doh.example").Lp(path).Stamp());
    EXPECT_EQ(doh.dohPath, path);
    EXPECT_EQ(doh.dohHostName, "doh.example");
    EXPECT_EQ(doh.dohHashes, HashList{B(kHashA)});
  }
  // 0x80 on a single field is part of its length, not a "more" mark.
  std::string error;
  CDnsStamp stamp;
  EXPECT_FALSE(stamp.Parse(StampBytes(0x00).Props(0).Lp("192.0.2.1", true).Stamp(), error));
  EXPECT_EQ(error, "Incorrect LP record length");
}

TEST(DnsStamp, MalformedStampsFailWithTheirReason) {
  struct Case {
    const char* name;
    std::string text;
    std::string error;
  };
  const std::string valid = StampBytes(0x00).Props(0).Lp("192.0.2.1").Stamp(false);
  const Case cases[] = {
      {"empty", "", "Empty input"},
      {"blanks_only", "   ", "Data truncated"},
      {"padding", "sdns://" + valid + "==", "Invalid char at position " + std::to_string(valid.size() + 1)},
      {"position_counts_kept_chars", "sdns://AB CD\n+", "Invalid char at position 5"},
      {"standard_alphabet", "sdns://AA/A", "Invalid char at position 3"},
      {"relay_two_bytes", StampBytes(0x81).Lp("").Stamp(), "Data truncated"},
      {"odoh", StampBytes(0x05).Props(0).Lp("").Stamp(), "Unknown protocol 5"},
      {"odoh_relay", StampBytes(0x85).Lp("192.0.2.1:443").Stamp(), "Unknown protocol 133"},
      {"plain_empty_address", StampBytes(0x00).Props(0).Lp("").Stamp(), "Empty IP address"},
      {"dnscrypt_empty_address", StampBytes(0x01).Props(0).Lp("").Lp(kKey).Lp("p").Stamp(), "Empty IP address"},
      {"relay_port_only", StampBytes(0x81).Lp(":443").Raw("\0\0\0\0\0\0\0", 7).Stamp(), "Empty IP address"},
      {"key_31", StampBytes(0x01).Props(0).Lp("192.0.2.1").Lp(kKey.substr(1)).Lp("p").Stamp(),
       "Invalid public key length 31"},
      {"no_field_left", StampBytes(0x02).Props(0).Stamp(), "Incorrect LP record"},
      {"missing_path", StampBytes(0x02).Props(0).Lp("").Vlp({}).Lp("doh.example").Stamp(), "Incorrect LP record"},
      {"vlp_unterminated", StampBytes(0x03).Props(0).Lp("").Lp(kHashA, true).Stamp(), "Incorrect LP record"},
      {"length_past_end", StampBytes(0x00).Props(0).Raw("\x7f" "1.2.3.4", 8).Stamp(), "Incorrect LP record length"},
      {"host_name_address", StampBytes(0x00).Props(0).Lp("dns.example").Stamp(), "Incorrect IP address dns.example"},
      {"bad_port", StampBytes(0x00).Props(0).Lp("192.0.2.1:0").Stamp(), "Invalid address: Incorrect port number"},
      {"v6_bad_port", StampBytes(0x00).Props(0).Lp("[2001:db8::1]:x").Stamp(),
       "Invalid address: Incorrect port number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CDnsStamp stamp;
    stamp.providerName = "kept";
    std::string error;
    EXPECT_FALSE(stamp.Parse(c.text, error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(stamp.providerName, "kept");
  }
}

TEST(DnsStamp, BuildWritesThePublishedBytes) {
  struct Case {
    const char* name;
    CDnsStamp stamp;
    StampBytes want;
  };
  auto make = Make<CDnsStamp>;
  CDnsStamp plain = make(EDnsProtocol::Plain, "192.0.2.1", 53);
  plain.dnssec = plain.noLogs = plain.noFilter = true;
  CDnsStamp v6 = make(EDnsProtocol::Plain, "2001:db8::1", 5353);
  CDnsStamp crypt = make(EDnsProtocol::DnsCrypt, "192.0.2.2", 443);
  crypt.publicKey = B(kKey);
  crypt.providerName = "2.dnscrypt-cert.example";
  CDnsStamp doh = make(EDnsProtocol::Doh, "192.0.2.5", 444);
  doh.dohHashes = {B(kHashA), B(kHashB)};
  doh.dohHostName = "doh.example";
  doh.dohPath = "/dns-query";
  doh.dohBootstrap = {"192.0.2.9"};  // never written
  CDnsStamp dot = make(EDnsProtocol::Dot, "192.0.2.1", 854);
  dot.dotHostName = "dot.example";
  CDnsStamp doq = make(EDnsProtocol::Doq, nullptr, 853);
  doq.doqHashes = {B(kHashA)};
  doq.doqHostName = "doq.example";
  CDnsStamp relay = make(EDnsProtocol::Relay, "192.0.2.4", 443);
  relay.dnssec = true;  // relays have no property bytes
  CDnsStamp unspec = make(EDnsProtocol::Unspec, "192.0.2.1", 0);
  Case cases[] = {
      {"plain", plain, StampBytes(0x00).Props(7).Lp("192.0.2.1")},
      {"plain_v6_port", v6, StampBytes(0x00).Props(0).Lp("[2001:db8::1]:5353")},
      {"dnscrypt", crypt, StampBytes(0x01).Props(0).Lp("192.0.2.2").Lp(kKey).Lp("2.dnscrypt-cert.example")},
      {"doh_port_in_host", doh,
       StampBytes(0x02).Props(0).Lp("192.0.2.5").Vlp({kHashA, kHashB}).Lp("doh.example:444").Lp("/dns-query")},
      {"dot_port_in_both", dot, StampBytes(0x03).Props(0).Lp("192.0.2.1:854").Vlp({}).Lp("dot.example:854")},
      {"doq_no_address", doq, StampBytes(0x04).Props(0).Lp("").Vlp({kHashA}).Lp("doq.example")},
      {"relay", relay, StampBytes(0x81).Lp("192.0.2.4")},
      {"unspec_as_plain_byte", unspec, StampBytes(0x00).Props(0).Lp("192.0.2.1")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text, error;
    ASSERT_TRUE(c.stamp.Build(text, error)) << error;
    EXPECT_EQ(text, c.want.Stamp());
  }
}

TEST(DnsStamp, BuildWritesFieldsUpTo255BytesAndRefusesLonger) {
  CDnsStamp doh;
  doh.protocol = EDnsProtocol::Doh;
  doh.port = 443;
  doh.dohHostName = "doh.example";
  doh.dohPath = "/" + std::string(255, 'p');
  std::string text = "untouched", error;
  EXPECT_FALSE(doh.Build(text, error));
  EXPECT_EQ(error, "LP record is too long 256");
  EXPECT_EQ(text, "untouched");
  doh.dohPath.pop_back();
  ASSERT_TRUE(doh.Build(text, error)) << error;
  EXPECT_EQ(text, StampBytes(0x02).Props(0).Lp("").Vlp({}).Lp("doh.example").Lp(doh.dohPath).Stamp());
  EXPECT_EQ(Parsed(text).dohPath, doh.dohPath);
  // A set's elements keep 7 bits: a 128-byte hash cannot be written.
  doh.dohHashes = {ByteString(128, 0xaa)};
  EXPECT_FALSE(doh.Build(text, error));
  EXPECT_EQ(error, "LP record is too long 128");
}

TEST(DnsStamp, EveryRelayStampBuildWritesReadsAgain) {
  // Relays carry no property bytes, so their stamps may be shorter than
  // any other kind's.
  for (const char* address : {"::", "::1", "192.0.2.4"}) {
    SCOPED_TRACE(address);
    const CDnsStamp relay = Make<CDnsStamp>(EDnsProtocol::Relay, address, 443);
    std::string text, error;
    ASSERT_TRUE(relay.Build(text, error)) << error;
    const CDnsStamp back = Parsed(text);
    EXPECT_EQ(back.protocol, EDnsProtocol::Relay);
    EXPECT_EQ(back.family, relay.family);
    EXPECT_EQ(back.address, relay.address);
    EXPECT_EQ(back.port, 443);
  }
}

TEST(DnsStampCodec, LpAndVlpPrimitives) {
  std::string bytes;
  CDnsStamp::WriteVlpSet(bytes, {});
  CDnsStamp::WriteVlpSet(bytes, {"ab", "c"});
  CDnsStamp::WriteVlpElement(bytes, "xyz", false);
  CDnsStamp::WriteLp(bytes, std::string(130, 'q'));
  EXPECT_EQ(bytes, std::string("\x00\x82" "ab\x01" "c\x83xyz\x82", 11) + std::string(130, 'q'));
  std::string_view rest = bytes;
  std::vector<std::string> list;
  CDnsStamp::ReadVlpSet(rest, list);
  EXPECT_TRUE(list.empty());
  CDnsStamp::ReadVlpSet(rest, list);
  EXPECT_EQ(list, (std::vector<std::string>{"ab", "c"}));
  std::string field;
  EXPECT_TRUE(CDnsStamp::ReadVlpElement(rest, field));
  EXPECT_EQ(field, "xyz");
  CDnsStamp::ReadLp(rest, field);
  EXPECT_EQ(field, std::string(130, 'q'));
  EXPECT_TRUE(rest.empty());
  EXPECT_THROW(CDnsStamp::ReadLp(rest, field), CDnsStamp::ParseExc);
  EXPECT_THROW(CDnsStamp::WriteLp(bytes, std::string(256, 'x')), CDnsStamp::ParseExc);
  EXPECT_THROW(CDnsStamp::WriteVlpElement(bytes, std::string(128, 'x'), true), CDnsStamp::ParseExc);
}

// --- servers ---

TEST(ServerStamp, FromStampReplacesTheWholeServer) {
  CDnsServer server;
  server.id = 42;
  server.name = L"Mine";
  server.rttMs = 5;
  server.status = EServerStatus::Ok;
  server.plain_use_tcp = true;
  std::string error;
  ASSERT_TRUE(server.FromStamp(StampBytes(0x01).Props(7).Lp("192.0.2.2").Lp(kKey).Lp("2.cert.example").Stamp(), error));
  EXPECT_EQ(server.name, L"New DNS server");
  EXPECT_EQ(server.id, 0u);
  EXPECT_EQ(server.rttMs, -1);
  EXPECT_EQ(server.status, EServerStatus::Unknown);
  EXPECT_FALSE(server.plain_use_tcp);
  EXPECT_EQ(server.protocol, EDnsProtocol::DnsCrypt);
  EXPECT_EQ(server.port, 443);
  EXPECT_TRUE(server.dnssec_supported);
  EXPECT_TRUE(server.addressKnown);
  EXPECT_EQ(server.dnscrypt_public_key, B(kKey));
  EXPECT_EQ(server.dnscrypt_provider_name, "2.cert.example");

  auto doh = FromStamp(StampBytes(0x02).Props(0).Lp("").Vlp({kHashA}).Lp("doh.example:444").Lp("/q").Stamp());
  EXPECT_EQ(doh.protocol, EDnsProtocol::Doh);
  EXPECT_FALSE(doh.addressKnown);
  EXPECT_EQ(doh.port, 443);
  EXPECT_EQ(doh.doh_host_name, "doh.example:444");  // DoH keeps the field as read
  EXPECT_EQ(doh.doh_path, "/q");
  EXPECT_EQ(doh.doh_hashes, HashList{B(kHashA)});
}

TEST(ServerStamp, DotAndDoqHostFieldsLoseTheirPort) {
  struct Case {
    const char* name;
    uint8_t protocol;
    std::string address, host;
    std::string wantHost;
    uint16_t wantPort;
  };
  const Case cases[] = {
      {"dot_port_from_host", 0x03, "", "dot.example:854", "dot.example", 854},
      {"dot_address_port_wins", 0x03, "192.0.2.1:8853", "dot.example:854", "dot.example", 8853},
      {"dot_address_without_port", 0x03, "192.0.2.1", "dot.example:854", "dot.example", 854},
      {"doq_no_port", 0x04, "", "doq.example", "doq.example", 853},
      {"doq_empty_port", 0x04, "192.0.2.1", "doq.example:", "doq.example", 853},
      {"dot_ip_only", 0x03, "192.0.2.1", "", "", 853},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = FromStamp(StampBytes(c.protocol).Props(0).Lp(c.address).Vlp({}).Lp(c.host).Stamp());
    EXPECT_EQ(c.protocol == 0x03 ? server.dot_host_name : server.doq_host_name, c.wantHost);
    EXPECT_EQ(server.port, c.wantPort);
    // What gets resolved and checked as the TLS name is the bare host.
    if (!c.wantHost.empty()) {
      EXPECT_EQ(server.GetHostOrAddress(false), c.wantHost);
    }
  }
}

TEST(ServerStamp, RefusesServersTheConfFileWouldRefuse) {
  struct Case {
    const char* name;
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"parse_failure", "sdns://", "Cannot parse stamp: Data truncated"},
      {"dot_bad_host_port", StampBytes(0x03).Props(0).Lp("").Vlp({}).Lp("dot.example:0").Stamp(),
       "Cannot parse stamp: Invalid host name: Incorrect port number"},
      {"doq_bad_host_port", StampBytes(0x04).Props(0).Lp("192.0.2.1").Vlp({}).Lp("doq.example:99999").Stamp(),
       "Cannot parse stamp: Invalid host name: Incorrect port number"},
      {"doh_short_hash", StampBytes(0x02).Props(0).Lp("").Vlp({"abc"}).Lp("doh.example").Lp("/q").Stamp(),
       "Cannot parse stamp: Invalid hash length 3"},
      {"dot_long_hash", StampBytes(0x03).Props(0).Lp("192.0.2.1").Vlp({kHashA, kHashB + "x"}).Lp("d").Stamp(),
       "Cannot parse stamp: Invalid hash length 33"},
      {"doq_short_hash", StampBytes(0x04).Props(0).Lp("192.0.2.1").Vlp({"a"}).Lp("d").Stamp(),
       "Cannot parse stamp: Invalid hash length 1"},
      {"dot_nothing", StampBytes(0x03).Props(0).Lp("").Vlp({}).Lp("").Stamp(),
       "Cannot parse stamp: IP address or hostname should be set"},
      {"doq_port_only", StampBytes(0x04).Props(0).Lp("").Vlp({}).Lp(":853").Stamp(),
       "Cannot parse stamp: IP address or hostname should be set"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CDnsServer server;
    server.id = 9;
    server.name = L"Kept";
    std::string error;
    EXPECT_FALSE(server.FromStamp(c.text, error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(server.id, 9u);
    EXPECT_EQ(server.name, L"Kept");
  }
}

TEST(ServerStamp, ToStampAndBackForEveryProtocol) {
  auto base = [](EDnsProtocol protocol, const char* address, uint16_t port) {
    CDnsServer s = Make<CDnsServer>(protocol, address, port);
    s.addressKnown = address != nullptr;
    return s;
  };
  std::vector<CDnsServer> servers;
  servers.push_back(base(EDnsProtocol::Plain, "2001:db8::1", 5353));
  servers.back().dnssec_supported = true;
  servers.push_back(base(EDnsProtocol::DnsCrypt, "192.0.2.2", 8443));
  servers.back().dnscrypt_public_key = B(kKey);
  servers.back().dnscrypt_provider_name = "2.cert.example";
  servers.push_back(base(EDnsProtocol::Doh, nullptr, 443));
  servers.back().doh_host_name = "doh.example";
  servers.back().doh_path = "/dns-query";
  servers.back().doh_hashes = {B(kHashA), B(kHashB)};
  servers.push_back(base(EDnsProtocol::Dot, "192.0.2.1", 854));
  servers.back().dot_host_name = "dot.example";
  servers.back().dot_hashes = {B(kHashA)};
  servers.push_back(base(EDnsProtocol::Dot, nullptr, 8853));
  servers.back().dot_host_name = "dot.example";
  servers.push_back(base(EDnsProtocol::Doq, "192.0.2.3", 853));
  servers.back().doq_host_name = "doq.example";
  servers.push_back(base(EDnsProtocol::Relay, "192.0.2.4", 443));
  // Fields of 128-255 bytes go through whole.
  servers.push_back(base(EDnsProtocol::DnsCrypt, "192.0.2.2", 443));
  servers.back().dnscrypt_public_key = B(kKey);
  servers.back().dnscrypt_provider_name = "2." + std::string(126, 'c');
  servers.push_back(base(EDnsProtocol::Doh, nullptr, 443));
  servers.back().doh_host_name = "doh.example";
  servers.back().doh_path = "/" + std::string(199, 'p');
  for (const auto& server : servers) {
    SCOPED_TRACE(GetProtocolNames(server.protocol).first + " " + std::to_string(server.port));
    std::string text, error;
    ASSERT_TRUE(server.ToStamp(text, error)) << error;
    CDnsServer back = FromStamp(text);
    EXPECT_TRUE(back.IsEqual(server, true, true));
    EXPECT_EQ(back.dot_host_name, server.dot_host_name);
    EXPECT_EQ(back.dot_hashes, server.dot_hashes);
    EXPECT_EQ(back.doq_host_name, server.doq_host_name);
    EXPECT_EQ(back.dnscrypt_provider_name, server.dnscrypt_provider_name);
    EXPECT_EQ(back.doh_path, server.doh_path);
  }
}

TEST(ServerStamp, NextDnsIsWrittenAsItsDohEndpoint) {
  CDnsServer next;
  next.protocol = EDnsProtocol::NextDns;
  next.port = 443;
  next.nextdns_id = "abc123";
  next.PrepareNextDns();
  std::string text, error;
  ASSERT_TRUE(next.ToStamp(text, error)) << error;
  EXPECT_EQ(text, StampBytes(0x02).Props(1).Lp("45.90.28.0").Vlp({}).Lp(next.doh_host_name).Lp("/abc123").Stamp());

  CDnsServer longPath;
  longPath.protocol = EDnsProtocol::Doh;
  longPath.doh_path = std::string(256, '/');
  EXPECT_FALSE(longPath.ToStamp(text, error));
  EXPECT_EQ(error, "Cannot parse stamp: LP record is too long 256");
}

}  // namespace
