#include "Quorvane/platform/cert_verify.h"

#include <arpa/inet.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <shared_mutex>
#include <sstream>

#include <gnutls/crypto.h>

#include "Quorvane/platform/gnutls_handles.h"

namespace platform {

const char* const kServerUsageOids[3] = {"1.3.6.1.5.5.7.3.1", "1.3.6.1.4.1.311.10.3.3", "2.16.840.1.113730.4.1"};

X509CrtPtr ImportDerCertificate(const uint8_t* data, size_t length) {
  gnutls_x509_crt_t crt = nullptr;
  if (gnutls_x509_crt_init(&crt) < 0) return nullptr;
  X509CrtPtr owned(crt);
  gnutls_datum_t datum{const_cast<uint8_t*>(data), static_cast<unsigned>(length)};
  if (length == 0 || gnutls_x509_crt_import(crt, &datum, GNUTLS_X509_FMT_DER) < 0) return nullptr;
  return owned;
}

namespace {

struct STrust {
  std::shared_mutex mutex;
  gnutls_x509_trust_list_t list = nullptr;  // never freed: lives as long as the process
  std::string addedPem;  // under mutex
};

STrust& Trust() {
  static STrust* trust = [] {
    auto* t = new STrust;
    if (gnutls_x509_trust_list_init(&t->list, 0) == 0) {
      // A machine without a system store still verifies against added CAs.
      gnutls_x509_trust_list_add_system_trust(t->list, 0, 0);
    } else {
      t->list = nullptr;
    }
    return t;
  }();
  return *trust;
}

DerCertificate ExportDer(gnutls_x509_crt_t crt) {
  gnutls_datum_t out{};
  if (gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &out) < 0) return {};
  DerCertificate der(out.data, out.data + out.size);
  gnutls_free(out.data);
  return der;
}

std::vector<X509CrtPtr> SortedChain(const CertificateContext& context, gnutls_x509_trust_list_t list) {
  std::vector<X509CrtPtr> chain;
  X509CrtPtr leaf = ImportDerCertificate(context.der.data(), context.der.size());
  if (!leaf) return chain;
  std::vector<X509CrtPtr> sent;
  for (const DerCertificate& der : context.store) {
    if (X509CrtPtr crt = ImportDerCertificate(der.data(), der.size())) sent.push_back(std::move(crt));
  }
  chain.push_back(std::move(leaf));
  // Bounded by the sent list: each certificate joins at most once.
  while (!sent.empty()) {
    gnutls_x509_crt_t last = chain.back().get();
    if (gnutls_x509_crt_check_issuer(last, last)) break;
    auto issuer = sent.end();
    for (auto it = sent.begin(); it != sent.end(); ++it) {
      if (gnutls_x509_crt_equals(it->get(), last)) continue;
      if (gnutls_x509_crt_check_issuer(last, it->get())) {
        issuer = it;
        break;
      }
    }
    if (issuer == sent.end()) break;
    chain.push_back(std::move(*issuer));
    sent.erase(issuer);
  }
  gnutls_x509_crt_t last = chain.back().get();
  gnutls_x509_crt_t anchor = nullptr;
  if (list && gnutls_x509_trust_list_get_issuer(list, last, &anchor, GNUTLS_TL_GET_COPY) == 0 && anchor) {
    X509CrtPtr owned(anchor);
    if (!gnutls_x509_crt_equals(anchor, last)) chain.push_back(std::move(owned));
  }
  return chain;
}

// Without an extended-key-usage extension a certificate serves every usage.
bool HasServerUsage(gnutls_x509_crt_t crt) {
  bool hasExtension = false;
  for (unsigned i = 0;; ++i) {
    char oid[128];
    size_t size = sizeof oid;
    int rc = gnutls_x509_crt_get_key_purpose_oid(crt, i, oid, &size, nullptr);
    if (rc == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) break;
    if (rc < 0) return false;
    hasExtension = true;
    for (const char* usage : kServerUsageOids) {
      if (std::strcmp(oid, usage) == 0) return true;
    }
  }
  return !hasExtension;
}

bool MatchesName(gnutls_x509_crt_t crt, const std::string& hostName) {
  unsigned char ip[16];
  if (inet_pton(AF_INET, hostName.c_str(), ip) == 1) return gnutls_x509_crt_check_ip(crt, ip, 4, 0) != 0;
  if (inet_pton(AF_INET6, hostName.c_str(), ip) == 1) return gnutls_x509_crt_check_ip(crt, ip, 16, 0) != 0;
  return gnutls_x509_crt_check_hostname2(crt, hostName.c_str(), 0) != 0;
}

}  // namespace

std::vector<uint8_t> Sha256(const uint8_t* data, size_t length) {
  std::vector<uint8_t> digest(32);
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, data, length, digest.data()) < 0) return {};
  return digest;
}

bool IsCertificateDecodable(const DerCertificate& der) { return ImportDerCertificate(der.data(), der.size()) != nullptr; }

bool BuildCertificateChain(const CertificateContext& context, std::vector<DerCertificate>& chain) {
  STrust& trust = Trust();
  std::shared_lock lock(trust.mutex);
  std::vector<X509CrtPtr> sorted = SortedChain(context, trust.list);
  if (sorted.empty()) return false;
  chain.clear();
  for (const X509CrtPtr& crt : sorted) chain.push_back(ExportDer(crt.get()));
  return true;
}

uint32_t VerifyCertificateChain(const CertificateContext& context, const std::string& hostName) {
  STrust& trust = Trust();
  std::shared_lock lock(trust.mutex);
  std::vector<X509CrtPtr> sorted = SortedChain(context, trust.list);
  if (sorted.empty() || !trust.list) return TRUST_E_FAIL;
  std::vector<gnutls_x509_crt_t> list;
  for (const X509CrtPtr& crt : sorted) list.push_back(crt.get());
  unsigned status = 0;
  if (gnutls_x509_trust_list_verify_crt2(trust.list, list.data(), static_cast<unsigned>(list.size()), nullptr, 0, 0,
                                         &status, nullptr) < 0) {
    return TRUST_E_FAIL;
  }
  if (status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA)) return CERT_E_UNTRUSTEDROOT;
  if (status & (GNUTLS_CERT_EXPIRED | GNUTLS_CERT_NOT_ACTIVATED)) return CERT_E_EXPIRED;
  if (status & GNUTLS_CERT_REVOKED) return CERT_E_REVOKED;
  for (gnutls_x509_crt_t crt : list) {
    if (!HasServerUsage(crt)) return CERT_E_WRONG_USAGE;
  }
  if (!MatchesName(list.front(), hostName)) return CERT_E_CN_NO_MATCH;
  if (status != 0) return TRUST_E_FAIL;
  return 0;
}

bool AddTrustedCertificates(const std::string& data, std::string& error) {
  STrust& trust = Trust();
  std::unique_lock lock(trust.mutex);
  if (!trust.list) {
    error = "the trust list cannot be created";
    return false;
  }
  gnutls_datum_t datum{reinterpret_cast<unsigned char*>(const_cast<char*>(data.data())),
                       static_cast<unsigned>(data.size())};
  const bool pem = data.find("-----BEGIN") != std::string::npos;
  int added = 0;
  if (!pem || data.find("-----BEGIN CERTIFICATE") != std::string::npos) {
    added = gnutls_x509_trust_list_add_trust_mem(trust.list, &datum, nullptr,
                                                 pem ? GNUTLS_X509_FMT_PEM : GNUTLS_X509_FMT_DER, 0, 0);
    if (added < 0) {
      error = gnutls_strerror(added);
      return false;
    }
  }
  if (pem && data.find("-----BEGIN X509 CRL") != std::string::npos) {
    gnutls_x509_crl_t* crls = nullptr;
    unsigned count = 0;
    int rc = gnutls_x509_crl_list_import2(&crls, &count, &datum, GNUTLS_X509_FMT_PEM, 0);
    if (rc < 0) {
      error = gnutls_strerror(rc);
      return false;
    }
    // The list takes the CRLs it accepts and frees the others.
    rc = gnutls_x509_trust_list_add_crls(trust.list, crls, count, 0, 0);
    gnutls_free(crls);
    if (rc < 0) {
      error = gnutls_strerror(rc);
      return false;
    }
    added += rc;
  }
  if (added == 0) {
    error = "no certificate found";
    return false;
  }
  if (pem) trust.addedPem += data + "\n";
  return true;
}

std::string AddedTrustedCertificatesPem() {
  STrust& trust = Trust();
  std::shared_lock lock(trust.mutex);
  return trust.addedPem;
}

bool AddTrustedCertificatesFile(const std::filesystem::path& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path.string();
    return false;
  }
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return AddTrustedCertificates(data, error);
}

}  // namespace platform
