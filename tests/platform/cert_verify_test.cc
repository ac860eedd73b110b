#include "Quorvane/platform/cert_verify.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temp_folder.h"
#include "tests/support/test_ca.h"

namespace {

using testsupport::CTestCa;
using testsupport::SIssued;

TEST(CertVerify, ChainIsSortedFromTheLeafAndEndsAtTheTrustedAnchor) {
  CTestCa root("Chain Root");
  auto upper = root.MakeIntermediate("Chain Upper");
  auto lower = upper->MakeIntermediate("Chain Lower");
  testsupport::SLeafOptions options;
  options.dnsNames = {"chain.test"};
  SIssued leaf = lower->IssueLeaf(options);
  // Sent out of order, with a stranger among them.
  CTestCa stranger("Stranger");
  platform::CertificateContext context{
      leaf.der, {leaf.der, upper->Certificate().der, stranger.Certificate().der, lower->Certificate().der}};

  std::vector<platform::DerCertificate> chain;
  ASSERT_TRUE(platform::BuildCertificateChain(context, chain));
  EXPECT_EQ(chain, (std::vector<platform::DerCertificate>{leaf.der, lower->Certificate().der, upper->Certificate().der}));
  EXPECT_EQ(platform::VerifyCertificateChain(context, "chain.test"), platform::CERT_E_UNTRUSTEDROOT);

  // Trusted through a file, as the harness's --trust-ca does.
  testsupport::TempFolder folder;
  std::filesystem::path file = folder.Path() / "ca.pem";
  {
    std::ofstream(file) << root.Certificate().certificatePem;
  }
  std::string error;
  ASSERT_TRUE(platform::AddTrustedCertificatesFile(file, error)) << error;
  ASSERT_TRUE(platform::BuildCertificateChain(context, chain));
  ASSERT_EQ(chain.size(), 4u);
  EXPECT_EQ(chain.back(), root.Certificate().der);
  EXPECT_EQ(platform::VerifyCertificateChain(context, "chain.test"), 0u);

  EXPECT_FALSE(platform::BuildCertificateChain(platform::CertificateContext{{0x30, 0x00}, {}}, chain));
}

TEST(CertVerify, TrustFileErrors) {
  std::string error;
  EXPECT_FALSE(platform::AddTrustedCertificatesFile("/nonexistent/ca.pem", error));
  EXPECT_NE(error.find("/nonexistent/ca.pem"), std::string::npos);
  EXPECT_FALSE(platform::AddTrustedCertificates("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n", error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
