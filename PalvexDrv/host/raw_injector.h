// Injection of UDP datagrams through raw sockets (IPv4 and IPv6) that carry
// the host's own SO_MARK, so the queue reader knows its own packets when
// they come round again. "As received" sends the packet, from the flow's
// remote end to its local end, to the local address: the kernel delivers
// it over loopback as if the DNS server had sent it. "As sent" rebuilds the
// IP header from the flow's local end and the remote address and sends it
// there. Nothing leaves before the packet passes CheckUdpPacket. A packet
// larger than its route's MTU leaves in fragments (a raw socket that
// brings its own header is never fragmented by the kernel).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "PalvexDrv/host/flow_table.h"
#include "shared/ntstatus.h"

// Injection statuses of the platform, as the driver logs them.
constexpr NTSTATUS STATUS_INJECT_BAD_PACKET = STATUS_INVALID_PARAMETER;
constexpr NTSTATUS STATUS_INJECT_NO_FLOW = STATUS_NOT_FOUND;
constexpr NTSTATUS STATUS_INJECT_SEND_FAILED = STATUS_UNEXPECTED_NETWORK_ERROR;

enum class EInjectDirection { AsReceived, AsSent };

// A whole IP datagram holding one UDP datagram, as read by CheckUdpPacket.
struct SUdpPacket {
  int family = 0;  // AF_INET or AF_INET6
  std::array<uint8_t, 16> source{}, destination{};
  uint16_t sourcePort = 0, destinationPort = 0;  // host order
  size_t udpOffset = 0;                          // bytes of IP header
};

// The flow a packet of that direction belongs to: as received, remote end
// (source) to local end (destination); as sent, the other way round.
SFlowKey FlowKeyOf(const SUdpPacket& packet, EInjectDirection direction);

// Checks a packet before any raw send: IP version as family, an IPv4
// header of at least 20 bytes that is not a fragment or an IPv6 header
// without extension headers, total and UDP lengths that match the bytes,
// protocol UDP, and its ends those of a flow flowHeld knows. Returns 0 with
// *parsed set, STATUS_INJECT_BAD_PACKET, or STATUS_INJECT_NO_FLOW.
NTSTATUS CheckUdpPacket(const uint8_t* packet, size_t length, int family, EInjectDirection direction,
                        const std::function<bool(const SFlowKey&)>& flowHeld, SUdpPacket* parsed);

// The UDP datagram udp (header and payload) inside a fresh IP header from
// source to destination, with the UDP checksum computed anew.
std::vector<uint8_t> BuildUdpPacket(int family, const std::array<uint8_t, 16>& source,
                                    const std::array<uint8_t, 16>& destination, const uint8_t* udp, size_t length);

// packet (a whole IP datagram as BuildUdpPacket makes it: an IPv4 header
// without options, or an IPv6 header without extension headers) cut into
// fragments of at most mtu bytes, as the kernel fragments a datagram it
// sends itself: IPv4 fragments under identification, IPv6 ones with a
// fragment header under it. Empty when the mtu leaves no room for eight
// bytes of data per fragment.
std::vector<std::vector<uint8_t>> FragmentIpPacket(int family, const std::vector<uint8_t>& packet, size_t mtu,
                                                   uint32_t identification);

class CRawInjector {
 public:
  ~CRawInjector();
  // Opens both raw sockets with the mark (closing any open ones); false
  // with error set.
  bool Open(uint32_t mark, std::string& error);
  void Close();
  // Checks, then injects. Returns 0 or a status above.
  NTSTATUS Inject(const uint8_t* packet, size_t length, int family, EInjectDirection direction,
                  const std::function<bool(const SFlowKey&)>& flowHeld);

 private:
  NTSTATUS Send(int family, const std::vector<uint8_t>& packet, const std::array<uint8_t, 16>& destination);
  // The MTU of the route to destination, as the raw sockets are routed; 0
  // when unknown.
  size_t RouteMtu(int family, const std::array<uint8_t, 16>& destination) const;

  int m_v4 = -1, m_v6 = -1;
  uint32_t m_mark = 0;
};
