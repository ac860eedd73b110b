// Packets for the simulated filtering platform: DNS messages, UDP packets
// over IPv4 and IPv6, and a started driver with helpers that open a flow
// and send its datagrams through the callouts.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "PalvexDrv/kernel/kernel_sim.h"
#include "tests/support/driver_fixture.h"

namespace drvtest {

constexpr uint32_t kClientPid = 777;
constexpr uint32_t kServicePid = 4242;  // ConfigBytes' serviceProcessId

// A DNS message: header with the counts given, then the name and the type.
inline std::vector<uint8_t> DnsMessage(const std::string& name = "example.com", uint16_t qtype = 1,
                                       uint16_t qdcount = 1, uint16_t ancount = 0, uint16_t nscount = 0) {
  std::vector<uint8_t> m = {0x12, 0x34, 0x01, 0x00, uint8_t(qdcount >> 8), uint8_t(qdcount),
                            uint8_t(ancount >> 8), uint8_t(ancount), uint8_t(nscount >> 8), uint8_t(nscount), 0, 0};
  size_t start = 0;
  while (!name.empty() && start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    m.push_back(uint8_t(dot - start));
    m.insert(m.end(), name.begin() + start, name.begin() + dot);
    start = dot + 1;
  }
  m.push_back(0);
  m.insert(m.end(), {uint8_t(qtype >> 8), uint8_t(qtype), 0, 1});
  return m;
}

// Addresses of the test's flows (network order bytes).
struct SEnds {
  bool v6 = false;
  uint8_t local[16] = {10, 0, 0, 2};
  uint8_t remote[16] = {10, 53, 0, 1};
  uint16_t localPort = 50000, remotePort = 53;

  static SEnds V6() {
    SEnds e;
    e.v6 = true;
    uint8_t local[16] = {0xfd, 0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    uint8_t remote[16] = {0xfd, 0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    std::memcpy(e.local, local, 16);
    std::memcpy(e.remote, remote, 16);
    return e;
  }
};

// An IP packet carrying payload in UDP, from source to destination.
inline std::vector<uint8_t> UdpPacket(const SEnds& ends, bool inbound, const std::vector<uint8_t>& payload) {
  const uint8_t* src = inbound ? ends.remote : ends.local;
  const uint8_t* dst = inbound ? ends.local : ends.remote;
  uint16_t sport = inbound ? ends.remotePort : ends.localPort;
  uint16_t dport = inbound ? ends.localPort : ends.remotePort;
  std::vector<uint8_t> p;
  uint16_t udpLength = uint16_t(8 + payload.size());
  if (ends.v6) {
    p = {0x60, 0, 0, 0, uint8_t(udpLength >> 8), uint8_t(udpLength), 17, 64};
    p.insert(p.end(), src, src + 16);
    p.insert(p.end(), dst, dst + 16);
  } else {
    uint16_t total = uint16_t(20 + udpLength);
    p = {0x45, 0, uint8_t(total >> 8), uint8_t(total), 0, 0, 0, 0, 64, 17, 0, 0};
    p.insert(p.end(), src, src + 4);
    p.insert(p.end(), dst, dst + 4);
  }
  p.insert(p.end(), {uint8_t(sport >> 8), uint8_t(sport), uint8_t(dport >> 8), uint8_t(dport),
                     uint8_t(udpLength >> 8), uint8_t(udpLength), 0, 0});
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

class FilterTest : public DriverTest {
 public:
  static constexpr uint64_t kFlow = 0xF100;
  static constexpr uint64_t kEndpoint = 0xE900;

  // A packet of the flow at layer, with the ends and handles of the flow.
  static ksim::SPacket At(uint16_t layer, const SEnds& ends = {}, uint64_t flow = kFlow, uint32_t pid = kClientPid) {
    ksim::SPacket p;
    p.layerId = layer;
    std::memcpy(p.localAddress, ends.local, 16);
    std::memcpy(p.remoteAddress, ends.remote, 16);
    p.localPort = ends.localPort;
    p.remotePort = ends.remotePort;
    p.appId = u"/usr/bin/dig";
    p.userSid = {1, 2, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0, 0xE8, 3, 0, 0};  // S-1-22-1-1000
    p.processId = pid;
    p.flowHandle = flow;
    p.endpointHandle = kEndpoint;
    p.interfaceIndex = 7;
    p.subInterfaceIndex = 9;
    p.compartmentId = 1;
    return p;
  }

 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ksim::ClearTrace();
  }

  void Configure(const std::function<void(DriverConfig&)>& change) {
    ASSERT_EQ(Call(IOCTL_PALVEX_SET_CONFIG, ConfigBytes(change)).status, STATUS_SUCCESS);
  }
  void Start() { ASSERT_EQ(Call(IOCTL_PALVEX_START).status, STATUS_SUCCESS); }
  void StartWith(const std::function<void(DriverConfig&)>& change) {
    Configure(change);
    Start();
  }

  static uint16_t DatagramLayer(const SEnds& ends) {
    return ends.v6 ? FWPS_LAYER_DATAGRAM_DATA_V6 : FWPS_LAYER_DATAGRAM_DATA_V4;
  }

  // The flow-established classification of a UDP flow to port 53.
  ksim::SVerdict OpenFlow(const SEnds& ends = {}, uint64_t flow = kFlow, uint32_t pid = kClientPid) {
    return ksim::Classify(At(ends.v6 ? FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6 : FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4, ends,
                             flow, pid));
  }

  static ksim::SPacket Datagram(const SEnds& ends, bool inbound, const std::vector<uint8_t>& payload,
                                uint64_t flow = kFlow) {
    ksim::SPacket p = At(DatagramLayer(ends), ends, flow);
    p.processId.reset();  // the datagram layer carries no process id
    p.inbound = inbound;
    p.ipPacket = UdpPacket(ends, inbound, payload);
    return p;
  }

  ksim::SVerdict Send(const std::vector<uint8_t>& payload, const SEnds& ends = {}) {
    return ksim::Classify(Datagram(ends, false, payload));
  }

  // The queued events other than log events, and the log texts apart.
  std::vector<SEvent> DrainNonLog(std::vector<std::string>* logs = nullptr) {
    std::vector<SEvent> events;
    for (SEvent& e : Drain()) {
      if (e.header.eventType == EventLog) {
        if (logs) logs->push_back(e.Text());
      } else {
        events.push_back(std::move(e));
      }
    }
    return events;
  }

  static bool Traced(const std::string& text) {
    for (const std::string& line : ksim::TraceLines())
      if (line.rfind(text, 0) == 0) return true;
    return false;
  }
};

}  // namespace drvtest
