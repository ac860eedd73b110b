#include "tests/support/test_ca.h"

#include <arpa/inet.h>
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <atomic>
#include <ctime>
#include <stdexcept>

namespace testsupport {
namespace {

void Check(int rc, const char* what) {
  if (rc < 0) throw std::runtime_error(std::string(what) + ": " + gnutls_strerror(rc));
}

gnutls_x509_privkey_t GenerateKey(EKeyType type) {
  gnutls_x509_privkey_t key;
  Check(gnutls_x509_privkey_init(&key), "privkey_init");
  switch (type) {
    case EKeyType::Rsa:
      Check(gnutls_x509_privkey_generate(key, GNUTLS_PK_RSA, 2048, 0), "generate rsa");
      break;
    case EKeyType::EcdsaP256:
      Check(gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0),
            "generate ecdsa");
      break;
    case EKeyType::Ed25519:
      Check(gnutls_x509_privkey_generate(key, GNUTLS_PK_EDDSA_ED25519, 256, 0), "generate ed25519");
      break;
  }
  return key;
}

SIssued Describe(gnutls_x509_crt_t crt, gnutls_x509_privkey_t key) {
  SIssued issued;
  gnutls_datum_t out{};
  Check(gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &out), "export der");
  issued.der.assign(out.data, out.data + out.size);
  gnutls_free(out.data);
  Check(gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &out), "export pem");
  issued.certificatePem.assign(reinterpret_cast<char*>(out.data), out.size);
  gnutls_free(out.data);
  // PKCS #8: the one PEM form every key type (Ed25519 included) is read back from.
  Check(gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN, &out), "export key");
  issued.keyPem.assign(reinterpret_cast<char*>(out.data), out.size);
  gnutls_free(out.data);
  return issued;
}

void SetSerial(gnutls_x509_crt_t crt) {
  static std::atomic<uint32_t> counter{1};
  uint32_t serial = htonl(static_cast<uint32_t>(time(nullptr) & 0xffff) << 12 | (counter++ & 0xfff));
  Check(gnutls_x509_crt_set_serial(crt, &serial, sizeof serial), "serial");
}

void SetKeyIds(gnutls_x509_crt_t crt, gnutls_x509_privkey_t key) {
  unsigned char id[64];
  size_t size = sizeof id;
  Check(gnutls_x509_privkey_get_key_id(key, 0, id, &size), "key id");
  Check(gnutls_x509_crt_set_subject_key_id(crt, id, size), "subject key id");
}

}  // namespace

struct CTestCa::SKeys {
  gnutls_x509_privkey_t key = nullptr;
  gnutls_x509_crt_t crt = nullptr;
  ~SKeys() {
    if (crt) gnutls_x509_crt_deinit(crt);
    if (key) gnutls_x509_privkey_deinit(key);
  }
};

CTestCa::CTestCa(const std::string& commonName, EKeyType keyType) { Make(commonName, keyType, nullptr, 30); }

CTestCa::~CTestCa() = default;

void CTestCa::Make(const std::string& commonName, EKeyType keyType, const SKeys* issuer, int days) {
  m_keys = std::make_unique<SKeys>();
  m_keys->key = GenerateKey(keyType);
  Check(gnutls_x509_crt_init(&m_keys->crt), "crt_init");
  gnutls_x509_crt_t crt = m_keys->crt;
  Check(gnutls_x509_crt_set_version(crt, 3), "version");
  SetSerial(crt);
  Check(gnutls_x509_crt_set_dn(crt, ("CN=" + commonName).c_str(), nullptr), "dn");
  Check(gnutls_x509_crt_set_key(crt, m_keys->key), "key");
  Check(gnutls_x509_crt_set_activation_time(crt, time(nullptr) - 7200), "activation");
  Check(gnutls_x509_crt_set_expiration_time(crt, time(nullptr) + days * 86400), "expiration");
  Check(gnutls_x509_crt_set_basic_constraints(crt, 1, -1), "constraints");
  Check(gnutls_x509_crt_set_key_usage(crt, GNUTLS_KEY_KEY_CERT_SIGN | GNUTLS_KEY_CRL_SIGN), "usage");
  SetKeyIds(crt, m_keys->key);
  const SKeys& signer = issuer ? *issuer : *m_keys;
  Check(gnutls_x509_crt_sign2(crt, signer.crt, signer.key, GNUTLS_DIG_SHA256, 0), "sign");
  m_self = Describe(crt, m_keys->key);
}

std::unique_ptr<CTestCa> CTestCa::MakeIntermediate(const std::string& commonName, EKeyType keyType) const {
  std::unique_ptr<CTestCa> ca(new CTestCa());
  ca->Make(commonName, keyType, m_keys.get(), 20);
  return ca;
}
SIssued CTestCa::IssueLeaf(const SLeafOptions& options) const {
  gnutls_x509_privkey_t key = GenerateKey(options.keyType);
  gnutls_x509_crt_t crt;
  Check(gnutls_x509_crt_init(&crt), "crt_init");
  struct SFree {
    gnutls_x509_crt_t crt;
    gnutls_x509_privkey_t key;
    ~SFree() {
      gnutls_x509_crt_deinit(crt);
      gnutls_x509_privkey_deinit(key);
    }
  } owned{crt, key};
  Check(gnutls_x509_crt_set_version(crt, 3), "version");
  SetSerial(crt);
  Check(gnutls_x509_crt_set_dn(crt, ("CN=" + options.commonName).c_str(), nullptr), "dn");
  Check(gnutls_x509_crt_set_key(crt, key), "key");
  Check(gnutls_x509_crt_set_activation_time(crt, time(nullptr) + options.notBefore), "activation");
  Check(gnutls_x509_crt_set_expiration_time(crt, time(nullptr) + options.notAfter), "expiration");
  for (const std::string& name : options.dnsNames) {
    Check(gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, name.data(),
                                               static_cast<unsigned>(name.size()), GNUTLS_FSAN_APPEND),
          "dns san");
  }
  for (const std::string& text : options.ipAddresses) {
    unsigned char ip[16];
    unsigned size = 0;
    if (inet_pton(AF_INET, text.c_str(), ip) == 1) size = 4;
    else if (inet_pton(AF_INET6, text.c_str(), ip) == 1) size = 16;
    else throw std::runtime_error("bad IP address " + text);
    Check(gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, ip, size, GNUTLS_FSAN_APPEND), "ip san");
  }
  for (const std::string& oid : options.usages) Check(gnutls_x509_crt_set_key_purpose_oid(crt, oid.c_str(), 0), "eku");
  if (!options.compact) {
    Check(gnutls_x509_crt_set_basic_constraints(crt, 0, -1), "constraints");
    Check(gnutls_x509_crt_set_key_usage(crt, GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_KEY_ENCIPHERMENT), "usage");
    SetKeyIds(crt, key);
  }
  Check(gnutls_x509_crt_sign2(crt, m_keys->crt, m_keys->key, GNUTLS_DIG_SHA256, 0), "sign");
  return Describe(crt, key);
}

std::string CTestCa::RevocationListPem(const std::vector<SIssued>& revoked) const {
  gnutls_x509_crl_t crl;
  Check(gnutls_x509_crl_init(&crl), "crl_init");
  Check(gnutls_x509_crl_set_version(crl, 2), "crl version");
  Check(gnutls_x509_crl_set_this_update(crl, time(nullptr) - 60), "this update");
  Check(gnutls_x509_crl_set_next_update(crl, time(nullptr) + 86400), "next update");
  for (const SIssued& leaf : revoked) {
    gnutls_x509_crt_t crt;
    Check(gnutls_x509_crt_init(&crt), "crt_init");
    gnutls_datum_t datum{const_cast<uint8_t*>(leaf.der.data()), static_cast<unsigned>(leaf.der.size())};
    Check(gnutls_x509_crt_import(crt, &datum, GNUTLS_X509_FMT_DER), "import");
    Check(gnutls_x509_crl_set_crt(crl, crt, time(nullptr) - 60), "crl entry");
    gnutls_x509_crt_deinit(crt);
  }
  Check(gnutls_x509_crl_sign2(crl, m_keys->crt, m_keys->key, GNUTLS_DIG_SHA256, 0), "crl sign");
  gnutls_datum_t out{};
  Check(gnutls_x509_crl_export2(crl, GNUTLS_X509_FMT_PEM, &out), "crl export");
  std::string text(reinterpret_cast<char*>(out.data), out.size);
  gnutls_free(out.data);
  gnutls_x509_crl_deinit(crl);
  return text;
}

}  // namespace testsupport
