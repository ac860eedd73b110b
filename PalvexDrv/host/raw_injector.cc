#include "PalvexDrv/host/raw_injector.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
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
    // No don't-fragment: a datagram over the route's MTU is fragmented,
    // as the process's own send would be.
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

std::vector<std::vector<uint8_t>> FragmentIpPacket(int family, const std::vector<uint8_t>& packet, size_t mtu,
                                                   uint32_t identification) {
  constexpr size_t kFragmentHeader = 8;
  bool v4 = family == AF_INET;
  size_t header = v4 ? kIpv4MinHeader : kIpv6Header;
  size_t room = mtu > header + (v4 ? 0 : kFragmentHeader) ? mtu - header - (v4 ? 0 : kFragmentHeader) : 0;
  size_t chunk = room & ~size_t{7};  // every fragment but the last carries a multiple of eight bytes
  if (chunk == 0 || packet.size() <= header) return {};
  std::vector<std::vector<uint8_t>> fragments;
  for (size_t offset = 0; offset < packet.size() - header; offset += chunk) {
    size_t length = std::min(chunk, packet.size() - header - offset);
    bool more = offset + length < packet.size() - header;
    uint16_t field = static_cast<uint16_t>(v4 ? (offset / 8) | (more ? 0x2000 : 0) : offset | (more ? 1 : 0));
    std::vector<uint8_t> fragment(packet.begin(), packet.begin() + static_cast<ptrdiff_t>(header));
    uint8_t* ip = fragment.data();
    if (v4) {
      Put16(ip + 2, static_cast<uint16_t>(header + length));
      Put16(ip + 4, static_cast<uint16_t>(identification));
      Put16(ip + 6, field);
      Put16(ip + 10, 0);
      Put16(ip + 10, Fold(SumWords(ip, kIpv4MinHeader)));
    } else {
      uint8_t next = ip[6];
      Put16(ip + 4, static_cast<uint16_t>(kFragmentHeader + length));
      ip[6] = 44;  // a fragment header follows
      const uint8_t extension[kFragmentHeader] = {next,
                                                  0,
                                                  static_cast<uint8_t>(field >> 8),
                                                  static_cast<uint8_t>(field),
                                                  static_cast<uint8_t>(identification >> 24),
                                                  static_cast<uint8_t>(identification >> 16),
                                                  static_cast<uint8_t>(identification >> 8),
                                                  static_cast<uint8_t>(identification)};
      fragment.insert(fragment.end(), extension, extension + kFragmentHeader);
    }
    auto data = packet.begin() + static_cast<ptrdiff_t>(header + offset);
    fragment.insert(fragment.end(), data, data + static_cast<ptrdiff_t>(length));
    fragments.push_back(std::move(fragment));
  }
  return fragments;
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
  m_mark = mark;
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

namespace {

// The destination as a socket address of family, with port 53 (a connect
// needs one; it plays no part in routing).
socklen_t AddressOf(int family, const std::array<uint8_t, 16>& destination, sockaddr_storage& out) {
  out = sockaddr_storage{};
  if (family == AF_INET) {
    auto* to = reinterpret_cast<sockaddr_in*>(&out);
    to->sin_family = AF_INET;
    to->sin_port = htons(53);
    std::memcpy(&to->sin_addr, destination.data(), 4);
    return sizeof(*to);
  }
  auto* to = reinterpret_cast<sockaddr_in6*>(&out);
  to->sin6_family = AF_INET6;
  to->sin6_port = htons(53);
  std::memcpy(&to->sin6_addr, destination.data(), 16);
  return sizeof(*to);
}

uint32_t FragmentIdentification() {
  thread_local std::mt19937 generator{std::random_device{}()};
  return static_cast<uint32_t>(generator()) | 1;  // never 0: the kernel fills in a zero IPv4 id itself
}

}  // namespace

size_t CRawInjector::RouteMtu(int family, const std::array<uint8_t, 16>& destination) const {
  int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_storage to;
  socklen_t length = AddressOf(family, destination, to);
  int mtu = 0;
  socklen_t size = sizeof(mtu);
  bool found = setsockopt(fd, SOL_SOCKET, SO_MARK, &m_mark, sizeof(m_mark)) == 0 &&
               connect(fd, reinterpret_cast<sockaddr*>(&to), length) == 0 &&
               getsockopt(fd, family == AF_INET ? IPPROTO_IP : IPPROTO_IPV6, family == AF_INET ? IP_MTU : IPV6_MTU,
                          &mtu, &size) == 0;
  close(fd);
  return found && mtu > 0 ? static_cast<size_t>(mtu) : 0;
}

NTSTATUS CRawInjector::Send(int family, const std::vector<uint8_t>& packet,
                            const std::array<uint8_t, 16>& destination) {
  sockaddr_storage to;
  socklen_t length = AddressOf(family, destination, to);
  int fd = family == AF_INET ? m_v4 : m_v6;
  auto sendOne = [&](const std::vector<uint8_t>& bytes) {
    return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), length) ==
           static_cast<ssize_t>(bytes.size());
  };
  if (sendOne(packet)) return STATUS_SUCCESS;
  if (errno != EMSGSIZE) return STATUS_INJECT_SEND_FAILED;
  // Larger than the route takes in one piece.
  auto fragments = FragmentIpPacket(family, packet, RouteMtu(family, destination), FragmentIdentification());
  if (fragments.empty()) return STATUS_INJECT_SEND_FAILED;
  for (const auto& fragment : fragments)
    if (!sendOne(fragment)) return STATUS_INJECT_SEND_FAILED;
  return STATUS_SUCCESS;
}
