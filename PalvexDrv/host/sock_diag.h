// The sockets of this network namespace through NETLINK_SOCK_DIAG: which
// socket owns a flow (its inode and uid), and which sockets still exist.
// One dump per call; the caller keeps what it found per flow.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "PalvexDrv/host/flow_table.h"

struct SDiagSocket {
  SFlowKey key;  // the socket's own ends; a zero remote end for an unconnected socket
  uint64_t inode = 0;
  uint32_t uid = 0;
};

// Every socket of family (AF_INET or AF_INET6) and protocol (IPPROTO_UDP or
// IPPROTO_TCP); false with error set when the kernel refuses the dump.
bool DumpSockets(int family, uint8_t protocol, std::vector<SDiagSocket>& sockets, std::string& error);

// The socket of sockets that a packet of flow belongs to: a connected
// socket with exactly the flow's ends first, else one bound to the local
// port with the local address or the wildcard and no remote end. IPv6
// sockets are matched for an IPv4 flow through their mapped addresses.
std::optional<SDiagSocket> MatchFlowSocket(const SFlowKey& flow, const std::vector<SDiagSocket>& sockets);

// The kernel's own lookup of the socket a packet of flow belongs to, by
// the flow's ends (a dual-stack IPv6 socket for an IPv4 flow too): one
// small request, no dump. Nothing when no socket matches or it fails.
std::optional<SDiagSocket> LookupFlowSocket(const SFlowKey& flow);

// The lookup, and when it finds nothing, dumps and matches: the family's
// sockets, then for IPv4 the IPv6 ones (a dual-stack socket).
std::optional<SDiagSocket> FindFlowSocket(const SFlowKey& flow);

// The inodes of all sockets of the protocol in both families; nothing when
// a dump fails (then the caller must not end flows for a missing socket).
std::optional<std::unordered_set<uint64_t>> LiveSocketInodes(uint8_t protocol);
