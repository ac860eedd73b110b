// Whole conf-files: the golden file, files in other element orders, random
// profiles through save and load, and every saved file checked by an
// independent XML parser.
#include <QString>
#include <QXmlStreamReader>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Quorvane/config/conf_file.h"
#include "Quorvane/config/constants.h"
#include "Quorvane/foundation/address_utils.h"
#include "tests/config/conf_test_util.h"

namespace {

using ConfGolden = testsupport::ConfFileTest;
using ConfRandom = testsupport::ConfFileTest;

using testsupport::ConfData;
using testsupport::ReadBytes;
using testsupport::TempFolder;
using testsupport::WidePath;

// An element as a parser sees it: name, attributes in file order, children
// in file order.
struct SNode {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<SNode> children;
};

SNode FromXmlDoc(const CXmlDoc& element) {
  SNode node{WideToUtf8(element.m_name), {}, {}};
  for (const std::string& key : element.m_attributeOrder) node.attributes.emplace_back(key, element.m_attributes.at(key));
  for (const std::wstring& name : element.m_childOrder)
    for (const CXmlDoc& child : element.m_children.at(name)) node.children.push_back(FromXmlDoc(child));
  return node;
}

// The document's elements as Qt's conforming reader gives them; false with
// its message when the text is not well-formed XML.
bool ParseIndependently(const std::string& text, std::vector<SNode>& top, std::string& error) {
  QXmlStreamReader reader(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
  std::vector<SNode> stack;
  while (!reader.atEnd()) {
    switch (reader.readNext()) {
      case QXmlStreamReader::StartElement: {
        SNode node{reader.name().toString().toStdString(), {}, {}};
        for (const auto& attribute : reader.attributes())
          node.attributes.emplace_back(attribute.name().toString().toStdString(),
                                       attribute.value().toString().toStdString());
        stack.push_back(std::move(node));
        break;
      }
      case QXmlStreamReader::EndElement: {
        SNode done = std::move(stack.back());
        stack.pop_back();
        (stack.empty() ? top : stack.back().children).push_back(std::move(done));
        break;
      }
      default:
        break;
    }
  }
  if (reader.hasError()) {
    error = reader.errorString().toStdString() + " at line " + std::to_string(reader.lineNumber());
    return false;
  }
  return true;
}

// A conforming parser turns tabs and line breaks in attribute values into
// blanks, so only values without them are compared.
void ExpectSameTree(const SNode& ours, const SNode& theirs) {
  ASSERT_EQ(ours.name, theirs.name);
  ASSERT_EQ(ours.attributes.size(), theirs.attributes.size()) << ours.name;
  for (size_t i = 0; i < ours.attributes.size(); ++i) {
    EXPECT_EQ(ours.attributes[i].first, theirs.attributes[i].first) << ours.name;
    if (ours.attributes[i].second.find_first_of("\t\r\n") == std::string::npos) {
      EXPECT_EQ(ours.attributes[i].second, theirs.attributes[i].second) << ours.name << " " << ours.attributes[i].first;
    }
  }
  ASSERT_EQ(ours.children.size(), theirs.children.size()) << ours.name;
  for (size_t i = 0; i < ours.children.size(); ++i) ExpectSameTree(ours.children[i], theirs.children[i]);
}

void ExpectWellFormed(const std::string& saved) {
  std::vector<SNode> theirs;
  std::string error;
  ASSERT_TRUE(ParseIndependently(saved, theirs, error)) << error;
  CXmlDoc document(L"root");
  std::wstring ourError;
  ASSERT_TRUE(document.LoadFromText(saved, ourError)) << WideToUtf8(ourError);
  ASSERT_EQ(theirs.size(), 1u);
  ExpectSameTree(FromXmlDoc(document).children.at(0), theirs[0]);
}

bool LoadFile(const std::filesystem::path& path, CProfile& profile, std::wstring& error) {
  bool openFailed = false;
  bool checkVersion = true;
  return profile.Load(error, openFailed, checkVersion, WidePath(path));
}

std::string SaveToText(const CProfile& profile, const TempFolder& folder) {
  const auto path = folder.Path() / "saved.xml";
  std::wstring error;
  EXPECT_TRUE(profile.Save(error, WidePath(path))) << WideToUtf8(error);
  return ReadBytes(path);
}

ByteString Address(const char* text) {
  int family = 0;
  ByteString bytes;
  EXPECT_TRUE(TextToAddress(text, family, bytes)) << text;
  return bytes;
}

TEST_F(ConfGolden, LoadsAndSavesByteForByte) {
  g_NextObjectId = 1;
  CProfile profile;
  std::wstring error;
  ASSERT_TRUE(LoadFile(ConfData("golden.xml"), profile, error)) << WideToUtf8(error);
  ASSERT_EQ(profile.servers.size(), 12u);
  ASSERT_EQ(profile.pools.size(), 2u);
  ASSERT_EQ(profile.rules.size(), 6u);
  EXPECT_EQ(g_NextObjectId, 2002u);

  const CDnsServer& v6 = profile.servers[1];
  EXPECT_EQ(v6.family, static_cast<uint32_t>(AF_INET6));
  EXPECT_EQ(v6.address, Address("2001:db8::53"));
  EXPECT_EQ(v6.port, 53);
  const CDnsServer& crypt = profile.servers[2];
  ASSERT_EQ(crypt.dnscrypt_public_key.size(), 32u);
  EXPECT_EQ(crypt.dnscrypt_public_key[0], 0x10);
  EXPECT_FALSE(crypt.dnscrypt_force_tcp);
  EXPECT_EQ(profile.servers[4].doh_hashes.size(), 2u);
  EXPECT_EQ(profile.servers[4].port, 8443);
  const CDnsServer& nextDns = profile.servers[7];
  EXPECT_EQ(nextDns.doh_host_name, g_NextDnsDohHost);
  EXPECT_EQ(nextDns.doh_path, "/abc123/B%C3%BCro%20PC");
  const CDnsServer& ultra = profile.servers[9];
  EXPECT_TRUE(ultra.address.empty());
  EXPECT_FALSE(ultra.addressKnown);
  EXPECT_EQ(ultra.port, 443);

  EXPECT_EQ(profile.pools[0].type, EPoolType::Redundancy);
  EXPECT_EQ(profile.pools[0].testHost, "probe.example.net");
  EXPECT_EQ(profile.pools[0].recheckDelaySec, 120);
  EXPECT_EQ(profile.pools[1].relayIds, (std::vector<uint32_t>{1004}));
  EXPECT_EQ(profile.pools[1].serverIds, (std::vector<uint32_t>{1003, 1011}));

  const CRule& block = profile.rules[0];
  EXPECT_EQ(block.name, L"Ads & trackers <\"hosts\">");
  EXPECT_TRUE(block.Match("tracker.example"));  // from the hosts file beside the conf-file
  EXPECT_TRUE(block.Match("beacon.example"));
  EXPECT_TRUE(block.Match("x.ads.example"));
  EXPECT_FALSE(block.Match("example"));
  // A processing rule keeps its own cleared flag.
  EXPECT_EQ(profile.rules[1].action, ERuleAction::ProcessServer);
  EXPECT_FALSE(profile.rules[1].block_return_zero_ip);
  EXPECT_EQ(profile.rules[1].interface_name, L"B\u00fcro LAN");
  EXPECT_FALSE(profile.rules[2].enabled);
  EXPECT_EQ(profile.rules[2].interface_id_type, InterfaceIdSsid);
  EXPECT_TRUE(profile.rules[3].simpleHostnames);
  EXPECT_EQ(profile.rules[4].interface_id_type, InterfaceIdDnsSuffix);
  EXPECT_EQ(profile.rules[5].action, ERuleAction::ProcessPool);

  EXPECT_FALSE(profile.settings.ignore_rule_if_interface_down);
  EXPECT_FALSE(profile.settings.clearDnsCache);
  EXPECT_EQ(profile.settings.ttlMin, 30u);
  EXPECT_EQ(profile.settings.ttlMax, 86400u);
  EXPECT_TRUE(profile.settings.captivePortalDetection);
  EXPECT_EQ(profile.checkerSettings.testsPerTime, 7);
  EXPECT_EQ(profile.checkerSettings.importUrls,
            (std::vector<std::string>{"https://lists.example/a.md", "http://lists.example/b.md"}));

  TempFolder folder;
  const std::string golden = ReadBytes(ConfData("golden.xml"));
  const std::string saved = SaveToText(profile, folder);
  EXPECT_EQ(saved, golden);
  ExpectWellFormed(saved);

  // The in-memory pair (the fuzz target's road) reads the same profile,
  // the hosts file placed by the name it is given, and writes the same text.
  CProfile fromText;
  bool checkVersion = true;
  ASSERT_TRUE(fromText.LoadFromText(error, checkVersion, golden, WidePath(ConfData("golden.xml"))))
      << WideToUtf8(error);
  EXPECT_TRUE(fromText.rules[0].Match("tracker.example"));
  std::string text;
  ASSERT_TRUE(fromText.SaveToText(error, text)) << WideToUtf8(error);
  EXPECT_EQ(text, golden);
}

// The golden file's top-level elements dealt round-robin by name, last name
// first, and a pool's relays after its servers: the same profile.
TEST_F(ConfGolden, ElementOrderDoesNotMatter) {
  const std::string golden = ReadBytes(ConfData("golden.xml"));
  const size_t bodyStart = golden.find('\n', golden.find("<TarnwickProfile")) + 1;
  const size_t bodyEnd = golden.find("</TarnwickProfile>");
  std::map<std::string, std::vector<std::string>> blocks;  // by element name, file order
  std::vector<std::string> names;
  size_t at = bodyStart;
  std::string* current = nullptr;
  while (at < bodyEnd) {
    size_t end = golden.find('\n', at) + 1;
    const std::string line = golden.substr(at, end - at);
    if (line.size() > 2 && line[0] == '\t' && line[1] == '<' && line[2] != '/') {
      const std::string name = line.substr(2, line.find_first_of(" />", 2) - 2);
      if (!blocks.count(name)) names.insert(names.begin(), name);
      blocks[name].emplace_back();
      current = &blocks[name].back();
    }
    *current += line;
    at = end;
  }
  std::string body;
  for (size_t round = 0; body.size() < bodyEnd - bodyStart; ++round)
    for (const std::string& name : names)
      if (round < blocks[name].size()) body += blocks[name][round];
  ASSERT_EQ(body.size(), bodyEnd - bodyStart);
  const std::string relay = "\t\t<DnsServerRelay id=\"1004\" />\n";
  const size_t relayAt = body.find(relay);
  ASSERT_NE(relayAt, std::string::npos);
  body.erase(relayAt, relay.size());
  body.insert(body.find("\t</DnsPool>", relayAt), relay);
  const std::string reordered = golden.substr(0, bodyStart) + body + golden.substr(bodyEnd);
  ASSERT_NE(reordered, golden);

  TempFolder folder;
  testsupport::WriteBytes(folder.Path() / "golden_hosts.txt", ReadBytes(ConfData("golden_hosts.txt")));
  testsupport::WriteBytes(folder.Path() / "reordered.xml", reordered);
  CProfile profile;
  std::wstring error;
  ASSERT_TRUE(LoadFile(folder.Path() / "reordered.xml", profile, error)) << WideToUtf8(error);
  EXPECT_EQ(SaveToText(profile, folder), golden);
}

// --- Random profiles.

class CRandomProfile {
 public:
  explicit CRandomProfile(uint32_t seed) : m_rng(seed) {}

  CProfile Make() {
    CProfile profile;
    uint32_t id = Below(3000);
    const int servers = static_cast<int>(Below(10));
    for (int i = 0; i < servers; ++i) profile.servers.push_back(Server(id += 1 + Below(5)));
    const int pools = static_cast<int>(Below(4));
    for (int i = 0; i < pools; ++i) {
      CDnsPool pool;
      if (MakePool(profile.servers, id += 1 + Below(5), pool)) profile.pools.push_back(pool);
    }
    const int rules = static_cast<int>(Below(5));
    for (int i = 0; i < rules; ++i) profile.rules.push_back(Rule(profile));
    profile.rules.push_back(Rule(profile));
    profile.rules.back().name = L"Default";

    SSettings& s = profile.settings;
    s.ignore_rule_if_interface_down = Coin();
    s.blockTcpPort53 = Coin();
    s.clearDnsCache = Coin();
    s.captivePortalDetection = Coin();
    s.interceptOthers = Coin();
    s.ttlMin = static_cast<uint32_t>(m_rng());
    s.ttlMax = static_cast<uint32_t>(m_rng());
    SDnsCheckerSettings& c = profile.checkerSettings;
    c.testTarget = Narrow(0, 20);
    c.testsPerTime = static_cast<int32_t>(m_rng());
    c.importUrls.clear();
    for (uint32_t i = 0, n = 1 + Below(3); i < n; ++i) {
      std::string url = (Coin() ? "https://" : "http://") + Narrow(0, 20);
      std::erase_if(url, [](char ch) { return ch == '\r' || ch == '\n'; });
      c.importUrls.push_back(url);
    }
    return profile;
  }

 private:
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(m_rng() % n); }
  bool Coin() { return m_rng() & 1; }

  // Characters XML 1.0 allows, weighted towards the ones that need care.
  wchar_t Char() {
    static const wchar_t special[] = L"<>&\"'=/?!-;:\t\r\n ";
    switch (Below(6)) {
      case 0:
        return special[Below(sizeof special / sizeof special[0] - 1)];
      case 1:
        return static_cast<wchar_t>(0xA0 + Below(0xD7FF - 0xA0 + 1));
      case 2:
        return static_cast<wchar_t>(0xE000 + Below(0xFFFD - 0xE000 + 1));
      case 3:
        return static_cast<wchar_t>(0x10000 + Below(0x10FFFF - 0x10000 + 1));
      default:
        return static_cast<wchar_t>(0x20 + Below(0x7F - 0x20));
    }
  }
  std::wstring Wide(uint32_t min, uint32_t max) {
    std::wstring text;
    for (uint32_t i = 0, n = min + Below(max - min + 1); i < n; ++i) text += Char();
    return text;
  }
  std::string Narrow(uint32_t min, uint32_t max) { return WideToUtf8(Wide(min, max)); }
  ByteString Bytes(uint32_t n) {
    ByteString bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(m_rng());
    return bytes;
  }
  HashList Hashes() {
    HashList hashes(Below(3));
    for (auto& h : hashes) h = Bytes(32);
    return hashes;
  }

  CDnsServer Server(uint32_t id) {
    CDnsServer s;
    s.id = id;
    s.name = Wide(0, 12);
    s.protocol = static_cast<EDnsProtocol>(1 + Below(7));
    s.port = Coin() ? GetDefaultPort(s.protocol) : static_cast<uint16_t>(m_rng());
    const bool needsAddress = s.protocol == EDnsProtocol::Plain || s.protocol == EDnsProtocol::DnsCrypt;
    if (needsAddress || Below(3) != 0) {
      s.family = Coin() ? AF_INET : AF_INET6;
      if (needsAddress || Coin()) s.address = Bytes(s.family == AF_INET ? 4 : 16);
    }
    s.dnssec_supported = Coin();
    switch (s.protocol) {
      case EDnsProtocol::Plain:
        s.plain_use_tcp = Coin();
        break;
      case EDnsProtocol::DnsCrypt:
        s.dnscrypt_provider_name = Narrow(0, 20);
        s.dnscrypt_public_key = Bytes(Below(40));
        s.dnscrypt_disable_padding = Coin();
        s.dnscrypt_force_tcp = Coin();
        break;
      case EDnsProtocol::Doh:
        s.doh_host_name = Narrow(0, 20);
        s.doh_path = Narrow(0, 20);
        s.doh_hashes = Hashes();
        break;
      case EDnsProtocol::Dot:
        s.dot_host_name = s.address.empty() ? "h" + Narrow(0, 20) : Narrow(0, 20);
        s.dot_hashes = Hashes();
        break;
      case EDnsProtocol::NextDns:
        s.nextdns_id = Narrow(0, 10);
        s.nextdns_ultra_low_latency = Coin();
        s.nextdns_devname_auto = Coin();
        s.nextdns_devname = Wide(0, 8);
        s.PrepareNextDns();
        break;
      case EDnsProtocol::Doq:
        s.doq_host_name = s.address.empty() ? "h" + Narrow(0, 20) : Narrow(0, 20);
        s.doq_hashes = Hashes();
        break;
      default:
        break;
    }
    s.addressKnown = !s.address.empty();
    return s;
  }

  // Members that pass CDnsPool::Validate: plain members, or one DNSCrypt
  // server with padding behind relays. False when the servers allow neither.
  bool MakePool(const std::vector<CDnsServer>& servers, uint32_t id, CDnsPool& pool) {
    std::vector<uint32_t> members, crypt, relays;
    for (const auto& s : servers) {
      if (s.protocol == EDnsProtocol::Relay) {
        relays.push_back(s.id);
      } else {
        members.push_back(s.id);
        if (s.protocol == EDnsProtocol::DnsCrypt && !s.dnscrypt_disable_padding) crypt.push_back(s.id);
      }
    }
    if (members.empty()) return false;
    pool.id = id;
    pool.name = Wide(0, 12);
    pool.type = Coin() ? EPoolType::Redundancy : EPoolType::Balancing;
    if (!crypt.empty() && !relays.empty() && Coin()) {
      pool.serverIds = {crypt[Below(static_cast<uint32_t>(crypt.size()))]};
      pool.relayIds = relays;
    } else {
      for (uint32_t member : members)
        if (Coin() || pool.serverIds.empty()) pool.serverIds.push_back(member);
    }
    if (pool.type == EPoolType::Redundancy) {
      pool.testHost = "t" + Narrow(0, 20);
      pool.recheckDelaySec = 1 + static_cast<int32_t>(Below(INT32_MAX));
    }
    return true;
  }

  std::wstring Hostnames() {
    static const wchar_t* const separators[] = {L";", L" ; ", L"\r\n", L"\n", L";\n"};
    static const wchar_t label[] = L"abcxyz019._";
    std::wstring list;
    for (uint32_t i = 0, n = 1 + Below(4); i < n; ++i) {
      if (i) list += separators[Below(5)];
      if (Coin()) list += Coin() ? L"*." : L"?";
      for (uint32_t j = 0, m = 1 + Below(10); j < m; ++j) list += label[Below(sizeof label / sizeof label[0] - 1)];
      if (Below(4) == 0) list += L"-x";
    }
    return list;
  }

  CRule Rule(const CProfile& profile) {
    CRule r;
    r.name = Wide(0, 12);
    r.enabled = Coin();
    r.dnssec_local_validation = Coin();
    r.dnssec_reject_unsigned = Coin();
    r.block_return_zero_ip = Coin();
    std::wstring error;
    EXPECT_TRUE(r.SetHostnames(Hostnames(), L"", error)) << WideToUtf8(error);
    r.action = static_cast<ERuleAction>(Below(4));
    if (r.action == ERuleAction::ProcessServer) {
      std::vector<uint32_t> ids{0};
      for (const auto& s : profile.servers) ids.push_back(s.id);
      r.action_id = ids[Below(static_cast<uint32_t>(ids.size()))];
    } else if (r.action == ERuleAction::ProcessPool) {
      std::vector<uint32_t> ids{0};
      for (const auto& p : profile.pools) ids.push_back(p.id);
      r.action_id = ids[Below(static_cast<uint32_t>(ids.size()))];
    } else {
      r.action_id = static_cast<uint32_t>(m_rng());
    }
    r.interface_id_type = static_cast<ENetInterfaceIdType>(Below(4));
    if (Coin()) {
      // Named so that no interface of the machine running the test matches.
      r.interface_id = L"tarnwick-test-" + Wide(0, 10);
      if (r.interface_id_type == InterfaceIdAdapter) r.interface_name = Wide(0, 10);
    }
    return r;
  }

  std::mt19937 m_rng;
};

void ExpectSameServer(const CDnsServer& a, const CDnsServer& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.port, b.port);
  EXPECT_EQ(a.family, b.family);
  EXPECT_EQ(a.address, b.address);
  EXPECT_EQ(a.addressKnown, b.addressKnown);
  EXPECT_EQ(a.protocol, b.protocol);
  EXPECT_EQ(a.dnssec_supported, b.dnssec_supported);
  EXPECT_EQ(a.plain_use_tcp, b.plain_use_tcp);
  EXPECT_EQ(a.dnscrypt_public_key, b.dnscrypt_public_key);
  EXPECT_EQ(a.dnscrypt_provider_name, b.dnscrypt_provider_name);
  EXPECT_EQ(a.dnscrypt_disable_padding, b.dnscrypt_disable_padding);
  EXPECT_EQ(a.dnscrypt_force_tcp, b.dnscrypt_force_tcp);
  EXPECT_EQ(a.doh_host_name, b.doh_host_name);
  EXPECT_EQ(a.doh_path, b.doh_path);
  EXPECT_EQ(a.doh_hashes, b.doh_hashes);
  EXPECT_EQ(a.nextdns_id, b.nextdns_id);
  EXPECT_EQ(a.nextdns_devname, b.nextdns_devname);
  EXPECT_EQ(a.nextdns_devname_auto, b.nextdns_devname_auto);
  EXPECT_EQ(a.nextdns_ultra_low_latency, b.nextdns_ultra_low_latency);
  EXPECT_EQ(a.dot_host_name, b.dot_host_name);
  EXPECT_EQ(a.dot_hashes, b.dot_hashes);
  EXPECT_EQ(a.doq_host_name, b.doq_host_name);
  EXPECT_EQ(a.doq_hashes, b.doq_hashes);
}

void ExpectSamePool(const CDnsPool& a, const CDnsPool& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.serverIds, b.serverIds);
  EXPECT_EQ(a.relayIds, b.relayIds);
  EXPECT_EQ(a.testHost, b.testHost);
  EXPECT_EQ(a.recheckDelaySec, b.recheckDelaySec);
}

void ExpectSameRule(const CRule& a, const CRule& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.enabled, b.enabled);
  EXPECT_EQ(a.action, b.action);
  EXPECT_EQ(a.action_id, b.action_id);
  EXPECT_EQ(a.interface_id, b.interface_id);
  EXPECT_EQ(a.interface_id_type, b.interface_id_type);
  EXPECT_EQ(a.interface_name, b.interface_name);
  EXPECT_EQ(a.hostnames, b.hostnames);
  EXPECT_EQ(a.masks, b.masks);
  ASSERT_EQ(a.exactNames == nullptr, b.exactNames == nullptr);
  if (a.exactNames) {
    EXPECT_EQ(*a.exactNames, *b.exactNames);
  }
  EXPECT_EQ(a.simpleHostnames, b.simpleHostnames);
  EXPECT_EQ(a.dnssec_local_validation, b.dnssec_local_validation);
  EXPECT_EQ(a.dnssec_reject_unsigned, b.dnssec_reject_unsigned);
  EXPECT_EQ(a.block_return_zero_ip, b.block_return_zero_ip);
  EXPECT_EQ(a.displayList, b.displayList);
}

TEST_F(ConfRandom, ProfilesSurviveSaveAndLoad) {
  constexpr uint32_t kProfiles = 60;
  for (uint32_t seed = 1; seed <= kProfiles; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const CProfile made = CRandomProfile(seed).Make();
    TempFolder folder;
    const std::string saved = SaveToText(made, folder);
    ExpectWellFormed(saved);

    CProfile read;
    std::wstring error;
    ASSERT_TRUE(LoadFile(folder.Path() / "saved.xml", read, error)) << WideToUtf8(error);
    ASSERT_EQ(read.servers.size(), made.servers.size());
    for (size_t i = 0; i < made.servers.size(); ++i) ExpectSameServer(read.servers[i], made.servers[i]);
    ASSERT_EQ(read.pools.size(), made.pools.size());
    for (size_t i = 0; i < made.pools.size(); ++i) ExpectSamePool(read.pools[i], made.pools[i]);
    ASSERT_EQ(read.rules.size(), made.rules.size());
    for (size_t i = 0; i < made.rules.size(); ++i) ExpectSameRule(read.rules[i], made.rules[i]);
    EXPECT_EQ(read.settings.ignore_rule_if_interface_down, made.settings.ignore_rule_if_interface_down);
    EXPECT_EQ(read.settings.blockTcpPort53, made.settings.blockTcpPort53);
    EXPECT_EQ(read.settings.clearDnsCache, made.settings.clearDnsCache);
    EXPECT_EQ(read.settings.captivePortalDetection, made.settings.captivePortalDetection);
    EXPECT_EQ(read.settings.interceptOthers, made.settings.interceptOthers);
    EXPECT_EQ(read.settings.ttlMin, made.settings.ttlMin);
    EXPECT_EQ(read.settings.ttlMax, made.settings.ttlMax);
    EXPECT_EQ(read.checkerSettings.testTarget, made.checkerSettings.testTarget);
    EXPECT_EQ(read.checkerSettings.testsPerTime, made.checkerSettings.testsPerTime);
    EXPECT_EQ(read.checkerSettings.importUrls, made.checkerSettings.importUrls);

    EXPECT_EQ(SaveToText(read, folder), saved);
    if (HasFailure()) break;
  }
}

}  // namespace
