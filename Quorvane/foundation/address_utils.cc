#include "Quorvane/foundation/address_utils.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "Quorvane/foundation/text_utils.h"

std::string AddressToText(int family, const std::vector<uint8_t>& bytes) {
  // Only a vector of the family's own size is read; anything else would be
  // read past its end.
  if ((family == AF_INET && bytes.size() != 4) || (family == AF_INET6 && bytes.size() != 16) ||
      (family != AF_INET && family != AF_INET6))
    return {};
  char buffer[100];
  if (!inet_ntop(family, bytes.data(), buffer, sizeof(buffer))) return {};
  return buffer;
}

std::string Ipv4ToText(const uint8_t bytes[4]) { return AddressToText(AF_INET, std::vector<uint8_t>(bytes, bytes + 4)); }

std::string Ipv6ToText(const uint8_t bytes[16]) {
  return AddressToText(AF_INET6, std::vector<uint8_t>(bytes, bytes + 16));
}

namespace {

std::string HostText(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    return Ipv6ToText(in6.sin6_addr.s6_addr);
  }
  const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
  return Ipv4ToText(reinterpret_cast<const uint8_t*>(&in4.sin_addr));
}

}  // namespace

std::string SockaddrToText(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    return "[" + HostText(address) + "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
  return HostText(address) + ":" + std::to_string(ntohs(in4.sin_port));
}

std::wstring AddressListToText(const std::vector<sockaddr_storage>& addresses, bool ipv4First) {
  std::wstring out;
  auto add = [&out](const sockaddr_storage& a) {
    if (!out.empty()) out += L", ";
    out += Utf8ToWide(HostText(a));
  };
  if (ipv4First) {
    for (const auto& a : addresses)
      if (a.ss_family == AF_INET) add(a);
    for (const auto& a : addresses)
      if (a.ss_family != AF_INET) add(a);
  } else {
    for (const auto& a : addresses) add(a);
  }
  return out;
}

sockaddr_storage TextToSockaddr(const std::string& text) {
  sockaddr_storage address;
  std::memset(&address, 0, sizeof(address));
  auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
  auto& in4 = reinterpret_cast<sockaddr_in&>(address);
  if (inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) == 1) {
    address.ss_family = AF_INET6;
  } else if (inet_pton(AF_INET, text.c_str(), &in4.sin_addr) == 1) {
    address.ss_family = AF_INET;
  } else {
    std::memset(&address, 0, sizeof(address));
  }
  return address;
}

bool TextToAddress(const std::string& text, int& family, std::vector<uint8_t>& bytes) {
  sockaddr_storage address = TextToSockaddr(text);
  if (address.ss_family == 0) return false;
  family = address.ss_family;
  if (family == AF_INET6) {
    const auto* p = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr.s6_addr;
    bytes.assign(p, p + 16);
  } else {
    const auto* p = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in&>(address).sin_addr);
    bytes.assign(p, p + 4);
  }
  return true;
}
