// In place of WinINet's OpenURL: one HTTP(S) GET that bypasses every cache
// and reads no body. libcurl with GnuTLS underneath; server certificates are
// checked against the system store plus whatever the test-CA hook added
// (AddTrustedCertificates). Any thread; each call has its own handle.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct SHttpGetResult {
  int error = 0;        // CURLcode; 0 when the server answered
  std::string text;     // curl's text for the error, without a trailing "."
  long status = 0;      // HTTP status of the answer
};

// The GET gives up after timeoutMs (connect and transfer together).
SHttpGetResult HttpGetNoBody(const std::string& url, uint32_t timeoutMs);

}  // namespace platform
