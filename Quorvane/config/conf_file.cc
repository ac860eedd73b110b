#include "Quorvane/config/conf_file.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <utility>

#include "Quorvane/config/constants.h"
#include "Quorvane/config/server_import.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/net_interfaces.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

constexpr int32_t kConfInet = 2;
constexpr int32_t kConfInet6 = 23;

// Leading decimal digits of text (from start) as a value no larger than max;
// false for no digit or a larger value.
bool ParseDigits(const std::string& text, size_t start, uint64_t max, uint64_t& value) {
  uint64_t result = 0;
  size_t i = start;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    result = result * 10 + static_cast<uint64_t>(text[i] - '0');
    if (result > max) return false;
  }
  if (i == start) return false;
  value = result;
  return true;
}

[[noreturn]] void ThrowIncorrect(const CXmlDoc& element, const std::string& key) {
  throw CXmlDoc::XmlExc(L"Incorrect value of attribute \"" + Utf8ToWide(key) + L"\" of node <" + element.m_name +
                        L">.");
}

// The value whose key (compared case-sensitively) is key in a table of
// value -> {key, display text}.
template <class Value>
bool ValueFromKey(const std::map<Value, std::pair<std::string, std::string>>& table, const std::string& key,
                  Value& value) {
  for (const auto& [candidate, names] : table) {
    if (names.first == key) {
      value = candidate;
      return true;
    }
  }
  return false;
}

// "Duplicated ID " + id when id is taken by a server or a pool.
bool CheckNewId(uint32_t id, const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>* pools,
                std::wstring& error) {
  if (FindServerIndexById(servers, id) >= 0 || (pools && FindPoolIndexById(*pools, id) >= 0)) {
    error = L"Duplicated ID " + std::to_wstring(id);
    return false;
  }
  return true;
}

// The highest id makes the next free id wrap to 0, which means "none": a
// new object would get it and later ones would collide with the file's.
bool CheckWrappingId(uint32_t id, const wchar_t* kind, const std::wstring& name, std::wstring& error) {
  if (id != UINT32_MAX) return true;
  error = L"Incorrect ID " + std::to_wstring(id) + L" of " + kind + name + L".";
  return false;
}

bool ReadHashes(const CXmlDoc& element, const std::string& key, HashList& hashes, const std::wstring& name,
                std::wstring& error) {
  std::string text;
  if (!element.GetAttribute(key, text, false)) return true;
  std::string reason;
  if (!ParseHashList(text, hashes, reason)) {
    error = L"Incorrect format of hashes of server " + name + L".";
    return false;
  }
  return true;
}

// DoT and DoQ: "<prefix>_host_name" (may be empty) and "<prefix>_hashes";
// the server needs a host name or an address.
bool ReadTlsTarget(const CXmlDoc& element, const std::string& prefix, const wchar_t* kind, const CDnsServer& server,
                   std::string& host, HashList& hashes, std::wstring& error) {
  element.GetAttribute(prefix + "_host_name", host, false);
  if (!ReadHashes(element, prefix + "_hashes", hashes, server.name, error)) return false;
  if (host.empty() && server.address.empty()) {
    error = L"IP address or hostname should be set for " + server.name + L" " + kind + L" server.";
    return false;
  }
  return true;
}

void WriteHashes(CXmlDoc& element, const std::string& key, const HashList& hashes) {
  if (!hashes.empty()) element.SetAttribute(key, FormatHashList(hashes));
}

}  // namespace

bool ParseNumber(const std::string& text, uint32_t& value) {
  uint64_t parsed = 0;
  if (!ParseDigits(text, 0, std::numeric_limits<uint32_t>::max(), parsed)) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

bool ParseNumber(const std::string& text, uint16_t& value) {
  uint64_t parsed = 0;
  if (!ParseDigits(text, 0, std::numeric_limits<uint16_t>::max(), parsed)) return false;
  value = static_cast<uint16_t>(parsed);
  return true;
}

bool ParseNumber(const std::string& text, int32_t& value) {
  const bool negative = !text.empty() && text[0] == '-';
  const uint64_t max = negative ? uint64_t{1} << 31 : std::numeric_limits<int32_t>::max();
  uint64_t parsed = 0;
  if (!ParseDigits(text, negative ? 1 : 0, max, parsed)) return false;
  value = negative ? static_cast<int32_t>(-static_cast<int64_t>(parsed)) : static_cast<int32_t>(parsed);
  return true;
}

bool ConfFamilyToNative(int32_t confFamily, uint32_t& native) {
  if (confFamily == kConfInet) {
    native = AF_INET;
    return true;
  }
  if (confFamily == kConfInet6) {
    native = AF_INET6;
    return true;
  }
  return false;
}

int32_t NativeFamilyToConf(uint32_t native) {
  if (native == AF_INET) return kConfInet;
  if (native == AF_INET6) return kConfInet6;
  return 0;
}

const std::vector<CXmlDoc>& CXmlDoc::GetChildren(const std::wstring& name) const {
  static const std::vector<CXmlDoc> none;
  auto it = m_children.find(name);
  return it == m_children.end() ? none : it->second;
}

bool CXmlDoc::GetAttribute(const std::string& key, std::string& value, bool mandatory) const {
  auto it = m_attributes.find(key);
  if (it == m_attributes.end()) {
    if (mandatory) {
      throw XmlExc(L"The mandatory attribute \"" + Utf8ToWide(key) + L"\" not found in node <" + m_name + L">.");
    }
    return false;
  }
  value = it->second;
  return true;
}

bool CXmlDoc::GetAttributeW(const std::string& key, std::wstring& value, bool mandatory) const {
  std::string text;
  if (!GetAttribute(key, text, mandatory)) return false;
  value = Utf8ToWide(text);
  return true;
}

bool CXmlDoc::GetAttributeUInt(const std::string& key, uint32_t& value, bool mandatory) const {
  std::string text;
  if (!GetAttribute(key, text, mandatory)) return false;
  if (ParseNumber(text, value)) return true;
  if (mandatory) ThrowIncorrect(*this, key);
  return false;
}

bool CXmlDoc::GetAttributeBool(const std::string& key, bool& value, bool mandatory) const {
  std::string text;
  if (!GetAttribute(key, text, mandatory)) return false;
  if (text == "1" || text == "true") {
    value = true;
    return true;
  }
  if (text == "0" || text == "false") {
    value = false;
    return true;
  }
  if (mandatory) ThrowIncorrect(*this, key);
  return false;
}

bool CXmlDoc::GetAttributeInt(const std::string& key, int32_t& value) const {
  std::string text;
  return GetAttribute(key, text, false) && ParseNumber(text, value);
}

void CXmlDoc::SetAttribute(const std::string& key, const std::string& value) { AddAttribute(key, value); }

void CXmlDoc::SetAttributeW(const std::string& key, const std::wstring& value) { AddAttribute(key, WideToUtf8(value)); }

void CXmlDoc::SetAttributeUInt(const std::string& key, uint32_t value) { AddAttribute(key, std::to_string(value)); }

void CXmlDoc::SetAttributeInt(const std::string& key, int32_t value) { AddAttribute(key, std::to_string(value)); }

void CXmlDoc::SetAttributeBool(const std::string& key, bool value) { AddAttribute(key, value ? "1" : "0"); }

bool ReadDnsServer(const CXmlDoc& element, const std::vector<CDnsServer>& servers, CDnsServer& server,
                   std::wstring& error) {
  CDnsServer read;
  element.GetAttributeW("name", read.name, true);
  element.GetAttributeUInt("id", read.id, true);
  if (!CheckWrappingId(read.id, L"server ", read.name, error) || !CheckNewId(read.id, servers, nullptr, error))
    return false;
  const std::wstring& name = read.name;

  std::string text;
  element.GetAttribute("protocol", text, true);
  if (!ValueFromKey(g_ProtocolTable, text, read.protocol) || read.protocol == EDnsProtocol::Unspec) {
    error = L"Protocol for server " + name + L" is missing.";
    return false;
  }
  read.port = GetDefaultPort(read.protocol);
  if (element.GetAttribute("port", text, false)) ParseNumber(text, read.port);

  if (element.GetAttribute("af", text, false)) {
    int32_t confFamily = 0;
    if (!ParseNumber(text, confFamily) || !ConfFamilyToNative(confFamily, read.family)) {
      error = L"Incorrect address family " + Utf8ToWide(text) + L" of server " + name + L".";
      return false;
    }
  }
  const bool needsAddress = read.protocol == EDnsProtocol::Plain || read.protocol == EDnsProtocol::DnsCrypt;
  if (element.GetAttribute("ip", text, needsAddress)) {
    if (read.family == 0) {
      error = L"Address family not specified for server " + name + L".";
      return false;
    }
    int family = 0;
    if (!TextToAddress(text, family, read.address) || static_cast<uint32_t>(family) != read.family) {
      error = L"Incorrect IP address of server " + name + L".";
      return false;
    }
  }
  element.GetAttributeBool("dnssec_supported", read.dnssec_supported, false);

  switch (read.protocol) {
    case EDnsProtocol::Plain:
      element.GetAttributeBool("plain_use_tcp", read.plain_use_tcp, false);
      break;
    case EDnsProtocol::DnsCrypt:
      element.GetAttribute("dnscrypt_provider_name", read.dnscrypt_provider_name, true);
      element.GetAttribute("dnscrypt_public_key", text, true);
      if (!HexToBytes(text, read.dnscrypt_public_key)) {
        error = L"Incorrect format of public key hash of server " + name + L".";
        return false;
      }
      element.GetAttributeBool("dnscrypt_disable_padding", read.dnscrypt_disable_padding, false);
      read.dnscrypt_force_tcp = true;
      element.GetAttributeBool("dnscrypt_force_tcp", read.dnscrypt_force_tcp, false);
      break;
    case EDnsProtocol::Doh:
      element.GetAttribute("doh_host_name", read.doh_host_name, true);
      element.GetAttribute("doh_path", read.doh_path, true);
      if (!ReadHashes(element, "doh_hashes", read.doh_hashes, name, error)) return false;
      break;
    case EDnsProtocol::Dot:
      if (!ReadTlsTarget(element, "dot", L"DoT", read, read.dot_host_name, read.dot_hashes, error)) return false;
      break;
    case EDnsProtocol::NextDns:
      element.GetAttribute("nextdns_id", read.nextdns_id, true);
      element.GetAttributeBool("nextdns_ultra_low_latency", read.nextdns_ultra_low_latency, false);
      element.GetAttributeBool("nextdns_devname_auto", read.nextdns_devname_auto, false);
      element.GetAttributeW("nextdns_devname", read.nextdns_devname, false);
      break;
    case EDnsProtocol::Doq:
      if (!ReadTlsTarget(element, "doq", L"DoQ", read, read.doq_host_name, read.doq_hashes, error)) return false;
      break;
    default:
      break;
  }
  read.PrepareNextDns();
  read.addressKnown = !read.address.empty();
  server = std::move(read);
  return true;
}

void WriteDnsServer(const CDnsServer& server, CXmlDoc& owner) {
  CXmlDoc element(L"DnsServer", &owner);
  element.SetAttributeUInt("id", server.id);
  element.SetAttributeW("name", server.name);
  if (server.port != GetDefaultPort(server.protocol)) element.SetAttributeUInt("port", server.port);
  element.SetAttribute("protocol", GetProtocolNames(server.protocol).first);
  if (server.family != 0) {
    element.SetAttributeInt("af", NativeFamilyToConf(server.family));
    if (!server.address.empty() && server.addressKnown)
      element.SetAttribute("ip", AddressToText(static_cast<int>(server.family), server.address));
  }
  if (server.dnssec_supported) element.SetAttributeBool("dnssec_supported", true);
  switch (server.protocol) {
    case EDnsProtocol::Plain:
      element.SetAttributeBool("plain_use_tcp", server.plain_use_tcp);
      break;
    case EDnsProtocol::DnsCrypt:
      element.SetAttribute("dnscrypt_provider_name", server.dnscrypt_provider_name);
      element.SetAttribute("dnscrypt_public_key", BytesToHex(server.dnscrypt_public_key, true, 2));
      element.SetAttributeBool("dnscrypt_disable_padding", server.dnscrypt_disable_padding);
      element.SetAttributeBool("dnscrypt_force_tcp", server.dnscrypt_force_tcp);
      break;
    case EDnsProtocol::Doh:
      element.SetAttribute("doh_host_name", server.doh_host_name);
      element.SetAttribute("doh_path", server.doh_path);
      WriteHashes(element, "doh_hashes", server.doh_hashes);
      break;
    case EDnsProtocol::Dot:
      element.SetAttribute("dot_host_name", server.dot_host_name);
      WriteHashes(element, "dot_hashes", server.dot_hashes);
      break;
    case EDnsProtocol::NextDns:
      element.SetAttribute("nextdns_id", server.nextdns_id);
      element.SetAttributeBool("nextdns_ultra_low_latency", server.nextdns_ultra_low_latency);
      if (server.nextdns_devname_auto) element.SetAttributeBool("nextdns_devname_auto", true);
      if (!server.nextdns_devname_auto && !server.nextdns_devname.empty())
        element.SetAttributeW("nextdns_devname", server.nextdns_devname);
      break;
    case EDnsProtocol::Doq:
      element.SetAttribute("doq_host_name", server.doq_host_name);
      WriteHashes(element, "doq_hashes", server.doq_hashes);
      break;
    default:
      break;
  }
}

bool ReadDnsPool(const CXmlDoc& element, const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools,
                 CDnsPool& pool, std::wstring& error) {
  CDnsPool read;
  element.GetAttributeW("name", read.name, true);
  element.GetAttributeUInt("id", read.id, true);
  if (!CheckWrappingId(read.id, L"pool ", read.name, error) || !CheckNewId(read.id, servers, &pools, error))
    return false;

  read.type = EPoolType::Balancing;
  std::string text;
  if (element.GetAttribute("type", text, false)) {
    if (!ValueFromKey(g_PoolTypeTable, text, read.type)) {
      error = L"Incorrect type of pool " + read.name + L".";
      return false;
    }
    if (read.type == EPoolType::Unspec) read.type = EPoolType::Balancing;
  }
  if (read.type == EPoolType::Redundancy) {
    if (element.GetAttribute("redundancy_test_host", text, false) && !text.empty()) read.testHost = text;
    element.GetAttributeInt("redundancy_recheck_delay", read.recheckDelaySec);
    if (read.recheckDelaySec < 1) {
      error = L"redundancy_recheck_delay of pool " + read.name + L" should be greater than 0.";
      return false;
    }
  }
  for (const CXmlDoc& relay : element.GetChildren(L"DnsServerRelay")) {
    uint32_t id = 0;
    relay.GetAttributeUInt("id", id, true);
    read.relayIds.push_back(id);
  }
  for (const CXmlDoc& member : element.GetChildren(L"DnsServer")) {
    uint32_t id = 0;
    member.GetAttributeUInt("id", id, true);
    read.serverIds.push_back(id);
  }
  if (!read.Validate(servers, error)) return false;
  pool = std::move(read);
  return true;
}

void WriteDnsPool(const CDnsPool& pool, CXmlDoc& owner) {
  CXmlDoc element(L"DnsPool", &owner);
  element.SetAttributeUInt("id", pool.id);
  element.SetAttributeW("name", pool.name);
  element.SetAttribute("type", pool.GetTypeName(false));
  if (pool.type == EPoolType::Redundancy) {
    element.SetAttribute("redundancy_test_host", pool.testHost);
    element.SetAttributeInt("redundancy_recheck_delay", pool.recheckDelaySec);
  }
  // Created members first, relays second: each new name goes to the front,
  // so the relays come first in the file.
  for (uint32_t id : pool.serverIds) {
    CXmlDoc member(L"DnsServer", &element);
    member.SetAttributeUInt("id", id);
  }
  for (uint32_t id : pool.relayIds) {
    CXmlDoc relay(L"DnsServerRelay", &element);
    relay.SetAttributeUInt("id", id);
  }
}

bool ReadRule(const CXmlDoc& element, const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools,
              const std::wstring& confPath, const InterfaceNameLookup& findInterface, CRule& rule,
              std::wstring& error) {
  CRule read;
  element.GetAttributeW("name", read.name, true);
  const std::wstring& name = read.name;
  element.GetAttributeBool("enabled", read.enabled, true);
  element.GetAttributeBool("dnssec_local_validation", read.dnssec_local_validation, false);
  element.GetAttributeBool("dnssec_reject_unsigned", read.dnssec_reject_unsigned, false);
  element.GetAttributeBool("block_return_zero_ip", read.block_return_zero_ip, false);

  std::wstring list;
  element.GetAttributeW("hostnames", list, true);
  std::wstring reason;
  if (!read.SetHostnames(list, confPath, reason)) {
    error = L"Incorrect hostnames in the rule " + name + L". " + reason;
    return false;
  }

  std::string text;
  element.GetAttribute("action", text, true);
  if (!read.SetActionKey(text)) {
    error = L"Incorrect action for the rule " + name + L".";
    return false;
  }
  element.GetAttributeUInt("action_id", read.action_id, true);
  if (read.action_id != 0) {
    const std::wstring id = std::to_wstring(read.action_id);
    if (read.action == ERuleAction::ProcessServer && FindServerIndexById(servers, read.action_id) < 0) {
      error = L"Rule " + name + L" refers to nonexistent server ID " + id + L".";
      return false;
    }
    if (read.action == ERuleAction::ProcessPool && FindPoolIndexById(pools, read.action_id) < 0) {
      error = L"Rule " + name + L" refers to nonexistent pool ID " + id + L".";
      return false;
    }
  }

  if (element.GetAttributeW("interface_id", read.interface_id, false)) {
    std::wstring key;
    if (element.GetAttributeW("interface_id_type", key, false) &&
        !NetInterfaceIdTypeFromKey(key, read.interface_id_type)) {
      error = L"Rule " + name + L" refers to interface by unknown id type " + key + L".";
      return false;
    }
  }
  if (!read.interface_id.empty()) {
    std::wstring current;
    if (findInterface && findInterface(read.interface_id_type, read.interface_id, current)) {
      read.interface_name = current;
    } else if (read.interface_id_type == InterfaceIdAdapter) {
      element.GetAttributeW("interface_name", read.interface_name, false);
    }
  }
  rule = std::move(read);
  return true;
}

void WriteRule(const CRule& rule, CXmlDoc& owner) {
  CXmlDoc element(L"Rule", &owner);
  element.SetAttributeW("name", rule.name);
  element.SetAttributeBool("enabled", rule.enabled);
  element.SetAttributeBool("dnssec_local_validation", rule.dnssec_local_validation);
  element.SetAttributeBool("dnssec_reject_unsigned", rule.dnssec_reject_unsigned);
  // Every rule's own: a processing rule's blocked-because-interface-down
  // answer depends on it too.
  element.SetAttributeBool("block_return_zero_ip", rule.block_return_zero_ip);
  element.SetAttributeW("hostnames", rule.hostnames);
  element.SetAttributeW("action", rule.GetActionKey());
  element.SetAttributeUInt("action_id", rule.action_id);
  element.SetAttributeW("interface_id", rule.interface_id);
  element.SetAttributeW("interface_id_type", NetInterfaceIdTypeToKey(rule.interface_id_type));
  if (rule.interface_id_type == InterfaceIdAdapter) element.SetAttributeW("interface_name", rule.interface_name);
}

bool ReadSettings(const CXmlDoc& element, SSettings& settings, SDnsCheckerSettings& checkerSettings,
                  std::wstring& error) {
  auto readBool = [&](const char* key, CAtomicValue<bool>& field) {
    bool value = field;
    if (element.GetAttributeBool(key, value, false)) field = value;
  };
  auto readUInt = [&](const char* key, CAtomicValue<uint32_t>& field) {
    uint32_t value = field;
    if (element.GetAttributeUInt(key, value, false)) field = value;
  };
  readBool("ignore_rule_if_interface_down", settings.ignore_rule_if_interface_down);
  readBool("blockTcpPort53", settings.blockTcpPort53);
  readBool("clearDnsCache", settings.clearDnsCache);
  readUInt("ttlMin", settings.ttlMin);
  readUInt("ttlMax", settings.ttlMax);
  readBool("captivePortalDetection", settings.captivePortalDetection);
  readBool("interceptOthers", settings.interceptOthers);

  for (const CXmlDoc& checker : element.GetChildren(L"DnsChecker")) {
    checker.GetAttribute("testTarget", checkerSettings.testTarget, false);
    checker.GetAttributeInt("testsPerTime", checkerSettings.testsPerTime);
    std::string text;
    if (checker.GetAttribute("importUrls", text, false) && !text.empty()) {
      std::vector<std::string> urls;
      if (!CServerImport::ParseUrlList(text, urls, error)) return false;
      checkerSettings.importUrls = std::move(urls);
    }
  }
  return true;
}

void WriteSettings(const SSettings& settings, const SDnsCheckerSettings& checkerSettings, CXmlDoc& owner) {
  CXmlDoc element(L"Settings", &owner);
  element.SetAttributeBool("ignore_rule_if_interface_down", settings.ignore_rule_if_interface_down);
  element.SetAttributeBool("blockTcpPort53", settings.blockTcpPort53);
  element.SetAttributeBool("clearDnsCache", settings.clearDnsCache);
  element.SetAttributeUInt("ttlMin", settings.ttlMin);
  element.SetAttributeUInt("ttlMax", settings.ttlMax);
  element.SetAttributeBool("captivePortalDetection", settings.captivePortalDetection);
  element.SetAttributeBool("interceptOthers", settings.interceptOthers);

  CXmlDoc checker(L"DnsChecker", &element);
  checker.SetAttribute("testTarget", checkerSettings.testTarget);
  checker.SetAttributeInt("testsPerTime", checkerSettings.testsPerTime);
  std::string urls;
  for (const std::string& url : checkerSettings.importUrls) urls += url + "\r\n";
  checker.SetAttribute("importUrls", urls);
}

namespace {

// The current names of the machine's interfaces, looked up in one picture
// taken before the rules are read.
InterfaceNameLookup TakeInterfaceSnapshot() {
  auto snapshot = std::make_shared<SNetInterfacesSnapshot>();
  GetNetInterfacesSnapshot(*snapshot);
  return [snapshot](ENetInterfaceIdType type, const std::wstring& id, std::wstring& name) {
    SNetInterface found;
    if (!FindInterface(snapshot->interfaces, type, id, found)) return false;
    name = found.name;
    return true;
  };
}

bool LoadDocument(CProfile& profile, const CXmlDoc& document, const std::wstring& file, bool& checkVersion,
                  std::wstring& error) {
  const std::vector<CXmlDoc>& roots = document.GetChildren(L"TarnwickProfile");
  if (roots.empty()) {
    error = L"Correct file header not found.";
    return false;
  }
  const CXmlDoc& root = roots.front();
  uint32_t format = 0;
  root.GetAttributeUInt("file_format", format, false);
  if (format != kConfFileFormat) {
    error = L"Incorrect file format version.";
    return false;
  }
  uint32_t minVersion = 0;
  root.GetAttributeUInt("product_min_version", minVersion, false);
  if (checkVersion && minVersion > kConfProgramVersion) {
    error = L"The file was generated by a newer version of the program.";
    checkVersion = false;
    return false;
  }

  uint32_t highestId = 0;
  for (const CXmlDoc& element : root.GetChildren(L"DnsServer")) {
    CDnsServer server;
    if (!ReadDnsServer(element, profile.servers, server, error)) return false;
    highestId = std::max(highestId, server.id);
    profile.servers.push_back(std::move(server));
  }
  for (const CXmlDoc& element : root.GetChildren(L"DnsPool")) {
    CDnsPool pool;
    if (!ReadDnsPool(element, profile.servers, profile.pools, pool, error)) return false;
    highestId = std::max(highestId, pool.id);
    profile.pools.push_back(std::move(pool));
  }
  g_NextObjectId = std::max<uint32_t>(1000, highestId) + 1;

  const InterfaceNameLookup findInterface = TakeInterfaceSnapshot();
  for (const CXmlDoc& element : root.GetChildren(L"Rule")) {
    CRule rule;
    if (!ReadRule(element, profile.servers, profile.pools, file, findInterface, rule, error)) return false;
    profile.rules.push_back(std::move(rule));
  }
  if (profile.rules.empty() || profile.rules.back().name != L"Default") {
    CRule rule;
    rule.InitDefault();
    profile.rules.push_back(std::move(rule));
  }

  for (const CXmlDoc& element : root.GetChildren(L"Settings")) {
    if (!ReadSettings(element, profile.settings, profile.checkerSettings, error)) return false;
  }
  return true;
}

bool LoadParsed(CProfile& profile, const CXmlDoc& document, const std::wstring& file, bool& checkVersion,
                std::wstring& error) {
  try {
    return LoadDocument(profile, document, file, checkVersion, error);
  } catch (const CXmlDoc::XmlExc& e) {
    error = L"Xml error: " + e.Message();
    return false;
  }
}

}  // namespace

bool CProfile::Load(std::wstring& error, bool& openFailed, bool& checkVersion, const std::wstring& path) {
  const std::wstring file = path.empty() ? this->path : path;
  CXmlDoc document(L"root");
  if (!document.Load(file, error, openFailed)) return false;
  return LoadParsed(*this, document, file, checkVersion, error);
}

namespace {

CXmlDoc MakeDocument(const CProfile& profile) {
  CXmlDoc document(L"root");
  {
    // Elements join their owner when they go out of scope, each new name in
    // front of the others: Settings, Rule, DnsPool, DnsServer in the file.
    CXmlDoc root(L"TarnwickProfile", &document);
    root.SetAttributeUInt("file_format", kConfFileFormat);
    root.SetAttributeUInt("product_id", kConfProductId);
    root.SetAttributeUInt("product_min_version", kConfProgramVersion);
    for (const CDnsServer& server : profile.servers) WriteDnsServer(server, root);
    for (const CDnsPool& pool : profile.pools) WriteDnsPool(pool, root);
    for (const CRule& rule : profile.rules) WriteRule(rule, root);
    WriteSettings(profile.settings, profile.checkerSettings, root);
  }
  return document;
}

}  // namespace

bool CProfile::Save(std::wstring& error, const std::wstring& path) const {
  return MakeDocument(*this).Save(path.empty() ? this->path : path, error);
}

bool CProfile::LoadFromText(std::wstring& error, bool& checkVersion, const std::string& text,
                            const std::wstring& file) {
  CXmlDoc document(L"root");
  if (!document.LoadFromText(text, error)) return false;
  return LoadParsed(*this, document, file, checkVersion, error);
}

bool CProfile::SaveToText(std::wstring& error, std::string& text) const {
  return MakeDocument(*this).SaveToText(text, error);
}
