// An upstream DNS server as a plain value record, copied freely between the
// running configuration, dialogs, rule evaluation, engine and transports.
// Fields stored in the conf-file bear the attribute's key as their name.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Quorvane/config/dns_protocol.h"
#include "Quorvane/config/object_id.h"

using ByteString = std::vector<uint8_t>;
using HashList = std::vector<ByteString>;

enum class EServerStatus : int {
  Ok = 0,       // the last check answered; rttMs is valid
  Failed = 1,   // a check or a query failed
  Unknown = 2,  // never checked, or recovered from a failure
};

class CDnsServer {
 public:
  uint32_t id = 0;  // unique over servers and pools; 0 = not a configured server
  std::wstring name = L"New DNS server";
  uint16_t port = 0;
  uint32_t family = 0;  // 0, AF_INET or AF_INET6 (native values)
  ByteString address;   // 4 or 16 bytes in network order, or empty
  int32_t rttMs = -1;   // run time only; -1 unknown
  bool addressKnown = false;  // address holds a configured address
  EDnsProtocol protocol = EDnsProtocol::Unspec;
  EServerStatus status = EServerStatus::Unknown;  // run time only
  bool dnssec_supported = false;
  bool plain_use_tcp = false;
  ByteString dnscrypt_public_key;
  std::string dnscrypt_provider_name;
  bool dnscrypt_disable_padding = false;
  bool dnscrypt_force_tcp = false;
  std::string doh_host_name;
  std::string doh_path;  // begins with "/"
  HashList doh_hashes;   // 32 bytes each
  std::string nextdns_id;
  std::wstring nextdns_devname;
  bool nextdns_devname_auto = false;
  bool nextdns_ultra_low_latency = false;
  std::string dot_host_name;  // also the TLS server name
  HashList dot_hashes;
  std::string doq_host_name;
  HashList doq_hashes;

  // Fails at the first difference. Run-time fields, plain_use_tcp, the
  // provider name, DoT/DoQ names and hashes and the NextDNS flags are not
  // compared.
  bool IsEqual(const CDnsServer& other, bool ignoreId, bool ignoreName) const;

  // "https://" host [":" port when not the default] path.
  std::string GetDohUrl() const;
  // The "Address or URL" text of lists and log lines.
  std::wstring GetDisplayAddress() const;
  // The host name the server is reached by (also the TLS server name), else
  // the address text when withAddress, else empty.
  std::string GetHostOrAddress(bool withAddress) const;
  std::wstring GetHostOrAddressW() const;

  // Points a NextDns server at the service's DoH endpoint; other protocols
  // are left alone. With nextdns_devname_auto the device name is the
  // machine's host name up to its first ".".
  void PrepareNextDns();

  // Replaces the whole server (id and name included) by the stamp's server.
  // False with "Cannot parse stamp: " + reason, the server unchanged.
  bool FromStamp(const std::string& stamp, std::string& error);
  bool ToStamp(std::string& stamp, std::string& error) const;
};

// One Plain server on port 53 per socket address, named by its address text;
// the port the socket address holds is ignored.
std::vector<CDnsServer> MakeServersFromAddresses(const std::vector<sockaddr_storage>& addresses);

// Hashes separated by "," or ";" (blanks and ":" inside a hash are skipped).
// On failure error is a fragment the caller prefixes: "incorrect",
// "incorrect size N, should be 32." or "is empty."; hashes is then untouched.
bool ParseHashList(const std::string& text, HashList& hashes, std::string& error);
// Upper-case hex, ":" after every two bytes, hashes joined by ", ".
std::string FormatHashList(const HashList& hashes);

inline int FindServerIndexById(const std::vector<CDnsServer>& servers, uint32_t id) {
  return FindIndexById(servers, id);
}
