#include "Quorvane/foundation/address_utils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

namespace {

TEST(AddressText, OnlyExactSizesAreRead) {
  EXPECT_EQ(AddressToText(AF_INET, {1, 2, 3, 4}), "1.2.3.4");
  EXPECT_EQ(AddressToText(AF_INET6, std::vector<uint8_t>(16, 0)), "::");
  EXPECT_EQ(AddressToText(AF_INET6, {1, 2, 3, 4}), "");  // would be read past its end
  EXPECT_EQ(AddressToText(AF_INET, std::vector<uint8_t>(16, 0)), "");
  EXPECT_EQ(AddressToText(0, {1, 2, 3, 4}), "");
  EXPECT_EQ(AddressToText(AF_INET, {}), "");
}

TEST(AddressText, ParsesBothFamiliesAndRefusesTheRest) {
  int family = -1;
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(TextToAddress("fd53::1", family, bytes));
  EXPECT_EQ(family, AF_INET6);
  EXPECT_EQ(bytes.size(), 16u);
  EXPECT_EQ(Ipv6ToText(bytes.data()), "fd53::1");
  ASSERT_TRUE(TextToAddress("10.53.0.1", family, bytes));
  EXPECT_EQ(family, AF_INET);
  EXPECT_EQ(Ipv4ToText(bytes.data()), "10.53.0.1");
  EXPECT_FALSE(TextToAddress("10.53.0.1 ", family, bytes));  // callers trim first
  EXPECT_EQ(TextToSockaddr("not an address").ss_family, 0);
}

sockaddr_storage Make(const char* text, unsigned short port) {
  sockaddr_storage a = TextToSockaddr(text);
  if (a.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6&>(a).sin6_port = htons(port);
  else
    reinterpret_cast<sockaddr_in&>(a).sin_port = htons(port);
  return a;
}

TEST(AddressText, SocketAddressesAndLists) {
  EXPECT_EQ(SockaddrToText(Make("::1", 853)), "[::1]:853");
  EXPECT_EQ(SockaddrToText(Make("127.0.0.1", 53)), "127.0.0.1:53");
  std::vector<sockaddr_storage> list{Make("2001:db8::a", 1), Make("192.0.2.1", 2), Make("192.0.2.2", 3)};
  EXPECT_EQ(AddressListToText(list, true), L"192.0.2.1, 192.0.2.2, 2001:db8::a");
  EXPECT_EQ(AddressListToText(list, false), L"2001:db8::a, 192.0.2.1, 192.0.2.2");
  EXPECT_EQ(AddressListToText({}, true), L"");
}

}  // namespace
