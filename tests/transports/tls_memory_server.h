// A GnuTLS server session over byte vectors, for driving the TLS layer and
// the TCP transport without sockets: the test carries bytes between the two
// sides itself, in whatever segments it wants.
#pragma once

#include <gnutls/gnutls.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/test_ca.h"

namespace testsupport {

class CTlsMemoryServer {
 public:
  // chainPem: the leaf's certificate followed by any intermediates.
  CTlsMemoryServer(const std::string& chainPem, const std::string& keyPem, const char* priority = "NORMAL") {
    gnutls_certificate_allocate_credentials(&m_credentials);
    gnutls_datum_t cert{reinterpret_cast<unsigned char*>(const_cast<char*>(chainPem.data())),
                        static_cast<unsigned>(chainPem.size())};
    gnutls_datum_t key{reinterpret_cast<unsigned char*>(const_cast<char*>(keyPem.data())),
                       static_cast<unsigned>(keyPem.size())};
    EXPECT_EQ(gnutls_certificate_set_x509_key_mem(m_credentials, &cert, &key, GNUTLS_X509_FMT_PEM), 0);
    gnutls_init(&m_session, GNUTLS_SERVER | GNUTLS_NONBLOCK);
    gnutls_priority_set_direct(m_session, priority, nullptr);
    gnutls_credentials_set(m_session, GNUTLS_CRD_CERTIFICATE, m_credentials);
    gnutls_session_ticket_key_generate(&m_ticketKey);
    gnutls_session_ticket_enable_server(m_session, &m_ticketKey);
    gnutls_transport_set_ptr(m_session, this);
    gnutls_transport_set_push_function(m_session, &Push);
    gnutls_transport_set_pull_function(m_session, &Pull);
    gnutls_transport_set_pull_timeout_function(m_session, &PullTimeout);
    gnutls_handshake_set_timeout(m_session, 0);
  }
  ~CTlsMemoryServer() {
    gnutls_deinit(m_session);
    gnutls_certificate_free_credentials(m_credentials);
    gnutls_free(m_ticketKey.data);
  }

  // Takes the client's bytes and runs the handshake as far as they go;
  // returns what the server writes. done turns true at its end.
  std::vector<uint8_t> Handshake(const std::vector<uint8_t>& fromClient, bool& done, int* error = nullptr) {
    m_in.insert(m_in.end(), fromClient.begin(), fromClient.end());
    int rc = gnutls_handshake(m_session);
    done = rc == 0;
    if (error) *error = rc == GNUTLS_E_AGAIN ? 0 : rc;
    return Take();
  }
  // Records carrying the bytes.
  std::vector<uint8_t> Send(const std::vector<uint8_t>& plain) {
    EXPECT_EQ(gnutls_record_send(m_session, plain.data(), plain.size()), static_cast<ssize_t>(plain.size()));
    return Take();
  }
  // Plaintext of every complete record the client sent.
  std::vector<uint8_t> Receive(const std::vector<uint8_t>& fromClient) {
    m_in.insert(m_in.end(), fromClient.begin(), fromClient.end());
    std::vector<uint8_t> plain;
    uint8_t buffer[16384];
    // A post-handshake message ends a read with AGAIN while records wait.
    for (int i = 0; i < 100; ++i) {
      ssize_t n = gnutls_record_recv(m_session, buffer, sizeof buffer);
      if (n > 0) plain.insert(plain.end(), buffer, buffer + n);
      else if (n != GNUTLS_E_AGAIN || m_in.empty()) break;
    }
    return plain;
  }
  std::vector<uint8_t> SendTickets(unsigned count) {
    EXPECT_EQ(gnutls_session_ticket_send(m_session, count, 0), 0);
    return Take();
  }
  // A TLS 1.3 KeyUpdate that asks the client to update its keys as well.
  std::vector<uint8_t> RequestKeyUpdate() {
    EXPECT_EQ(gnutls_session_key_update(m_session, GNUTLS_KU_PEER), 0);
    return Take();
  }
  std::vector<uint8_t> Close() {
    gnutls_bye(m_session, GNUTLS_SHUT_WR);
    return Take();
  }
  std::vector<uint8_t> Alert() {
    gnutls_alert_send(m_session, GNUTLS_AL_FATAL, GNUTLS_A_HANDSHAKE_FAILURE);
    return Take();
  }
  std::string ServerName() {
    char name[256];
    size_t size = sizeof name;
    unsigned type = 0;
    if (gnutls_server_name_get(m_session, name, &size, &type, 0) != 0) return {};
    return std::string(name, size);
  }
  gnutls_session_t Session() { return m_session; }

 private:
  static ssize_t Push(gnutls_transport_ptr_t self, const void* data, size_t size) {
    auto* server = static_cast<CTlsMemoryServer*>(self);
    const auto* bytes = static_cast<const uint8_t*>(data);
    server->m_out.insert(server->m_out.end(), bytes, bytes + size);
    return static_cast<ssize_t>(size);
  }
  static ssize_t Pull(gnutls_transport_ptr_t self, void* data, size_t size) {
    auto* server = static_cast<CTlsMemoryServer*>(self);
    if (server->m_in.empty()) {
      gnutls_transport_set_errno(server->m_session, EAGAIN);
      return -1;
    }
    size_t n = std::min(size, server->m_in.size());
    std::memcpy(data, server->m_in.data(), n);
    server->m_in.erase(server->m_in.begin(), server->m_in.begin() + static_cast<long>(n));
    return static_cast<ssize_t>(n);
  }
  static int PullTimeout(gnutls_transport_ptr_t self, unsigned int) {
    return static_cast<CTlsMemoryServer*>(self)->m_in.empty() ? 0 : 1;
  }
  std::vector<uint8_t> Take() {
    std::vector<uint8_t> out;
    out.swap(m_out);
    return out;
  }

  gnutls_certificate_credentials_t m_credentials = nullptr;
  gnutls_session_t m_session = nullptr;
  gnutls_datum_t m_ticketKey{};
  std::vector<uint8_t> m_in, m_out;
};

}  // namespace testsupport
