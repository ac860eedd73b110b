#include "PalvexDrv/host/raw_injector.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

constexpr size_t kIpv4MinHeader = 20, kIpv6Header = 40, kUdpHeader = 8;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void Put16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

uint32_t SumWords(const uint8_t* bytes, size_t length, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < length; i += 2) sum += Get16(bytes + i);
  if (length % 2) sum += uint32_t(bytes[length - 1]) << 8;
  return sum;
}

uint16_t Fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

}  // namespace

SFlowKey FlowKeyOf(const SUdpPacket& packet, EInjectDirection direction) {
  SFlowKey key;
  key.family = packet.family;
  key.protocol = IPPROTO_UDP;
  bool received = direction == EInjectDirection::AsReceived;
  key.localAddress = received ? packet.destination : packet.source;
  key.localPort = received ? packet.destinationPort : packet.sourcePort;
  key.remoteAddress = received ? packet.source : packet.destination;
  key.remotePort = received ? packet.sourcePort : packet.destinationPort;
  return key;
}

NTSTATUS CheckUdpPacket(const uint8_t* packet, size_t length, int family, EInjectDirection direction,
                        const std::function<bool(const SFlowKey&)>& flowHeld, SUdpPacket* parsed) {
  SUdpPacket udp;
  udp.family = family;
  if (length < 1) return STATUS_INJECT_BAD_PACKET;
  unsigned version = packet[0] >> 4;
  if (family == AF_INET) {
    if (version != 4 || length < kIpv4MinHeader) return STATUS_INJECT_BAD_PACKET;
    size_t headerLength = size_t(packet[0] & 0x0F) * 4;
    uint16_t fragment = Get16(packet + 6);
    if (headerLength < kIpv4MinHeader || headerLength > length || Get16(packet + 2) != length ||
        packet[9] != IPPROTO_UDP || (fragment & 0x3FFF) != 0)
      return STATUS_INJECT_BAD_PACKET;
    std::memcpy(udp.source.data(), packet + 12, 4);
    std::memcpy(udp.destination.data(), packet + 16, 4);
    udp.udpOffset = headerLength;
  } else if (family == AF_INET6) {
    if (version != 6 || length < kIpv6Header || Get16(packet + 4) + kIpv6Header != length ||
        packet[6] != IPPROTO_UDP)
      return STATUS_INJECT_BAD_PACKET;
    std::memcpy(udp.source.data(), packet + 8, 16);
    std::memcpy(udp.destination.data(), packet + 24, 16);
    udp.udpOffset = kIpv6Header;
  } else {
    return STATUS_INJECT_BAD_PACKET;
  }
  if (length - udp.udpOffset < kUdpHeader || Get16(packet + udp.udpOffset + 4) != length - udp.udpOffset)
    return STATUS_INJECT_BAD_PACKET;
  udp.sourcePort = Get16(packet + udp.udpOffset);
  udp.destinationPort = Get16(packet + udp.udpOffset + 2);
  if (!flowHeld || !flowHeld(FlowKeyOf(udp, direction))) return STATUS_INJECT_NO_FLOW;
  if (parsed) *parsed = udp;
  return STATUS_SUCCESS;
}

std::vector<uint8_t> BuildUdpPacket(int family, const std::array<uint8_t, 16>& source,
                                    const std::array<uint8_t, 16>& destination, const uint8_t* udp, size_t length) {
  size_t addressBytes = family == AF_INET ? 4 : 16;
  size_t headerLength = family == AF_INET ? kIpv4MinHeader : kIpv6Header;
  std::vector<uint8_t> out(headerLength + length, 0);
  uint8_t* ip = out.data();
  if (family == AF_INET) {
    ip[0] = 0x45;
    Put16(ip + 2, static_cast<uint16_t>(out.size()));
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;
    ip[9] = IPPROTO_UDP;
    std::memcpy(ip + 12, source.data(), 4);
    std::memcpy(ip + 16, destination.data(), 4);
    Put16(ip + 10, Fold(SumWords(ip, kIpv4MinHeader)));
  } else {
    ip[0] = 0x60;
    Put16(ip + 4, static_cast<uint16_t>(length));
    ip[6] = IPPROTO_UDP;
    ip[7] = 64;
    std::memcpy(ip + 8, source.data(), 16);
    std::memcpy(ip + 24, destination.data(), 16);
  }
  uint8_t* datagram = out.data() + headerLength;
  std::memcpy(datagram, udp, length);
  Put16(datagram + 6, 0);
  uint32_t sum = SumWords(source.data(), addressBytes);
  sum = SumWords(destination.data(), addressBytes, sum);
  sum += IPPROTO_UDP + static_cast<uint32_t>(length);
  uint16_t checksum = Fold(SumWords(datagram, length, sum));
  Put16(datagram + 6, checksum == 0 ? 0xFFFF : checksum);
  return out;
}

CRawInjector::~CRawInjector() { Close(); }

void CRawInjector::Close() {
  if (m_v4 >= 0) close(m_v4);
  if (m_v6 >= 0) close(m_v6);
  m_v4 = m_v6 = -1;
}

bool CRawInjector::Open(uint32_t mark, std::string& error) {
  Close();
  // IPPROTO_RAW sockets carry the whole IP header in both families.
  m_v4 = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  m_v6 = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  for (int fd : {m_v4, m_v6}) {
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof(mark)) != 0) {
      error = std::string("raw socket with SO_MARK: ") + std::strerror(errno);
      Close();
      return false;
    }
  }
  return true;
}

NTSTATUS CRawInjector::Inject(const uint8_t* packet, size_t length, int family, EInjectDirection direction,
                              const std::function<bool(const SFlowKey&)>& flowHeld) {
  SUdpPacket udp;
  if (NTSTATUS status = CheckUdpPacket(packet, length, family, direction, flowHeld, &udp); status != 0) return status;
  // The header is rebuilt in both directions: what the kernel sends is then
  // exactly what was checked, whatever options or checksum came with it.
  auto rebuilt = BuildUdpPacket(family, udp.source, udp.destination, packet + udp.udpOffset, length - udp.udpOffset);
  return Send(family, rebuilt, udp.destination);
}

NTSTATUS CRawInjector::Send(int family, const std::vector<uint8_t>& packet,
                            const std::array<uint8_t, 16>& destination) {
  ssize_t sent;
  if (family == AF_INET) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr, destination.data(), 4);
    sent = sendto(m_v4, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  } else {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    std::memcpy(&to.sin6_addr, destination.data(), 16);
    sent = sendto(m_v6, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  }
  return sent == static_cast<ssize_t>(packet.size()) ? STATUS_SUCCESS : STATUS_INJECT_SEND_FAILED;
}
