// A TLS client connection in the shape SChannel gives it through SSPI
// (in place of AcquireCredentialsHandle, InitializeSecurityContext,
// EncryptMessage, DecryptMessage and the remote certificate attribute):
// bytes in, bytes out, statuses as SSPI reports them. Nothing here touches
// a socket.
// On GnuTLS with memory push and pull: one process-wide credential (never
// freed: GnuTLS credentials are not reference-counted), priority "NORMAL",
// no certificate verification in the handshake (the caller checks the
// remote certificate itself). No SNI for an empty name or an IP literal.
// Trap guarded: GnuTLS takes every byte handed to it and keeps partial and
// further records itself, so no call leaves "extra" input behind, and
// Decrypt drains every complete record it holds, not only the first.
// Threads: one thread at a time per channel; the credential is made once
// under a call_once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Quorvane/platform/cert_verify.h"

namespace platform {

// The process-wide credential: SEC_E_OK, or SEC_E_INSUFFICIENT_MEMORY (or
// another SEC_E_*) when it cannot be made.
uint32_t AcquireTlsCredentials();

// The one table from GnuTLS's fatal errors to SEC_E_* statuses.
uint32_t TlsStatusFromGnutls(int error);

class TlsChannel {
 public:
  TlsChannel();
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  bool HasContext() const;

  // The first handshake call: the client's first flight goes to output.
  // SEC_I_CONTINUE_NEEDED, or a SEC_E_* status.
  uint32_t Start(const std::string& serverName, std::vector<uint8_t>& output);
  // One handshake step over the received bytes (all taken). SEC_E_OK when
  // the handshake is done; SEC_I_CONTINUE_NEEDED when it waits with bytes in
  // output; SEC_E_INCOMPLETE_MESSAGE when it waits with nothing to send;
  // else a SEC_E_* status, output holding any alert for the server.
  uint32_t Handshake(const uint8_t* input, size_t length, std::vector<uint8_t>& output);
  // Encrypts the whole message into as many records as it needs.
  // SEC_E_OK, or SEC_E_INVALID_HANDLE before the handshake, or a SEC_E_*.
  uint32_t Encrypt(const uint8_t* data, size_t length, std::vector<uint8_t>& output);
  // Takes the received bytes and decrypts every complete record held,
  // appending plaintext; bytes a receive makes the channel write (a
  // KeyUpdate reply) go to output. SEC_E_OK when plaintext came;
  // SEC_I_CONTEXT_EXPIRED when the server closed (plaintext before the
  // close included); SEC_I_RENEGOTIATE when the server asks for a new
  // handshake; SEC_E_INCOMPLETE_MESSAGE when no plaintext came and no
  // record failed; else a SEC_E_* status.
  uint32_t Decrypt(const uint8_t* input, size_t length, std::vector<uint8_t>& plaintext,
                   std::vector<uint8_t>& output);
  // The certificates the server sent, its own first; false when none.
  bool RemoteCertificates(std::vector<DerCertificate>& certificates) const;
  // Bytes received and not yet read by GnuTLS.
  size_t PendingInput() const;

 private:
  struct SState;
  std::unique_ptr<SState> m_state;
};

}  // namespace platform
