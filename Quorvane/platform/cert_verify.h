// Certificate chains and the server-authentication policy (in place of
// CryptoAPI's chain engine and its SSL policy), on one process-wide GnuTLS
// trust list: the system store, plus what tests or the harness add through
// AddTrustedCertificates. Revocation uses only the CRLs in that list; nothing
// is fetched. Verification uses the real time of day.
// Certificates travel as owned DER bytes (a "context": the certificate and
// the certificates sent with it), so no GnuTLS object leaves this file.
// Threads: any; the trust list is read under a shared lock and written under
// an exclusive one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace platform {

using DerCertificate = std::vector<uint8_t>;

// A decoded certificate with the store it came in (CERT_CONTEXT and its
// hCertStore): store holds every certificate the peer sent, der included.
struct CertificateContext {
  DerCertificate der;
  std::vector<DerCertificate> store;
};

// Chain and policy results, as the chain engine reports them.
constexpr uint32_t CERT_E_EXPIRED = 0x800B0101;
constexpr uint32_t CERT_E_UNTRUSTEDROOT = 0x800B0109;
constexpr uint32_t TRUST_E_FAIL = 0x800B010B;
constexpr uint32_t CERT_E_REVOKED = 0x800B010C;
constexpr uint32_t CERT_E_CN_NO_MATCH = 0x800B010F;
constexpr uint32_t CERT_E_WRONG_USAGE = 0x800B0110;
constexpr uint32_t SEC_E_WRONG_PRINCIPAL = 0x80090322;
constexpr uint32_t CRYPT_E_ASN1_BADTAG = 0x8009310B;

// The usages of which a certificate with an extended-key-usage extension
// must carry one: server authentication and the two server-gated OIDs.
extern const char* const kServerUsageOids[3];

// True when der is one X.509 certificate GnuTLS can decode.
bool IsCertificateDecodable(const DerCertificate& der);

// The context's chain sorted from its certificate: each next element is the
// issuer of the one before, found among the sent certificates, ending at a
// self-issued one or where no issuer was sent; then the trust list's anchor
// for the last one, when it holds one that is not already there. False when
// the certificate cannot be decoded.
bool BuildCertificateChain(const CertificateContext& context, std::vector<DerCertificate>& chain);

// Verifies the sorted chain against the trust list for hostName (DNS name,
// or an IPv4/IPv6 literal checked against the IP addresses in the
// certificate). 0 when trusted, else the first that applies of:
// CERT_E_UNTRUSTEDROOT, CERT_E_EXPIRED (also not yet valid), CERT_E_REVOKED,
// CERT_E_WRONG_USAGE, CERT_E_CN_NO_MATCH, TRUST_E_FAIL (anything else, an
// undecodable certificate included).
uint32_t VerifyCertificateChain(const CertificateContext& context, const std::string& hostName);

// SHA-256 of the bytes.
std::vector<uint8_t> Sha256(const uint8_t* data, size_t length);

// The test-CA hook: adds the PEM or DER certificates (and CRLs, in PEM) to
// the process-wide trust list. False with a reason when none could be read.
bool AddTrustedCertificates(const std::string& data, std::string& error);
bool AddTrustedCertificatesFile(const std::filesystem::path& path, std::string& error);
// The PEM certificates the hook has added so far, for verifiers that keep
// their own trust (the HTTP stand-in).
std::string AddedTrustedCertificatesPem();

}  // namespace platform
