#include "Quorvane/config/dns_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include "Quorvane/config/constants.h"

namespace {

CDnsServer Server(EDnsProtocol protocol, const char* address, uint16_t port) {
  CDnsServer s;
  s.protocol = protocol;
  s.port = port;
  if (address) {
    s.address.resize(16);
    if (inet_pton(AF_INET6, address, s.address.data()) == 1) {
      s.family = AF_INET6;
    } else {
      s.address.resize(4);
      EXPECT_EQ(inet_pton(AF_INET, address, s.address.data()), 1) << address;
      s.family = AF_INET;
    }
    s.addressKnown = true;
  }
  return s;
}

CDnsServer V6WithoutAddress() {
  CDnsServer s = Server(EDnsProtocol::Plain, nullptr, 54);
  s.family = AF_INET6;
  return s;
}

TEST(ProtocolTable, KeysDisplayTextsAndPorts) {
  EXPECT_EQ(GetProtocolNames(EDnsProtocol::Doq), (std::pair<std::string, std::string>{"doq", "DNS over QUIC"}));
  EXPECT_EQ(GetProtocolNames(EDnsProtocol::Relay).second, "DNSCrypt Relay");
  EXPECT_EQ(GetDefaultPort(EDnsProtocol::Plain), 53);
  EXPECT_EQ(GetDefaultPort(EDnsProtocol::Dot), 853);
  EXPECT_EQ(GetDefaultPort(EDnsProtocol::NextDns), 443);
  EXPECT_EQ(GetDefaultPort(EDnsProtocol::Unspec), 0);
  EXPECT_EQ(GetDefaultPort(static_cast<EDnsProtocol>(8)), 0);
  EXPECT_THROW(GetProtocolNames(static_cast<EDnsProtocol>(8)), std::out_of_range);
}

TEST(DnsServer, CopiesCarryRunTimeFields) {
  CDnsServer s = Server(EDnsProtocol::Plain, "192.0.2.1", 53);
  s.rttMs = 17;
  s.status = EServerStatus::Ok;
  CDnsServer copy = s;
  EXPECT_EQ(copy.rttMs, 17);
  EXPECT_EQ(copy.status, EServerStatus::Ok);
  CDnsServer moved = std::move(copy);
  EXPECT_EQ(moved.rttMs, 17);
  EXPECT_EQ(moved.address, s.address);
}

TEST(DnsServer, IsEqualComparesOnlyWhatIdentifiesTheServer) {
  CDnsServer a = Server(EDnsProtocol::Dot, "192.0.2.1", 853);
  a.id = 7;
  a.name = L"A";
  CDnsServer b = a;
  b.plain_use_tcp = true;
  b.dot_host_name = "other.example";
  b.rttMs = 99;
  b.status = EServerStatus::Failed;
  EXPECT_TRUE(a.IsEqual(b, false, false));

  b = a;
  b.id = 8;
  b.name = L"B";
  EXPECT_FALSE(a.IsEqual(b, false, true));
  EXPECT_FALSE(a.IsEqual(b, true, false));
  EXPECT_TRUE(a.IsEqual(b, true, true));
  b = a;
  b.addressKnown = false;
  EXPECT_FALSE(a.IsEqual(b, true, true));

  CDnsServer h = Server(EDnsProtocol::Doh, nullptr, 443);
  h.doh_hashes = {ByteString(32, 1), ByteString(32, 2)};
  CDnsServer g = h;
  std::swap(g.doh_hashes[0], g.doh_hashes[1]);
  EXPECT_FALSE(h.IsEqual(g, false, false));

  // Fields of another protocol are ignored.
  CDnsServer p = Server(EDnsProtocol::Plain, "192.0.2.1", 53);
  CDnsServer q = p;
  q.doh_path = "/x";
  q.dnscrypt_public_key = ByteString(32, 1);
  EXPECT_TRUE(p.IsEqual(q, false, false));
  CDnsServer n = p;
  n.protocol = q.protocol = EDnsProtocol::NextDns;
  q.nextdns_devname = L"pc";
  EXPECT_FALSE(n.IsEqual(q, false, false));
}

TEST(DnsServer, DisplayAddressAndHostOrAddress) {
  struct Case {
    const char* name;
    CDnsServer server;
    std::wstring display;
    std::string host;
  };
  CDnsServer dot = Server(EDnsProtocol::Dot, "192.0.2.1", 854);
  dot.dot_host_name = "dot.example";
  CDnsServer doq = Server(EDnsProtocol::Doq, "192.0.2.1", 8853);
  CDnsServer doh = Server(EDnsProtocol::Doh, nullptr, 444);
  doh.doh_host_name = "doh.example";
  doh.doh_path = "/dns-query";
  CDnsServer next;
  next.protocol = EDnsProtocol::NextDns;
  next.nextdns_id = "abc123";
  next.doh_host_name = "nx.example";
  const Case cases[] = {
      {"v6_other_port", Server(EDnsProtocol::Plain, "2001:db8::1", 853), L"[2001:db8::1]:853", "2001:db8::1"},
      {"v6_default_port", Server(EDnsProtocol::Plain, "2001:db8::1", 53), L"[2001:db8::1]", "2001:db8::1"},
      {"v4", Server(EDnsProtocol::DnsCrypt, "192.0.2.9", 8443), L"192.0.2.9:8443", "192.0.2.9"},
      {"dot_host_no_port", dot, L"dot.example", "dot.example"},
      {"doq_without_host", doq, L"192.0.2.1:8853", "192.0.2.1"},
      {"doh_url", doh, L"https://doh.example:444/dns-query", "doh.example"},
      {"nextdns_id", next, L"abc123", "nx.example"},
      {"no_address", Server(EDnsProtocol::Plain, nullptr, 53), L"", ""},
      {"v6_family_without_bytes", V6WithoutAddress(), L":54", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.server.GetDisplayAddress(), c.display);
    EXPECT_EQ(c.server.GetHostOrAddress(true), c.host);
    EXPECT_EQ(c.server.GetHostOrAddressW(), std::wstring(c.host.begin(), c.host.end()));
  }
  EXPECT_EQ(doq.GetHostOrAddress(false), "");
  EXPECT_EQ(dot.GetHostOrAddress(false), "dot.example");
  doh.port = 443;
  EXPECT_EQ(doh.GetDohUrl(), "https://doh.example/dns-query");
}

TEST(NextDns, PreparesEndpointPathAndAddress) {
  CDnsServer s;
  s.protocol = EDnsProtocol::NextDns;
  s.nextdns_id = "abc123";
  s.nextdns_devname = L"My PC\u00e9";
  s.port = 443;
  s.PrepareNextDns();
  EXPECT_EQ(s.doh_host_name, g_NextDnsDohHost);
  EXPECT_EQ(s.doh_path, "/abc123/My%20PC%C3%A9");
  EXPECT_TRUE(s.dnssec_supported);
  EXPECT_EQ(s.family, static_cast<uint32_t>(AF_INET));
  EXPECT_EQ(s.address, (ByteString{45, 90, 28, 0}));
  EXPECT_TRUE(s.addressKnown);

  CDnsServer ull = Server(EDnsProtocol::NextDns, "192.0.2.1", 8443);
  ull.nextdns_id = "x";
  ull.nextdns_ultra_low_latency = true;
  ull.PrepareNextDns();
  EXPECT_TRUE(ull.address.empty());
  EXPECT_EQ(ull.port, 443);
  EXPECT_EQ(ull.family, static_cast<uint32_t>(AF_INET));  // left as it was
  EXPECT_TRUE(ull.addressKnown);
  EXPECT_EQ(ull.doh_path, "/x");

  CDnsServer plain = Server(EDnsProtocol::Plain, nullptr, 53);
  plain.PrepareNextDns();
  EXPECT_TRUE(plain.doh_host_name.empty());
  EXPECT_TRUE(plain.address.empty());
}

TEST(NextDns, AutomaticDeviceNameIsTheHostNameUpToItsFirstDot) {
  char buffer[256] = {};
  ASSERT_EQ(gethostname(buffer, sizeof(buffer) - 1), 0);
  std::string host(buffer);
  host = host.substr(0, host.find('.'));
  CDnsServer s;
  s.protocol = EDnsProtocol::NextDns;
  s.nextdns_id = "id";
  s.nextdns_devname = L"typed";
  s.nextdns_devname_auto = true;
  s.PrepareNextDns();
  EXPECT_EQ(s.nextdns_devname, std::wstring(host.begin(), host.end()));
  if (!host.empty()) {
    EXPECT_EQ(s.doh_path.rfind("/id/", 0), 0u);
  }
}

TEST(DnsServer, MakeServersFromAddressesAlwaysUsesPort53) {
  EXPECT_TRUE(MakeServersFromAddresses({}).empty());
  sockaddr_storage v4{}, v6{};
  auto& in4 = reinterpret_cast<sockaddr_in&>(v4);
  in4.sin_family = AF_INET;
  in4.sin_port = htons(853);
  inet_pton(AF_INET, "192.0.2.53", &in4.sin_addr);
  auto& in6 = reinterpret_cast<sockaddr_in6&>(v6);
  in6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "2001:db8::53", &in6.sin6_addr);
  auto servers = MakeServersFromAddresses({v4, v6});
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[0].name, L"192.0.2.53");
  EXPECT_EQ(servers[0].port, 53);
  EXPECT_EQ(servers[0].address, (ByteString{192, 0, 2, 53}));
  EXPECT_TRUE(servers[0].addressKnown);
  EXPECT_EQ(servers[0].protocol, EDnsProtocol::Plain);
  EXPECT_EQ(servers[0].id, 0u);
  EXPECT_EQ(servers[1].family, static_cast<uint32_t>(AF_INET6));
  EXPECT_EQ(servers[1].address.size(), 16u);
  EXPECT_EQ(servers[1].name, L"2001:db8::53");
}

TEST(HashList, ParseAndFormat) {
  ByteString seq(32);
  for (int i = 0; i < 32; ++i) seq[i] = static_cast<uint8_t>(i);
  const std::string seqText =
      "0001:0203:0405:0607:0809:0A0B:0C0D:0E0F:1011:1213:1415:1617:1819:1A1B:1C1D:1E1F";
  EXPECT_EQ(FormatHashList({seq}), seqText);
  EXPECT_EQ(FormatHashList({seq, ByteString(32, 0xff)}).substr(seqText.size(), 6), ", FFFF");

  HashList out;
  std::string error;
  ASSERT_TRUE(ParseHashList(";;" + seqText + " ;,;" + FormatHashList({ByteString(32, 0xab)}) + ",", out, error));
  EXPECT_EQ(out, (HashList{seq, ByteString(32, 0xab)}));
  ASSERT_TRUE(ParseHashList(FormatHashList(out), out, error));  // the written form reads back
  EXPECT_EQ(out.size(), 2u);

  struct Case { const char* text; const char* error; };
  const std::string h31(62, 'a');
  for (const auto& c : {Case{"", "is empty."}, Case{",;;,", "is empty."}, Case{h31.c_str(), "incorrect size 31, should be 32."},
                        Case{"zz", "incorrect"}, Case{"abc", "incorrect"}}) {
    SCOPED_TRACE(c.text);
    HashList kept = out;
    EXPECT_FALSE(ParseHashList(c.text, kept, error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(kept, out);  // untouched on failure
  }
}

TEST(ObjectIds, CounterStartsAt1000AndLookupFindsTheFirst) {
  EXPECT_EQ(g_NextObjectId, 1000u);
  std::vector<CDnsServer> servers(3);
  servers[0].id = 5;
  servers[1].id = 6;
  servers[2].id = 6;
  EXPECT_EQ(FindServerIndexById(servers, 6), 1);
  EXPECT_EQ(FindServerIndexById(servers, 9), -1);
  EXPECT_EQ(FindServerIndexById({}, 0), -1);
}

}  // namespace
