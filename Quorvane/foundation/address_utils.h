// IP addresses as text and back. Address bytes are in network order; the
// family is the native one (AF_INET, AF_INET6 = 10 here).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

// Empty unless bytes holds 4 bytes for AF_INET or 16 for AF_INET6.
std::string AddressToText(int family, const std::vector<uint8_t>& bytes);
std::string Ipv4ToText(const uint8_t bytes[4]);
std::string Ipv6ToText(const uint8_t bytes[16]);
// "[v6]:port" for AF_INET6, "v4:port" for any other family.
std::string SockaddrToText(const sockaddr_storage& address);
// Addresses without ports joined by ", "; with ipv4First the IPv4 ones lead.
std::wstring AddressListToText(const std::vector<sockaddr_storage>& addresses, bool ipv4First);
// All zero with family 0 when the text is neither an IPv6 nor an IPv4 address.
sockaddr_storage TextToSockaddr(const std::string& text);
bool TextToAddress(const std::string& text, int& family, std::vector<uint8_t>& bytes);
