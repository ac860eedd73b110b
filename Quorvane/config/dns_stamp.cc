#include "Quorvane/config/dns_stamp.h"

#include <sys/socket.h>

#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

constexpr char kPrefix[] = "sdns://";
constexpr size_t kMinRecord = 9;  // protocol byte + 8 property bytes
// A relay has no property bytes: its byte and a one-character address field
// are enough, so that every relay stamp Build writes ("[::1]") reads again.
constexpr size_t kMinRelayRecord = 3;
constexpr uint8_t kRelayByte = 0x81;

bool StampChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

EDnsProtocol ProtocolOfByte(uint8_t value) {
  switch (value) {
    case 0x00:
      return EDnsProtocol::Plain;
    case 0x01:
      return EDnsProtocol::DnsCrypt;
    case 0x02:
      return EDnsProtocol::Doh;
    case 0x03:
      return EDnsProtocol::Dot;
    case 0x04:
      return EDnsProtocol::Doq;
    case kRelayByte:
      return EDnsProtocol::Relay;
    default:
      throw CDnsStamp::ParseExc("Unknown protocol " + std::to_string(value));
  }
}

uint8_t ByteOfProtocol(EDnsProtocol protocol) {
  switch (protocol) {
    case EDnsProtocol::DnsCrypt:
      return 0x01;
    case EDnsProtocol::Doh:
      return 0x02;
    case EDnsProtocol::Dot:
      return 0x03;
    case EDnsProtocol::Doq:
      return 0x04;
    case EDnsProtocol::Relay:
      return kRelayByte;
    default:
      return 0x00;
  }
}

// Where each protocol with a host name keeps it and its certificate hashes,
// in the server and in the stamp.
struct SHostFields {
  EDnsProtocol protocol;
  std::string CDnsServer::*host;
  HashList CDnsServer::*hashes;
  std::string CDnsStamp::*stampHost;
  HashList CDnsStamp::*stampHashes;
};
constexpr SHostFields kHostFields[] = {
    {EDnsProtocol::Doh, &CDnsServer::doh_host_name, &CDnsServer::doh_hashes, &CDnsStamp::dohHostName,
     &CDnsStamp::dohHashes},
    {EDnsProtocol::Dot, &CDnsServer::dot_host_name, &CDnsServer::dot_hashes, &CDnsStamp::dotHostName,
     &CDnsStamp::dotHashes},
    {EDnsProtocol::Doq, &CDnsServer::doq_host_name, &CDnsServer::doq_hashes, &CDnsStamp::doqHostName,
     &CDnsStamp::doqHashes},
};

const SHostFields* HostFieldsOf(EDnsProtocol protocol) {
  for (const auto& fields : kHostFields)
    if (fields.protocol == protocol) return &fields;
  return nullptr;
}

ByteString ToBytes(const std::string& text) { return ByteString(text.begin(), text.end()); }
std::string ToText(const ByteString& bytes) { return std::string(bytes.begin(), bytes.end()); }

HashList ReadHashes(std::string_view& rest) {
  std::vector<std::string> list;
  CDnsStamp::ReadVlpSet(rest, list);
  HashList hashes;
  for (const auto& item : list) hashes.push_back(ToBytes(item));
  return hashes;
}

void WriteHashes(std::string& bytes, const HashList& hashes) {
  std::vector<std::string> list;
  for (const auto& hash : hashes) list.push_back(ToText(hash));
  CDnsStamp::WriteVlpSet(bytes, list);
}

// The address field: an IPv4 address or a bracketed IPv6 address, either
// with an optional ":port", or empty.
void ReadAddress(std::string_view& rest, CDnsStamp& stamp) {
  std::string field;
  CDnsStamp::ReadLp(rest, field);
  if (field.empty()) return;
  std::string scheme, host, path, error;
  uint16_t port = 0;
  if (!SplitServerAddress(field, scheme, host, port, path, error)) throw CDnsStamp::ParseExc("Invalid address: " + error);
  if (!host.empty()) {
    int family = 0;
    if (!TextToAddress(host, family, stamp.address)) throw CDnsStamp::ParseExc("Incorrect IP address " + host);
    stamp.family = static_cast<uint32_t>(family);
  }
  if (port != 0) {
    stamp.port = port;
    stamp.addressHasPort = true;
  }
}

std::string PortSuffix(const CDnsStamp& stamp) {
  return stamp.port != GetDefaultPort(stamp.protocol) ? ":" + std::to_string(stamp.port) : std::string();
}

}  // namespace

namespace {

constexpr size_t kMaxLp = 255;
constexpr size_t kMaxVlpElement = 127;
constexpr uint8_t kMoreFlag = 0x80;

void TakeField(std::string_view& rest, size_t length, std::string& field) {
  if (length > rest.size()) throw CDnsStamp::ParseExc("Incorrect LP record length");
  field.assign(rest.substr(0, length));
  rest.remove_prefix(length);
}

void PutField(std::string& bytes, std::string_view field, size_t limit, uint8_t flags) {
  if (field.size() > limit) throw CDnsStamp::ParseExc("LP record is too long " + std::to_string(field.size()));
  bytes.push_back(static_cast<char>(field.size() | flags));
  bytes.append(field);
}

}  // namespace

void CDnsStamp::ReadLp(std::string_view& rest, std::string& field) {
  if (rest.empty()) throw ParseExc("Incorrect LP record");
  const auto length = static_cast<uint8_t>(rest[0]);
  rest.remove_prefix(1);
  TakeField(rest, length, field);
}

bool CDnsStamp::ReadVlpElement(std::string_view& rest, std::string& field) {
  if (rest.empty()) throw ParseExc("Incorrect LP record");
  const auto lengthByte = static_cast<uint8_t>(rest[0]);
  rest.remove_prefix(1);
  TakeField(rest, lengthByte & ~kMoreFlag, field);
  return (lengthByte & kMoreFlag) != 0;
}

void CDnsStamp::ReadVlpSet(std::string_view& rest, std::vector<std::string>& list) {
  bool more = true;
  while (more) {
    std::string item;
    more = ReadVlpElement(rest, item);
    if (!item.empty()) list.push_back(std::move(item));
  }
}

void CDnsStamp::WriteLp(std::string& bytes, std::string_view field) { PutField(bytes, field, kMaxLp, 0); }

void CDnsStamp::WriteVlpElement(std::string& bytes, std::string_view field, bool last) {
  PutField(bytes, field, kMaxVlpElement, last ? 0 : kMoreFlag);
}

void CDnsStamp::WriteVlpSet(std::string& bytes, const std::vector<std::string>& list) {
  if (list.empty()) {
    bytes.push_back(0);
    return;
  }
  for (size_t i = 0; i < list.size(); ++i) WriteVlpElement(bytes, list[i], i + 1 == list.size());
}

bool CDnsStamp::Parse(const std::string& text, std::string& error) {
  try {
    if (text.empty()) throw ParseExc("Empty input");
    std::string trimmed = text;
    TrimLeft(trimmed);
    TrimRight(trimmed, ' ');
    std::string_view body = trimmed;
    if (body.starts_with(kPrefix)) body.remove_prefix(sizeof(kPrefix) - 1);
    std::string encoded;
    encoded.reserve(body.size());
    for (char c : body) {
      if (c == '\r' || c == '\n' || c == ' ') continue;
      if (!StampChar(c)) throw ParseExc("Invalid char at position " + std::to_string(encoded.size() + 1));
      encoded.push_back(c);
    }
    const std::string bytes = Base64UrlDecode(encoded);
    const bool relay = !bytes.empty() && static_cast<uint8_t>(bytes[0]) == kRelayByte;
    if (bytes.size() < (relay ? kMinRelayRecord : kMinRecord)) throw ParseExc("Data truncated");

    CDnsStamp stamp;
    std::string_view rest = bytes;
    const auto protocolByte = static_cast<uint8_t>(rest[0]);
    stamp.protocol = ProtocolOfByte(protocolByte);
    rest.remove_prefix(1);
    if (protocolByte != kRelayByte) {
      const auto properties = static_cast<uint8_t>(rest[0]);
      stamp.dnssec = properties & 1;
      stamp.noLogs = properties & 2;
      stamp.noFilter = properties & 4;
      rest.remove_prefix(std::min<size_t>(8, rest.size()));
    }
    ReadAddress(rest, stamp);
    std::string field;
    switch (stamp.protocol) {
      case EDnsProtocol::DnsCrypt:
        ReadLp(rest, field);
        if (field.size() != 32) throw ParseExc("Invalid public key length " + std::to_string(field.size()));
        stamp.publicKey = ToBytes(field);
        ReadLp(rest, stamp.providerName);
        break;
      case EDnsProtocol::Doh:
      case EDnsProtocol::Dot:
      case EDnsProtocol::Doq: {
        const SHostFields* fields = HostFieldsOf(stamp.protocol);
        stamp.*fields->stampHashes = ReadHashes(rest);
        ReadLp(rest, stamp.*fields->stampHost);
        if (stamp.protocol != EDnsProtocol::Doh) break;
        ReadLp(rest, stamp.dohPath);
        for (bool more = true; more && !rest.empty();) {
          more = ReadVlpElement(rest, field);
          if (!field.empty()) stamp.dohBootstrap.push_back(field);
        }
        break;
      }
      default:
        break;
    }
    if (!stamp.addressHasPort) stamp.port = GetDefaultPort(stamp.protocol);
    const bool needsAddress = stamp.protocol == EDnsProtocol::Plain || stamp.protocol == EDnsProtocol::DnsCrypt ||
                              stamp.protocol == EDnsProtocol::Relay;
    if (needsAddress && stamp.address.empty()) throw ParseExc("Empty IP address");
    *this = std::move(stamp);
    return true;
  } catch (const ParseExc& e) {
    error = e.what();
    return false;
  }
}

bool CDnsStamp::Build(std::string& text, std::string& error) const {
  try {
    std::string bytes;
    bytes.push_back(static_cast<char>(ByteOfProtocol(protocol)));
    if (protocol != EDnsProtocol::Relay) {
      bytes.push_back(static_cast<char>((dnssec ? 1 : 0) | (noLogs ? 2 : 0) | (noFilter ? 4 : 0)));
      bytes.append(7, '\0');
    }
    std::string addressField = AddressToText(static_cast<int>(family), address);
    if (family == AF_INET6 && !addressField.empty()) addressField = "[" + addressField + "]";
    if (protocol != EDnsProtocol::Doh) addressField += PortSuffix(*this);
    WriteLp(bytes, addressField);
    switch (protocol) {
      case EDnsProtocol::DnsCrypt:
        WriteLp(bytes, ToText(publicKey));
        WriteLp(bytes, providerName);
        break;
      case EDnsProtocol::Doh:
      case EDnsProtocol::Dot:
      case EDnsProtocol::Doq: {
        const SHostFields* fields = HostFieldsOf(protocol);
        WriteHashes(bytes, this->*fields->stampHashes);
        WriteLp(bytes, this->*fields->stampHost + PortSuffix(*this));
        if (protocol == EDnsProtocol::Doh) WriteLp(bytes, dohPath);
        break;
      }
      default:
        break;
    }
    text = kPrefix + Base64UrlEncode(bytes);
    return true;
  } catch (const ParseExc& e) {
    error = e.what();
    return false;
  }
}

namespace {

// A DoT or DoQ host-name field may carry ":port". The name alone is what gets
// resolved and checked as the TLS name; its port counts only when the
// address field gave none.
bool SplitHostField(const CDnsStamp& stamp, std::string& name, CDnsServer& server, std::string& error) {
  if (name.empty()) return true;
  std::string scheme, host, path, reason;
  uint16_t port = 0;
  if (!SplitServerAddress(name, scheme, host, port, path, reason)) {
    error = "Invalid host name: " + reason;
    return false;
  }
  name = host;
  if (port != 0 && !stamp.addressHasPort) server.port = port;
  return true;
}

bool HashesAre32Bytes(const HashList& hashes, std::string& error) {
  for (const auto& hash : hashes) {
    if (hash.size() != 32) {
      error = "Invalid hash length " + std::to_string(hash.size());
      return false;
    }
  }
  return true;
}

}  // namespace

bool CDnsServer::FromStamp(const std::string& text, std::string& error) {
  CDnsStamp stamp;
  std::string reason;
  if (!stamp.Parse(text, reason)) {
    error = "Cannot parse stamp: " + reason;
    return false;
  }
  CDnsServer server;
  server.family = stamp.family;
  server.address = stamp.address;
  server.port = stamp.port;
  server.protocol = stamp.protocol;
  server.dnssec_supported = stamp.dnssec;
  server.addressKnown = !stamp.address.empty();
  if (stamp.protocol == EDnsProtocol::DnsCrypt) {
    server.dnscrypt_public_key = stamp.publicKey;
    server.dnscrypt_provider_name = stamp.providerName;
  }
  if (stamp.protocol == EDnsProtocol::Doh) server.doh_path = stamp.dohPath;
  if (const SHostFields* fields = HostFieldsOf(stamp.protocol)) {
    std::string& host = server.*fields->host;
    host = stamp.*fields->stampHost;
    server.*fields->hashes = stamp.*fields->stampHashes;
    // Refuse what the conf-file reader would refuse at the next start. DoH
    // keeps its host field whole: its port is part of the URL.
    const bool tls = stamp.protocol != EDnsProtocol::Doh;
    if ((tls && !SplitHostField(stamp, host, server, reason)) ||
        !HashesAre32Bytes(server.*fields->hashes, reason)) {
      error = "Cannot parse stamp: " + reason;
      return false;
    }
    if (tls && host.empty() && server.address.empty()) {
      error = "Cannot parse stamp: IP address or hostname should be set";
      return false;
    }
  }
  *this = std::move(server);
  return true;
}

bool CDnsServer::ToStamp(std::string& text, std::string& error) const {
  if (protocol == EDnsProtocol::NextDns) {
    CDnsServer doh = *this;
    doh.protocol = EDnsProtocol::Doh;
    return doh.ToStamp(text, error);
  }
  CDnsStamp stamp;
  stamp.family = family;
  stamp.address = address;
  stamp.port = port;
  stamp.protocol = protocol;
  stamp.dnssec = dnssec_supported;
  if (protocol == EDnsProtocol::DnsCrypt) {
    stamp.publicKey = dnscrypt_public_key;
    stamp.providerName = dnscrypt_provider_name;
  }
  if (protocol == EDnsProtocol::Doh) stamp.dohPath = doh_path;
  if (const SHostFields* fields = HostFieldsOf(protocol)) {
    stamp.*fields->stampHost = this->*fields->host;
    stamp.*fields->stampHashes = this->*fields->hashes;
  }
  std::string reason;
  if (!stamp.Build(text, reason)) {
    error = "Cannot parse stamp: " + reason;
    return false;
  }
  return true;
}
