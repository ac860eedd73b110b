#include "Quorvane/transports/server_certificate.h"

#include <gtest/gtest.h>

#include "Quorvane/transports/processing_result.h"
#include "tests/transports/test_trust.h"

namespace {

using testsupport::ContextOf;
using testsupport::LeafFor;
using testsupport::SIssued;
using testsupport::SLeafOptions;
using testsupport::TrustedCa;

struct SVerifyCase {
  const char* name;
  SLeafOptions leaf;
  std::wstring target;
  uint32_t want;
};

SLeafOptions With(SLeafOptions options, void (*change)(SLeafOptions&)) {
  change(options);
  return options;
}

TEST(VerifyServerCertificate, LeavesOfTheTrustedCa) {
  const SLeafOptions base = LeafFor({"dot.example.test"}, {"127.0.0.1", "::1"});
  const SVerifyCase cases[] = {
      {"valid", base, L"dot.example.test", 0},
      {"wrong_name", base, L"other.example.test", 0x800B010F},
      {"ip_target_in_ip_san", base, L"127.0.0.1", 0},
      {"ipv6_target_in_ip_san", base, L"::1", 0},
      {"ip_target_not_in_san", base, L"127.0.0.2", 0x800B010F},
      {"expired", With(base, [](SLeafOptions& o) { o.notBefore = -7200, o.notAfter = -60; }), L"dot.example.test",
       0x800B0101},
      {"not_yet_valid", With(base, [](SLeafOptions& o) { o.notBefore = 3600; }), L"dot.example.test", 0x800B0101},
      {"client_auth_only", With(base, [](SLeafOptions& o) { o.usages = {"1.3.6.1.5.5.7.3.2"}; }),
       L"dot.example.test", 0x800B0110},
      {"server_gated_only", With(base, [](SLeafOptions& o) { o.usages = {"1.3.6.1.4.1.311.10.3.3"}; }),
       L"dot.example.test", 0},
      {"netscape_gated_only", With(base, [](SLeafOptions& o) { o.usages = {"2.16.840.1.113730.4.1"}; }),
       L"dot.example.test", 0},
      {"no_usage_extension", With(base, [](SLeafOptions& o) { o.usages.clear(); }), L"dot.example.test", 0},
      {"ed25519_compact", With(base, [](SLeafOptions& o) { o.keyType = testsupport::EKeyType::Ed25519, o.compact = true; }),
       L"dot.example.test", 0},
      {"rsa", With(base, [](SLeafOptions& o) { o.keyType = testsupport::EKeyType::Rsa; }), L"dot.example.test", 0},
  };
  for (const SVerifyCase& c : cases) {
    SCOPED_TRACE(c.name);
    SIssued leaf = TrustedCa().IssueLeaf(c.leaf);
    EXPECT_EQ(VerifyServerCertificate(ContextOf(leaf), c.target), c.want);
  }
}

TEST(VerifyServerCertificate, UnknownCaIsAnUntrustedRoot) {
  testsupport::CTestCa unknown("Unknown CA");
  SIssued leaf = unknown.IssueLeaf(LeafFor({"dot.example.test"}));
  EXPECT_EQ(VerifyServerCertificate(ContextOf(leaf), L"dot.example.test"), 0x800B0109u);
  // Sending the unknown root along does not make it trusted.
  EXPECT_EQ(VerifyServerCertificate(ContextOf(leaf, {&unknown.Certificate()}), L"dot.example.test"), 0x800B0109u);
}

TEST(VerifyServerCertificate, IntermediateMustBeSent) {
  auto intermediate = TrustedCa().MakeIntermediate("Intermediate");
  SIssued leaf = intermediate->IssueLeaf(LeafFor({"dot.example.test"}));
  EXPECT_EQ(VerifyServerCertificate(ContextOf(leaf, {&intermediate->Certificate()}), L"dot.example.test"), 0u);
  EXPECT_EQ(VerifyServerCertificate(ContextOf(leaf), L"dot.example.test"), 0x800B0109u);
}

TEST(VerifyServerCertificate, RevokedByACrlInTheTrustList) {
  testsupport::CTestCa ca("Revoking CA");
  SIssued revoked = ca.IssueLeaf(LeafFor({"dot.example.test"}));
  SIssued kept = ca.IssueLeaf(LeafFor({"dot.example.test"}));
  std::string error;
  ASSERT_TRUE(platform::AddTrustedCertificates(ca.Certificate().certificatePem, error)) << error;
  ASSERT_TRUE(platform::AddTrustedCertificates(ca.RevocationListPem({revoked}), error)) << error;
  EXPECT_EQ(VerifyServerCertificate(ContextOf(revoked), L"dot.example.test"), 0x800B010Cu);
  EXPECT_EQ(VerifyServerCertificate(ContextOf(kept), L"dot.example.test"), 0u);
}

TEST(VerifyServerCertificate, EmptyNameOrNoCertificateRefusedBeforeAnyChain) {
  // An undecodable certificate would fail the chain with 0x800B010B.
  auto garbage = std::make_shared<platform::CertificateContext>();
  garbage->der = {0x30, 0x03, 0x02, 0x01, 0x00};
  EXPECT_EQ(VerifyServerCertificate(garbage, L""), 0x80090322u);
  EXPECT_EQ(VerifyServerCertificate(garbage, L"dot.example.test"), 0x800B010Bu);
  EXPECT_EQ(VerifyServerCertificate(nullptr, L"dot.example.test"), 0x80090322u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(VerifyServerCertificateQuic(nullptr, L""), 0x80090322u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(VerifyServerCertificate, QuicVariantPrintsThePolicyError) {
  SIssued leaf = TrustedCa().IssueLeaf(LeafFor({"dot.example.test"}));
  testing::internal::CaptureStdout();
  EXPECT_EQ(VerifyServerCertificateQuic(ContextOf(leaf), L"other.example.test"), 0x800B010Fu);
  EXPECT_EQ(VerifyServerCertificateQuic(ContextOf(leaf), L"dot.example.test"), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error 0x800b010f (CERT_E_CN_NO_MATCH) returned by CertVerifyCertificateChainPolicy!\n");
  EXPECT_STREQ(CertificateErrorName(0x800B0110), "CERT_E_WRONG_USAGE");
  EXPECT_STREQ(CertificateErrorName(0x800B0111), "(unknown)");
}

TEST(VerifyServerCertificate, FailureTextsCarryTheSystemMessage) {
  EXPECT_EQ(FormatSystemError(0x800B010F), L"800b010f (The certificate's CN name does not match the passed value)");
  EXPECT_NE(FormatSystemError(0x80090322).find(L"principal"), std::wstring::npos);
  EXPECT_NE(FormatSystemError(0x80090330).find(L"decrypted"), std::wstring::npos);
}

TEST(LoadPeerCertificates, KeepsTheLeafFirstAndEverySentCertificate) {
  auto intermediate = TrustedCa().MakeIntermediate("Intermediate");
  SIssued leaf = intermediate->IssueLeaf(LeafFor({"dot.example.test"}));
  uint32_t error = 1;
  PCertificateContext context =
      LoadPeerCertificates({leaf.der, intermediate->Certificate().der, intermediate->Certificate().der}, &error);
  ASSERT_TRUE(context);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(context->der, leaf.der);
  EXPECT_EQ(context->store.size(), 2u);

  EXPECT_FALSE(LoadPeerCertificates({}, &error));
  EXPECT_EQ(error, 87u);
  EXPECT_FALSE(LoadPeerCertificates({leaf.der, {0x30, 0x82, 0xff}}, &error));
  EXPECT_EQ(error, 0x8009310Bu);
}

}  // namespace
