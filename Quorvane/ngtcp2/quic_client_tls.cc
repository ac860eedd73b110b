// The handshake's end: "doq" must have been selected, and the server's
// certificate must be in the verified-certificate cache under "quic";
// otherwise the connection closes and the certificate is checked on a thread
// of its own, for the next connection.
#include <gnutls/gnutls.h>
#include <gnutls/abstract.h>
#include <gnutls/x509.h>

#include <atomic>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "Quorvane/foundation/log.h"
#include "Quorvane/ngtcp2/quic_client.h"
#include "Quorvane/transports/certificate_cache.h"
#include "Quorvane/transports/processing_result.h"
#include "Quorvane/transports/server_certificate.h"

namespace {

constexpr const char* kCacheTag = "quic";

struct SQuicCertificateTask {
  std::vector<std::vector<uint8_t>> certificates;  // leaf first
  std::wstring hostName;
  std::vector<uint8_t> publicKey;                  // the leaf's SubjectPublicKeyInfo, DER
  std::vector<uint8_t> address;                    // the server's 128-byte address record
};

// False when the server sent no certificate.
bool CollectPeerCertificates(gnutls_session_t session, std::vector<std::vector<uint8_t>>& certificates,
                             std::vector<uint8_t>& publicKey) {
  unsigned count = 0;
  const gnutls_datum_t* peers = gnutls_certificate_get_peers(session, &count);
  if (!peers || count == 0) return false;
  for (unsigned i = 0; i < count; ++i) certificates.emplace_back(peers[i].data, peers[i].data + peers[i].size);
  gnutls_x509_crt_t leaf = nullptr;
  gnutls_pubkey_t key = nullptr;
  gnutls_datum_t spki{nullptr, 0};
  if (gnutls_x509_crt_init(&leaf) == 0 && gnutls_x509_crt_import(leaf, &peers[0], GNUTLS_X509_FMT_DER) == 0 &&
      gnutls_pubkey_init(&key) == 0 && gnutls_pubkey_import_x509(key, leaf, 0) == 0 &&
      gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &spki) == 0) {
    publicKey.assign(spki.data, spki.data + spki.size);
  }
  gnutls_free(spki.data);
  if (key) gnutls_pubkey_deinit(key);
  if (leaf) gnutls_x509_crt_deinit(leaf);
  return true;
}

void ValidateCertificate(SQuicCertificateTask task) {
  uint32_t error = 0;
  PCertificateContext leaf = LoadPeerCertificates(task.certificates, &error);
  if (leaf) error = VerifyServerCertificateQuic(leaf, task.hostName);
  if (error != 0) {
    CLogMessage()
        .Append(LogError, L"TLS certificate for ")
        .Append(LogError, task.hostName)
        .Append(LogError, L" is invalid: ")
        .Append(LogError, FormatSystemError(error));
    return;
  }
  GetCertificateCache().SetVerified(task.hostName, task.publicKey, task.address, kCacheTag);
  CLogMessage().Append(LogNormal, L"TLS certificate for ").Append(LogNormal, task.hostName).Append(LogNormal, L" is valid");
}

// The running checks. A check left running at exit would reach the cache,
// the trust list and GnuTLS's own state as they are destroyed, so this
// object, made after the cache and destroyed before it, waits for them.
class CCertificateChecks {
 public:
  // The cache, made first, is destroyed after this.
  CCertificateChecks() { GetCertificateCache(); }
  ~CCertificateChecks() {
    std::list<SCheck> running;
    {
      std::lock_guard lock(m_mutex);
      m_closed = true;
      running.swap(m_checks);
    }
    for (SCheck& check : running) check.thread.join();
  }

  void Start(SQuicCertificateTask task) {
    std::lock_guard lock(m_mutex);
    // A handshake ending while the program exits: nobody will use the result.
    if (m_closed) return;
    std::erase_if(m_checks, [](SCheck& check) {
      if (!check.done->load()) return false;
      check.thread.join();
      return true;
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([task = std::move(task), done]() mutable {
      ValidateCertificate(std::move(task));
      done->store(true);
    });
    m_checks.push_back({std::move(thread), std::move(done)});
  }

 private:
  struct SCheck {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex m_mutex;
  std::list<SCheck> m_checks;  // under m_mutex
  bool m_closed = false;       // under m_mutex
};

CCertificateChecks& CertificateChecks() {
  static CCertificateChecks checks;
  return checks;
}

}  // namespace

bool CQuicClient::CheckAlpn() {
  gnutls_datum_t selected{nullptr, 0};
  return gnutls_alpn_get_selected_protocol(m_session, &selected) == GNUTLS_E_SUCCESS && selected.size == 3 &&
         std::memcmp(selected.data, "doq", 3) == 0;
}

int CQuicClient::OnHandshakeCompleted() {
  CClientLock lock(this);
  // GnuTLS accepts a server that negotiated no protocol at all.
  if (!CheckAlpn()) {
    CLogMessage().Append(LogError, L"TLS handshake with ").Append(LogError, m_hostName).Append(LogError, L" did not select ALPN doq");
    return -1;
  }
  m_handshakeCompleted = true;
  CheckServerCertificate();
  const char* suite = gnutls_ciphersuite_get(m_session);
  CLogMessage().Append(LogDebug, L"Negotiated cipher suite is ").Append(LogDebug, suite ? suite : "(NONE)");
  gnutls_datum_t alpn{nullptr, 0};
  gnutls_alpn_get_selected_protocol(m_session, &alpn);
  CLogMessage()
      .Append(LogDebug, L"Negotiated ALPN is ")
      .Append(LogDebug, std::string(reinterpret_cast<const char*>(alpn.data), alpn.size));
  OpenStreams();
  return 0;
}

void CQuicClient::CheckServerCertificate() {
  SQuicCertificateTask task;
  CollectPeerCertificates(m_session, task.certificates, task.publicKey);
  // The key holds the full 128-byte record, padding included.
  const auto* address = reinterpret_cast<const uint8_t*>(&m_remoteAddress.address);
  task.address.assign(address, address + sizeof(m_remoteAddress.address));
  task.hostName = m_hostName;
  if (GetCertificateCache().GetVerifiedTime(task.hostName, task.publicKey, task.address, kCacheTag) != 0) return;
  CertificateChecks().Start(std::move(task));
  // Closed once the library has returned from this handshake.
  DisconnectLocked();
  CLogMessage().Append(LogVerbose, L"TLS certificate for ").Append(LogVerbose, m_hostName).Append(LogVerbose, L" will be validated");
}
