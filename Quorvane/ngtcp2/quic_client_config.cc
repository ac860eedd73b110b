#include "Quorvane/ngtcp2/quic_client_config.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <cstring>

std::mt19937 g_QuicRandom;
std::mutex g_QuicRandomMutex;

namespace {

std::mutex g_testEditMutex;
std::function<void(CQuicClientConfig&)> g_testEdit;  // under g_testEditMutex

// Seeded once before main, from the system's entropy.
const bool g_quicRandomSeeded = [] {
  std::random_device device;
  g_QuicRandom.seed(device());
  return true;
}();

constexpr uint64_t kSecond = 1'000'000'000;
constexpr uint64_t kMillisecond = 1'000'000;

}  // namespace

void QuicClientConfigDefaults(CQuicClientConfig& config) {
  config = CQuicClientConfig();
  config.groups = "X25519:P-256:P-384:P-521";
  config.version = 1;
  config.idleTimeout = 10 * kSecond;
  config.keyUpdateDelay = 60 * kSecond;
  config.maxData = 1024 * 1024;
  config.maxStreamDataBidiLocal = 256 * 1024;
  config.maxStreamDataBidiRemote = 256 * 1024;
  config.maxStreamDataUni = 256 * 1024;
  config.initialRtt = 333 * kMillisecond;
  config.maxUdpPayloadSize = 1200;
  config.handshakeTimeout = 10 * kSecond;
  config.pathMtuDiscovery = true;
  std::lock_guard lock(g_testEditMutex);
  if (g_testEdit) g_testEdit(config);
}

void SetQuicClientConfigForTesting(std::function<void(CQuicClientConfig&)> edit) {
  std::lock_guard lock(g_testEditMutex);
  g_testEdit = std::move(edit);
}

bool QuicRandomBytes(uint8_t* data, size_t length) {
  return gnutls_rnd(GNUTLS_RND_RANDOM, data, length) == 0;
}

int GenerateStaticSecret(uint8_t* secret, size_t length) {
  uint8_t seed[16];
  uint8_t digest[32];
  if (length > sizeof(digest) || !QuicRandomBytes(seed, sizeof(seed))) return -1;
  if (gnutls_hash_fast(GNUTLS_DIG_SHA256, seed, sizeof(seed), digest) != 0) return -1;
  std::memcpy(secret, digest, length);
  return 0;
}
