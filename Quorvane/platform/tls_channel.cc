#include "Quorvane/platform/tls_channel.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "Quorvane/platform/gnutls_handles.h"
#include "Quorvane/platform/system_errors.h"

namespace platform {
namespace {

gnutls_certificate_credentials_t g_credentials = nullptr;  // written once, under the call_once
int g_credentialsError = 0;

struct SStatusRow {
  int error;
  uint32_t status;
};

constexpr SStatusRow kStatusRows[] = {
    {GNUTLS_E_MEMORY_ERROR, SEC_E_INSUFFICIENT_MEMORY},
    {GNUTLS_E_INVALID_REQUEST, SEC_E_INVALID_HANDLE},
    {GNUTLS_E_INVALID_SESSION, SEC_E_INVALID_HANDLE},
    {GNUTLS_E_DECRYPTION_FAILED, SEC_E_DECRYPT_FAILURE},
    {GNUTLS_E_UNEXPECTED_PACKET, SEC_E_ILLEGAL_MESSAGE},
    {GNUTLS_E_UNEXPECTED_PACKET_LENGTH, SEC_E_ILLEGAL_MESSAGE},
    {GNUTLS_E_UNEXPECTED_HANDSHAKE_PACKET, SEC_E_ILLEGAL_MESSAGE},
    {GNUTLS_E_UNSUPPORTED_VERSION_PACKET, SEC_E_ILLEGAL_MESSAGE},
    {GNUTLS_E_RECORD_OVERFLOW, SEC_E_ILLEGAL_MESSAGE},
    {GNUTLS_E_FATAL_ALERT_RECEIVED, SEC_E_ILLEGAL_MESSAGE},
    {GNUTLS_E_RECEIVED_ILLEGAL_PARAMETER, SEC_E_ILLEGAL_MESSAGE},
    {GNUTLS_E_RECEIVED_ILLEGAL_EXTENSION, SEC_E_ILLEGAL_MESSAGE},
    {GNUTLS_E_ERROR_IN_FINISHED_PACKET, SEC_E_MESSAGE_ALTERED},
    {GNUTLS_E_PK_SIG_VERIFY_FAILED, SEC_E_MESSAGE_ALTERED},
    {GNUTLS_E_NO_CIPHER_SUITES, SEC_E_ALGORITHM_MISMATCH},
    {GNUTLS_E_UNKNOWN_CIPHER_SUITE, SEC_E_ALGORITHM_MISMATCH},
    {GNUTLS_E_INSUFFICIENT_CREDENTIALS, SEC_E_ALGORITHM_MISMATCH},
    {GNUTLS_E_NO_COMMON_KEY_SHARE, SEC_E_ALGORITHM_MISMATCH},
    {GNUTLS_E_CERTIFICATE_ERROR, SEC_E_CERT_UNKNOWN},
    {GNUTLS_E_ENCRYPTION_FAILED, SEC_E_ENCRYPT_FAILURE},
};

bool IsAddressLiteral(const std::string& name) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, name.c_str(), buffer) == 1 || inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

}  // namespace

uint32_t TlsStatusFromGnutls(int error) {
  for (const SStatusRow& row : kStatusRows) {
    if (row.error == error) return row.status;
  }
  return SEC_E_INTERNAL_ERROR;
}

uint32_t AcquireTlsCredentials() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_credentialsError = gnutls_certificate_allocate_credentials(&g_credentials);
    if (g_credentialsError < 0) g_credentials = nullptr;
  });
  return g_credentials ? SEC_E_OK : TlsStatusFromGnutls(g_credentialsError);
}

struct TlsChannel::SState {
  SessionPtr session;
  std::vector<uint8_t> input;  // received, not yet pulled
  size_t inputPos = 0;
  std::vector<uint8_t>* output = nullptr;  // where pushed bytes go during a call
  bool handshakeDone = false;

  static ssize_t Push(gnutls_transport_ptr_t self, const void* data, size_t size) {
    auto* state = static_cast<SState*>(self);
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (state->output) state->output->insert(state->output->end(), bytes, bytes + size);
    return static_cast<ssize_t>(size);
  }

  static ssize_t Pull(gnutls_transport_ptr_t self, void* data, size_t size) {
    auto* state = static_cast<SState*>(self);
    size_t available = state->input.size() - state->inputPos;
    if (available == 0) {
      gnutls_transport_set_errno(state->session.get(), EAGAIN);
      return -1;
    }
    size_t n = std::min(size, available);
    std::memcpy(data, state->input.data() + state->inputPos, n);
    state->inputPos += n;
    if (state->inputPos == state->input.size()) {
      state->input.clear();
      state->inputPos = 0;
    }
    return static_cast<ssize_t>(n);
  }

  // Without this, GnuTLS polls the transport pointer as a descriptor.
  static int PullTimeout(gnutls_transport_ptr_t self, unsigned int) {
    auto* state = static_cast<SState*>(self);
    return state->input.size() > state->inputPos ? 1 : 0;
  }

  size_t PendingInput() const { return input.size() - inputPos; }

  void Feed(const uint8_t* data, size_t length) {
    if (length) input.insert(input.end(), data, data + length);
  }

  // Runs one handshake call with pushed bytes going to out.
  uint32_t Step(std::vector<uint8_t>& out) {
    output = &out;
    const size_t before = out.size();
    int rc;
    do {
      rc = gnutls_handshake(session.get());
    } while (rc == GNUTLS_E_INTERRUPTED || rc == GNUTLS_E_WARNING_ALERT_RECEIVED);
    output = nullptr;
    if (rc == 0) {
      handshakeDone = true;
      return SEC_E_OK;
    }
    if (rc == GNUTLS_E_AGAIN) return out.size() > before ? SEC_I_CONTINUE_NEEDED : SEC_E_INCOMPLETE_MESSAGE;
    return TlsStatusFromGnutls(rc);
  }
};

TlsChannel::TlsChannel() : m_state(std::make_unique<SState>()) {}
TlsChannel::~TlsChannel() = default;

bool TlsChannel::HasContext() const { return m_state->session != nullptr; }

uint32_t TlsChannel::Start(const std::string& serverName, std::vector<uint8_t>& output) {
  if (m_state->session) return SEC_E_INVALID_HANDLE;
  uint32_t status = AcquireTlsCredentials();
  if (status != SEC_E_OK) return status;
  gnutls_session_t session = nullptr;
  int rc = gnutls_init(&session, GNUTLS_CLIENT | GNUTLS_NONBLOCK);
  if (rc < 0) return TlsStatusFromGnutls(rc);
  m_state->session.reset(session);
  if ((rc = gnutls_priority_set_direct(session, "NORMAL", nullptr)) < 0 ||
      (rc = gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, g_credentials)) < 0) {
    return TlsStatusFromGnutls(rc);
  }
  if (!serverName.empty() && !IsAddressLiteral(serverName)) {
    rc = gnutls_server_name_set(session, GNUTLS_NAME_DNS, serverName.data(), serverName.size());
    if (rc < 0) return TlsStatusFromGnutls(rc);
  }
  gnutls_transport_set_ptr(session, m_state.get());
  gnutls_transport_set_push_function(session, &SState::Push);
  gnutls_transport_set_pull_function(session, &SState::Pull);
  gnutls_transport_set_pull_timeout_function(session, &SState::PullTimeout);
  // The connection's idle expiry bounds a stalled handshake.
  gnutls_handshake_set_timeout(session, 0);
  status = m_state->Step(output);
  return status == SEC_E_INCOMPLETE_MESSAGE ? SEC_E_INTERNAL_ERROR : status;
}

uint32_t TlsChannel::Handshake(const uint8_t* input, size_t length, std::vector<uint8_t>& output) {
  if (!m_state->session) return SEC_E_INVALID_HANDLE;
  m_state->Feed(input, length);
  return m_state->Step(output);
}

uint32_t TlsChannel::Encrypt(const uint8_t* data, size_t length, std::vector<uint8_t>& output) {
  if (!m_state->session || !m_state->handshakeDone) return SEC_E_INVALID_HANDLE;
  const size_t maxRecord = std::max<size_t>(1, gnutls_record_get_max_size(m_state->session.get()));
  m_state->output = &output;
  uint32_t status = SEC_E_OK;
  size_t offset = 0;
  while (offset < length) {
    ssize_t sent = gnutls_record_send(m_state->session.get(), data + offset, std::min(maxRecord, length - offset));
    if (sent == GNUTLS_E_INTERRUPTED || sent == GNUTLS_E_AGAIN) continue;
    if (sent <= 0) {
      status = sent == 0 ? SEC_E_ENCRYPT_FAILURE : TlsStatusFromGnutls(static_cast<int>(sent));
      break;
    }
    offset += static_cast<size_t>(sent);
  }
  m_state->output = nullptr;
  return status;
}

uint32_t TlsChannel::Decrypt(const uint8_t* input, size_t length, std::vector<uint8_t>& plaintext,
                             std::vector<uint8_t>& output) {
  if (!m_state->session || !m_state->handshakeDone) return SEC_E_INVALID_HANDLE;
  m_state->Feed(input, length);
  m_state->output = &output;
  const size_t before = plaintext.size();
  uint32_t status = SEC_E_INCOMPLETE_MESSAGE;
  uint8_t buffer[16384];
  size_t pendingBefore = m_state->PendingInput() + 1;
  for (;;) {
    ssize_t n = gnutls_record_recv(m_state->session.get(), buffer, sizeof buffer);
    if (n > 0) {
      plaintext.insert(plaintext.end(), buffer, buffer + n);
      continue;
    }
    if (n == GNUTLS_E_INTERRUPTED || n == GNUTLS_E_WARNING_ALERT_RECEIVED) continue;
    // A post-handshake message (a ticket, a key update) also ends a read
    // with AGAIN, with more records still waiting behind it.
    if (n == GNUTLS_E_AGAIN && m_state->PendingInput() > 0 && m_state->PendingInput() < pendingBefore) {
      pendingBefore = m_state->PendingInput();
      continue;
    }
    if (n == GNUTLS_E_AGAIN) {
      status = plaintext.size() > before ? SEC_E_OK : SEC_E_INCOMPLETE_MESSAGE;
    } else if (n == 0) {
      status = SEC_I_CONTEXT_EXPIRED;
    } else if (n == GNUTLS_E_REHANDSHAKE) {
      m_state->handshakeDone = false;
      status = SEC_I_RENEGOTIATE;
    } else {
      status = TlsStatusFromGnutls(static_cast<int>(n));
    }
    break;
  }
  m_state->output = nullptr;
  return status;
}

bool TlsChannel::RemoteCertificates(std::vector<DerCertificate>& certificates) const {
  certificates.clear();
  if (!m_state->session) return false;
  unsigned count = 0;
  const gnutls_datum_t* list = gnutls_certificate_get_peers(m_state->session.get(), &count);
  if (!list || count == 0) return false;
  for (unsigned i = 0; i < count; ++i) certificates.emplace_back(list[i].data, list[i].data + list[i].size);
  return true;
}

size_t TlsChannel::PendingInput() const { return m_state->PendingInput(); }

}  // namespace platform
