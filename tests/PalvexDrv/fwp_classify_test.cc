// The shared classification cases on the simulated backend.
#include "PalvexDrv/kernel/kernel_sim.h"
#include "tests/PalvexDrv/fwp_classify_cases.h"

namespace fwpcases {

bool ClassifyConnectTo(uint16_t port) {
  ksim::SPacket packet;
  packet.layerId = FWPS_LAYER_ALE_AUTH_CONNECT_V4;
  packet.protocol = 6;
  const uint8_t local[4] = {127, 0, 0, 1}, remote[4] = {127, 0, 0, 2};
  std::memcpy(packet.localAddress, local, 4);
  std::memcpy(packet.remoteAddress, remote, 4);
  packet.localPort = 40000;
  packet.remotePort = port;
  return ksim::Classify(packet).action == FWP_ACTION_BLOCK;
}

TARNWICK_FWP_CLASSIFY_CASES(Simulated);

}  // namespace fwpcases
