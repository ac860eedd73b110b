// The shared classification cases on the host's backend, without its
// netfilter side: the connect is handed over as the queue reader would.
#include "PalvexDrv/host/kernel_host.h"
#include "tests/PalvexDrv/fwp_classify_cases.h"

namespace fwpcases {

// Before any filter is added: no chain, queue or raw socket is ever set up.
const bool g_withoutNetfilter = [] {
  khost::SFilteringConfig config;
  config.netfilter = false;
  khost::ConfigureFiltering(config);
  return true;
}();

bool ClassifyConnectTo(uint16_t port) {
  // IPv4 (no options, DF) and a TCP header with SYN alone.
  uint8_t packet[40] = {0x45, 0, 0, 40, 0, 0, 0x40, 0, 64, 6, 0, 0, 127, 0, 0, 1, 127, 0, 0, 2,
                        0x9C, 0x40, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  packet[32] = 0x50;
  packet[33] = 0x02;
  SQueuedPacket queued;
  queued.data = packet;
  queued.length = sizeof packet;
  // A blocked connect is repeated with the block mark, for the chain to reset it.
  return khost::ClassifyQueuedPacket(queued) == EQueueVerdict::Repeat;
}

TARNWICK_FWP_CLASSIFY_CASES(Host);

}  // namespace fwpcases
