// Arbitrary bytes as a datagram of a diverted flow and as the packet of an
// InjectUdp, on a started driver over the simulated kernel. The first byte
// picks direction, family, injection state and how the platform's memory
// is cut. Nothing may crash, leak or read past a packet.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/device.h"
#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/kernel/kernel_sim.h"
#include "shared/driver_requests.h"

namespace {

constexpr uint64_t kFlowV4 = 1, kFlowV6 = 2;

template <typename T>
std::vector<uint8_t> Bytes(const T& record) {
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

ksim::SPacket At(uint16_t layer, uint64_t flow) {
  ksim::SPacket p;
  p.layerId = layer;
  p.localPort = 50000;
  p.appId = u"/usr/bin/dig";
  p.userSid = {1, 1, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0};
  p.processId = 777;
  p.flowHandle = flow;
  p.endpointHandle = 0xE9;
  return p;
}

ksim::CClient& Setup() {
  static ksim::CClient client;
  if (ksim::LoadDriver(DriverEntry) != STATUS_SUCCESS || client.Open() != 0) __builtin_trap();
  auto config = std::make_unique<DriverConfig>();
  std::memset(config.get(), 0, sizeof *config);
  config->size = sizeof *config;
  config->serviceProcessId = 4242;
  config->datagramFlags = kDatagramFlagAbsorb | kDatagramFlagQueryShape | kDatagramFlagAddressQueriesOnly;
  config->interceptOthers = 1;
  if (client.Call(IOCTL_PALVEX_SET_CONFIG, Bytes(*config)).status != STATUS_SUCCESS) __builtin_trap();
  if (client.Call(IOCTL_PALVEX_START).status != STATUS_SUCCESS) __builtin_trap();
  ksim::Classify(At(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4, kFlowV4));
  ksim::Classify(At(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6, kFlowV6));
  if (TvnFlowCount() != 2) __builtin_trap();
  return client;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ksim::CClient& client = Setup();
  if (size < 1) return 0;
  uint8_t mode = data[0];
  std::vector<uint8_t> bytes(data + 1, data + size);

  std::vector<uint8_t> exact(bytes);
  TvnIsDnsQueryShape(exact.data(), static_cast<uint32_t>(exact.size()), mode & 1, mode & 2);

  bool v6 = mode & 4;
  ksim::SPacket p = At(v6 ? FWPS_LAYER_DATAGRAM_DATA_V6 : FWPS_LAYER_DATAGRAM_DATA_V4, v6 ? kFlowV6 : kFlowV4);
  p.inbound = mode & 1;
  p.noHeadroom = (mode & 0x18) == 0x18;
  p.injectedBy = (mode & 0x18) == 0x10 ? ksim::EInjectedBy::Other : ksim::EInjectedBy::None;
  p.splitAt = mode >> 5;
  p.ipPacket = bytes;
  ksim::Classify(p);

  InjectUdpHeader header{};
  header.headerSize = kInjectUdpHeaderSize;
  header.packetLength = static_cast<uint32_t>(bytes.size());
  header.addressFamily = v6 ? kRecordFamilyInet6 : kRecordFamilyInet;
  header.receive = mode & 2 ? 1 : 0;
  std::vector<uint8_t> request = Bytes(header);
  request.insert(request.end(), bytes.begin(), bytes.end());
  client.Call(IOCTL_PALVEX_INJECT_UDP, request);
  ksim::CompleteInjections();
  ksim::ClearInjections();
  ksim::ClearTrace();

  for (int i = 0; i < 16 && g_TvnEventListSize.load() != 0; ++i)
    client.Call(IOCTL_PALVEX_GET_EVENT, {}, 8192);
  return 0;
}
