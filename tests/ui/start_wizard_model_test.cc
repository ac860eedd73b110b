#include "Quorvane/ui/start_wizard_model.h"

#include <gtest/gtest.h>

#include "Quorvane/foundation/address_utils.h"

namespace {

TEST(BuiltinStamps, GoogleDohIsWhatToStampWrites) {
  CDnsServer server;
  server.protocol = EDnsProtocol::Doh;
  server.family = AF_INET;
  server.address = {8, 8, 8, 8};
  server.addressKnown = true;
  server.port = 443;
  server.doh_host_name = "dns.google";
  server.doh_path = "/dns-query";
  server.dnssec_supported = true;
  std::string stamp, error;
  ASSERT_TRUE(server.ToStamp(stamp, error)) << error;
  EXPECT_EQ(stamp, kGoogleDohStamp);
}

TEST(BuiltinStamps, ParseIntoTheirFields) {
  CDnsServer google = MakeBuiltinServer(1);
  EXPECT_EQ(google.name, L"Google DoH");
  EXPECT_EQ(google.protocol, EDnsProtocol::Doh);
  EXPECT_EQ(AddressToText(static_cast<int>(google.family), google.address), "8.8.8.8");
  EXPECT_EQ(google.doh_host_name, "dns.google");
  EXPECT_EQ(google.doh_path, "/dns-query");
  EXPECT_TRUE(google.doh_hashes.empty());
  EXPECT_TRUE(google.dnssec_supported);

  CDnsServer quad9 = MakeBuiltinServer(2);
  EXPECT_EQ(quad9.name, L"Quad9 DNSCrypt");
  EXPECT_EQ(quad9.protocol, EDnsProtocol::DnsCrypt);
  EXPECT_EQ(AddressToText(static_cast<int>(quad9.family), quad9.address), "9.9.9.10");
  EXPECT_EQ(quad9.port, 8443);
  EXPECT_EQ(quad9.dnscrypt_provider_name, "2.dnscrypt-cert.quad9.net");
  EXPECT_EQ(quad9.dnscrypt_public_key.size(), 32u);
  EXPECT_TRUE(quad9.dnscrypt_disable_padding);
  EXPECT_NE(quad9.id, google.id);

  CDnsServer next = MakeBuiltinServer(3);
  EXPECT_EQ(next.protocol, EDnsProtocol::NextDns);
  EXPECT_EQ(next.port, 443);
}

}  // namespace
