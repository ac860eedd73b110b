// Certificates made at test time with GnuTLS's X.509 writer: a root CA,
// intermediates below it, and leaves with the names, IP addresses, usages,
// validity and key types a test asks for. Nothing is stored in the tree.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

enum class EKeyType { Rsa, EcdsaP256, Ed25519 };

struct SLeafOptions {
  std::string commonName = "leaf";
  std::vector<std::string> dnsNames;
  std::vector<std::string> ipAddresses;  // textual IPv4 or IPv6
  // Extended key usages; empty writes no such extension.
  std::vector<std::string> usages{"1.3.6.1.5.5.7.3.1"};
  // Validity relative to now, in seconds.
  int64_t notBefore = -3600;
  int64_t notAfter = 86400;
  EKeyType keyType = EKeyType::EcdsaP256;
  // No key identifiers or key-usage extension: the smallest leaf GnuTLS writes.
  bool compact = false;
};

struct SIssued {
  std::vector<uint8_t> der;
  std::string certificatePem;
  std::string keyPem;
};

class CTestCa {
 public:
  // A self-signed root.
  explicit CTestCa(const std::string& commonName, EKeyType keyType = EKeyType::EcdsaP256);
  ~CTestCa();
  CTestCa(const CTestCa&) = delete;
  CTestCa& operator=(const CTestCa&) = delete;

  // A CA signed by this one.
  std::unique_ptr<CTestCa> MakeIntermediate(const std::string& commonName,
                                            EKeyType keyType = EKeyType::EcdsaP256) const;
  SIssued IssueLeaf(const SLeafOptions& options) const;
  // A CRL of this CA revoking the given leaves, in PEM.
  std::string RevocationListPem(const std::vector<SIssued>& revoked) const;

  const SIssued& Certificate() const { return m_self; }

 private:
  struct SKeys;
  CTestCa() = default;
  void Make(const std::string& commonName, EKeyType keyType, const SKeys* issuer, int days);

  std::unique_ptr<SKeys> m_keys;
  SIssued m_self;
};

}  // namespace testsupport
