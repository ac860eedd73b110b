#include "Quorvane/transports/server_certificate.h"

#include <cstdio>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/system_errors.h"

namespace {

struct SErrorName {
  uint32_t code;
  const char* name;
};

constexpr SErrorName kErrorNames[] = {
    {0x800B0101, "CERT_E_EXPIRED"},          {0x800B0102, "CERT_E_VALIDITYPERIODNESTING"},
    {0x800B0103, "CERT_E_ROLE"},             {0x800B0104, "CERT_E_PATHLENCONST"},
    {0x800B0105, "CERT_E_CRITICAL"},         {0x800B0106, "CERT_E_PURPOSE"},
    {0x800B0107, "CERT_E_ISSUERCHAINING"},   {0x800B0108, "CERT_E_MALFORMED"},
    {0x800B0109, "CERT_E_UNTRUSTEDROOT"},    {0x800B010A, "CERT_E_CHAINING"},
    {0x800B010B, "TRUST_E_FAIL"},            {0x800B010C, "CERT_E_REVOKED"},
    {0x800B010D, "CERT_E_UNTRUSTEDTESTROOT"}, {0x800B010E, "CERT_E_REVOCATION_FAILURE"},
    {0x800B010F, "CERT_E_CN_NO_MATCH"},      {0x800B0110, "CERT_E_WRONG_USAGE"},
};

}  // namespace

const char* CertificateErrorName(uint32_t code) {
  for (const SErrorName& row : kErrorNames) {
    if (row.code == code) return row.name;
  }
  return "(unknown)";
}

uint32_t VerifyServerCertificate(const PCertificateContext& certificate, const std::wstring& name) {
  if (!certificate || name.empty()) return platform::SEC_E_WRONG_PRINCIPAL;
  return platform::VerifyCertificateChain(*certificate, WideToUtf8(name));
}

uint32_t VerifyServerCertificateQuic(const PCertificateContext& certificate, const std::wstring& name) {
  uint32_t error = VerifyServerCertificate(certificate, name);
  // The empty-name refusal comes before the policy, so it prints nothing.
  if (error != 0 && error != platform::SEC_E_WRONG_PRINCIPAL) {
    std::printf("Error 0x%x (%s) returned by CertVerifyCertificateChainPolicy!\n", error, CertificateErrorName(error));
    std::fflush(stdout);
  }
  return error;
}

PCertificateContext LoadPeerCertificates(const std::vector<std::vector<uint8_t>>& certificates, uint32_t* error) {
  auto fail = [error](uint32_t code) {
    if (error) *error = code;
    return PCertificateContext();
  };
  if (certificates.empty()) return fail(platform::ERROR_INVALID_PARAMETER);
  auto context = std::make_shared<platform::CertificateContext>();
  for (const std::vector<uint8_t>& der : certificates) {
    if (!platform::IsCertificateDecodable(der)) return fail(platform::CRYPT_E_ASN1_BADTAG);
    bool known = false;
    for (const auto& held : context->store) known = known || held == der;
    if (!known) context->store.push_back(der);
  }
  context->der = certificates.front();
  if (error) *error = 0;
  return context;
}
