#include "Quorvane/config/dns_server.h"

#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "Quorvane/config/constants.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

// Address text with "[]" around IPv6, plus ":port" when not the default.
std::string AddressWithPort(const CDnsServer& server) {
  std::string text = AddressToText(static_cast<int>(server.family), server.address);
  if (server.family == AF_INET6 && !text.empty()) text = "[" + text + "]";
  if (server.port != GetDefaultPort(server.protocol)) text += ":" + std::to_string(server.port);
  return text;
}

// Bytes other than ASCII letters, digits, "-" and "_" become "%XX".
std::string PercentEncode(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 0x0F]);
    }
  }
  return out;
}

// The machine's host name up to its first "."; false when the system gives
// none or it is not UTF-8.
bool MachineHostName(std::wstring& name) {
  char buffer[1000] = {};
  if (gethostname(buffer, sizeof(buffer) - 1) != 0) return false;
  std::string host(buffer);
  host = host.substr(0, host.find('.'));
  std::wstring wide = Utf8ToWide(host);
  if (WideToUtf8(wide) != host) return false;  // the converter's error text, not a name
  name = wide;
  return true;
}

}  // namespace

bool CDnsServer::IsEqual(const CDnsServer& other, bool ignoreId, bool ignoreName) const {
  if (!ignoreId && id != other.id) return false;
  if (!ignoreName && name != other.name) return false;
  if (port != other.port || family != other.family || protocol != other.protocol || address != other.address ||
      addressKnown != other.addressKnown || dnssec_supported != other.dnssec_supported)
    return false;
  switch (protocol) {
    case EDnsProtocol::DnsCrypt:
      return dnscrypt_public_key == other.dnscrypt_public_key &&
             dnscrypt_disable_padding == other.dnscrypt_disable_padding &&
             dnscrypt_force_tcp == other.dnscrypt_force_tcp;
    case EDnsProtocol::Doh:
      return doh_host_name == other.doh_host_name && doh_path == other.doh_path && doh_hashes == other.doh_hashes;
    case EDnsProtocol::NextDns:
      return nextdns_id == other.nextdns_id && nextdns_devname == other.nextdns_devname;
    default:
      return true;
  }
}

std::string CDnsServer::GetDohUrl() const {
  std::string url = "https://" + doh_host_name;
  if (port != GetDefaultPort(protocol)) url += ":" + std::to_string(port);
  return url + doh_path;
}

std::wstring CDnsServer::GetDisplayAddress() const {
  if (protocol == EDnsProtocol::Doh) return Utf8ToWide(GetDohUrl());
  if (protocol == EDnsProtocol::NextDns) return Utf8ToWide(nextdns_id);
  if (protocol == EDnsProtocol::Dot && !dot_host_name.empty()) return Utf8ToWide(dot_host_name);
  if (protocol == EDnsProtocol::Doq && !doq_host_name.empty()) return Utf8ToWide(doq_host_name);
  return Utf8ToWide(AddressWithPort(*this));
}

std::string CDnsServer::GetHostOrAddress(bool withAddress) const {
  if ((protocol == EDnsProtocol::Doh || protocol == EDnsProtocol::NextDns) && !doh_host_name.empty())
    return doh_host_name;
  if (protocol == EDnsProtocol::Dot && !dot_host_name.empty()) return dot_host_name;
  if (protocol == EDnsProtocol::Doq && !doq_host_name.empty()) return doq_host_name;
  if (withAddress) return AddressToText(static_cast<int>(family), address);
  return {};
}

std::wstring CDnsServer::GetHostOrAddressW() const { return ToWide(GetHostOrAddress(true), false); }

void CDnsServer::PrepareNextDns() {
  if (protocol != EDnsProtocol::NextDns) return;
  doh_host_name = g_NextDnsDohHost;
  doh_path = "/" + nextdns_id;
  if (nextdns_devname_auto) MachineHostName(nextdns_devname);
  if (!nextdns_devname.empty()) doh_path += "/" + PercentEncode(WideToUtf8(nextdns_devname));
  dnssec_supported = true;
  if (nextdns_ultra_low_latency) {
    address.clear();
    port = 443;
  } else if (address.empty()) {
    address = {45, 90, 28, 0};
    family = AF_INET;
    addressKnown = true;
  }
}

std::vector<CDnsServer> MakeServersFromAddresses(const std::vector<sockaddr_storage>& addresses) {
  std::vector<CDnsServer> servers;
  servers.reserve(addresses.size());
  for (const auto& storage : addresses) {
    CDnsServer server;
    server.family = storage.ss_family;
    if (storage.ss_family == AF_INET6) {
      const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
      server.address.assign(in6.sin6_addr.s6_addr, in6.sin6_addr.s6_addr + 16);
    } else if (storage.ss_family == AF_INET) {
      const auto& in4 = reinterpret_cast<const sockaddr_in&>(storage);
      const auto* bytes = reinterpret_cast<const uint8_t*>(&in4.sin_addr);
      server.address.assign(bytes, bytes + 4);
    }
    server.addressKnown = !server.address.empty();
    server.port = 53;
    server.protocol = EDnsProtocol::Plain;
    server.name = Utf8ToWide(AddressToText(static_cast<int>(server.family), server.address));
    servers.push_back(std::move(server));
  }
  return servers;
}

bool ParseHashList(const std::string& text, HashList& hashes, std::string& error) {
  HashList parsed;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(",;", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      ByteString hash;
      if (!HexToBytes(text.substr(start, end - start), hash)) {
        error = "incorrect";
        return false;
      }
      if (hash.size() != 32) {
        error = "incorrect size " + std::to_string(hash.size()) + ", should be 32.";
        return false;
      }
      parsed.push_back(std::move(hash));
    }
    start = end + 1;
  }
  if (parsed.empty()) {
    error = "is empty.";
    return false;
  }
  hashes = std::move(parsed);
  return true;
}

std::string FormatHashList(const HashList& hashes) {
  std::string text;
  for (const auto& hash : hashes) {
    if (!text.empty()) text += ", ";
    text += BytesToHex(hash, true, 2);
  }
  return text;
}
