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

struct SHttpGetOptions {
  size_t maxBody = 0;           // bytes kept at most; the transfer stops there
  uint32_t connectTimeoutMs = 30000;
  uint32_t totalTimeoutMs = 60000;
};

struct SHttpBodyResult : SHttpGetResult {
  int64_t contentLength = -1;  // of the final answer; -1 when it named none
  std::string body;            // at most maxBody bytes
};

// One GET of an http:// or https:// URL (redirects followed, within those
// two schemes), proxy from the environment, peer verified, caches bypassed
// and no Accept-Encoding, so the body's length is the announced one.
// Stopping at maxBody and a body shorter than its Content-Length
// (CURLE_PARTIAL_FILE) are answers, not transfer failures: the caller
// compares the lengths. Another scheme gives CURLE_UNSUPPORTED_PROTOCOL.
SHttpBodyResult HttpGet(const std::string& url, const SHttpGetOptions& options);
// The error of a URL whose scheme (or redirect's scheme) is neither of the
// two, or that is no URL at all.
bool IsUnsupportedScheme(int error);

}  // namespace platform
