#include "PalvexDrv/host/sock_diag.h"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

SFlowKey KeyOf(const inet_diag_msg& message, uint8_t protocol) {
  SFlowKey key;
  key.family = message.idiag_family;
  key.protocol = protocol;
  size_t bytes = message.idiag_family == AF_INET ? 4 : 16;
  std::memcpy(key.localAddress.data(), message.id.idiag_src, bytes);
  std::memcpy(key.remoteAddress.data(), message.id.idiag_dst, bytes);
  key.localPort = ntohs(message.id.idiag_sport);
  key.remotePort = ntohs(message.id.idiag_dport);
  return key;
}

bool IsZero(const std::array<uint8_t, 16>& address) {
  for (uint8_t byte : address)
    if (byte) return false;
  return true;
}

// The IPv4 flow's key as an IPv6 socket sees it (::ffff:a.b.c.d).
SFlowKey Mapped(const SFlowKey& flow) {
  SFlowKey mapped = flow;
  mapped.family = AF_INET6;
  for (auto* address : {&mapped.localAddress, &mapped.remoteAddress}) {
    std::array<uint8_t, 16> v6{};
    v6[10] = v6[11] = 0xff;
    std::memcpy(v6.data() + 12, address->data(), 4);
    *address = v6;
  }
  return mapped;
}

struct SDiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 request;
};

SDiagRequest DiagRequest(int family, uint8_t protocol, uint16_t flags) {
  SDiagRequest message{};
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = flags;
  message.request.sdiag_family = static_cast<uint8_t>(family);
  message.request.sdiag_protocol = protocol;
  message.request.idiag_states = ~0u;
  return message;
}

bool SendToKernel(int fd, const SDiagRequest& message) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  return sendto(fd, &message, sizeof(message), 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel)) ==
         static_cast<ssize_t>(sizeof(message));
}

}  // namespace

bool DumpSockets(int family, uint8_t protocol, std::vector<SDiagSocket>& sockets, std::string& error) {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) {
    error = std::string("sock_diag socket: ") + std::strerror(errno);
    return false;
  }
  if (!SendToKernel(fd, DiagRequest(family, protocol, NLM_F_REQUEST | NLM_F_DUMP))) {
    error = std::string("sock_diag request: ") + std::strerror(errno);
    close(fd);
    return false;
  }
  alignas(nlmsghdr) char buffer[32768];
  // Bounded: a dump ends with NLMSG_DONE; a kernel that never sends it would
  // still run out of sockets to list.
  for (int rounds = 0; rounds < 100000; ++rounds) {
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, static_cast<unsigned>(n));
         header = NLMSG_NEXT(header, n)) {
      if (header->nlmsg_type == NLMSG_DONE) {
        close(fd);
        return true;
      }
      if (header->nlmsg_type == NLMSG_ERROR) {
        auto* failure = static_cast<nlmsgerr*>(NLMSG_DATA(header));
        error = std::string("sock_diag: ") + std::strerror(-failure->error);
        close(fd);
        return false;
      }
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
      auto* diag = static_cast<inet_diag_msg*>(NLMSG_DATA(header));
      sockets.push_back({KeyOf(*diag, protocol), diag->idiag_inode, diag->idiag_uid});
    }
  }
  close(fd);
  error = "sock_diag: dump cut short";
  return false;
}

std::optional<SDiagSocket> MatchFlowSocket(const SFlowKey& flow, const std::vector<SDiagSocket>& sockets) {
  std::vector<SFlowKey> keys = {flow};
  if (flow.family == AF_INET) keys.push_back(Mapped(flow));
  const SDiagSocket* bound = nullptr;
  for (const SFlowKey& key : keys) {
    for (const SDiagSocket& socket : sockets) {
      const SFlowKey& s = socket.key;
      if (s.family != key.family || s.protocol != key.protocol || s.localPort != key.localPort) continue;
      if (s == key) return socket;
      bool localMatches = s.localAddress == key.localAddress || IsZero(s.localAddress);
      if (!bound && localMatches && IsZero(s.remoteAddress) && s.remotePort == 0) bound = &socket;
    }
  }
  if (bound) return *bound;
  return std::nullopt;
}

std::optional<SDiagSocket> LookupFlowSocket(const SFlowKey& flow) {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return std::nullopt;
  SDiagRequest message = DiagRequest(flow.family, flow.protocol, NLM_F_REQUEST);
  message.request.id.idiag_cookie[0] = message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  // The kernel looks a UDP socket up as the receiver of a datagram from
  // the source ends to the destination ends, so the remote end goes first
  // there; a TCP socket by its own ends.
  bool udp = flow.protocol == IPPROTO_UDP;
  const auto& source = udp ? flow.remoteAddress : flow.localAddress;
  const auto& destination = udp ? flow.localAddress : flow.remoteAddress;
  size_t bytes = flow.family == AF_INET ? 4 : 16;
  std::memcpy(message.request.id.idiag_src, source.data(), bytes);
  std::memcpy(message.request.id.idiag_dst, destination.data(), bytes);
  message.request.id.idiag_sport = htons(udp ? flow.remotePort : flow.localPort);
  message.request.id.idiag_dport = htons(udp ? flow.localPort : flow.remotePort);
  std::optional<SDiagSocket> found;
  if (SendToKernel(fd, message)) {
    alignas(nlmsghdr) char buffer[4096];
    ssize_t n;
    do n = recv(fd, buffer, sizeof(buffer), 0);
    while (n < 0 && errno == EINTR);
    auto* header = reinterpret_cast<nlmsghdr*>(buffer);
    if (n > 0 && NLMSG_OK(header, static_cast<unsigned>(n)) && header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      auto* diag = static_cast<inet_diag_msg*>(NLMSG_DATA(header));
      found = SDiagSocket{KeyOf(*diag, flow.protocol), diag->idiag_inode, diag->idiag_uid};
    }
  }
  close(fd);
  return found;
}

std::optional<SDiagSocket> FindFlowSocket(const SFlowKey& flow) {
  if (auto socket = LookupFlowSocket(flow)) return socket;
  // Not found by its ends (a kernel without the lookup for the protocol, or
  // a socket the lookup does not see): every socket is compared.
  std::vector<SDiagSocket> sockets;
  std::string error;
  DumpSockets(flow.family, flow.protocol, sockets, error);
  if (flow.family == AF_INET) DumpSockets(AF_INET6, flow.protocol, sockets, error);
  return MatchFlowSocket(flow, sockets);
}

std::optional<std::unordered_set<uint64_t>> LiveSocketInodes(uint8_t protocol) {
  std::unordered_set<uint64_t> inodes;
  for (int family : {AF_INET, AF_INET6}) {
    std::vector<SDiagSocket> sockets;
    std::string error;
    if (!DumpSockets(family, protocol, sockets, error)) return std::nullopt;
    for (const SDiagSocket& socket : sockets) inodes.insert(socket.inode);
  }
  return inodes;
}
