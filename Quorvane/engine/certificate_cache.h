// The process-wide cache of verified server certificates, which the TLS and
// QUIC transports fill. No transport of this build verifies certificates, so
// the cache stays empty and the worker's purge finds nothing.
#pragma once

#include <cstddef>
#include <cstdint>

class CCertificateCache {
 public:
  static constexpr int64_t kMaxAgeSeconds = 86400;
  // Erases entries whose last verification is older than kMaxAgeSeconds at
  // now (platform::TickSeconds); returns how many went.
  static size_t Purge(int64_t now);
};
