// The QUIC client's configuration record, its defaults and the process-wide
// random sources. Durations are in nanoseconds, ngtcp2's unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>

struct CQuicClientConfig {
  std::string groups;                   // "X25519:P-256:P-384:P-521"
  uint32_t version = 0;
  uint64_t idleTimeout = 0;
  uint64_t keyUpdateDelay = 0;
  uint64_t maxData = 0;                 // connection flow-control window
  uint64_t maxStreamDataBidiLocal = 0;
  uint64_t maxStreamDataBidiRemote = 0;
  uint64_t maxStreamDataUni = 0;
  uint64_t maxStreamsBidi = 0;          // streams the server may open
  uint8_t staticSecret[32] = {};
  uint64_t initialRtt = 0;
  size_t maxUdpPayloadSize = 0;
  uint64_t handshakeTimeout = 0;
  bool pathMtuDiscovery = false;
};

void QuicClientConfigDefaults(CQuicClientConfig& config);
// Tests shorten the client's times (idle, key update, handshake) or change
// its groups: the function edits every record QuicClientConfigDefaults
// fills. An empty function restores the defaults.
void SetQuicClientConfigForTesting(std::function<void(CQuicClientConfig&)> edit);

// 0, or -1 when the system's random source fails.
int GenerateStaticSecret(uint8_t* secret, size_t length);

// Random bytes from the system (in place of RAND_bytes); false on failure.
bool QuicRandomBytes(uint8_t* data, size_t length);

// One generator for every client; ngtcp2's rand callbacks of different
// clients run on different threads at the same time.
extern std::mt19937 g_QuicRandom;
extern std::mutex g_QuicRandomMutex;
