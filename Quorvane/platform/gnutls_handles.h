// Owning handles for the GnuTLS objects of this folder.
#pragma once

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>
#include <type_traits>

namespace platform {

struct X509CrtDeleter {
  void operator()(gnutls_x509_crt_t crt) const { gnutls_x509_crt_deinit(crt); }
};
using X509CrtPtr = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, X509CrtDeleter>;

struct SessionDeleter {
  void operator()(gnutls_session_t session) const { gnutls_deinit(session); }
};
using SessionPtr = std::unique_ptr<std::remove_pointer_t<gnutls_session_t>, SessionDeleter>;

// Null when bytes are not one DER certificate.
X509CrtPtr ImportDerCertificate(const uint8_t* data, size_t length);

}  // namespace platform
