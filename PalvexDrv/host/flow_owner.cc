#include "PalvexDrv/host/flow_owner.h"

#include <netinet/in.h>

#include "PalvexDrv/host/sock_diag.h"

std::optional<SFlowOwner> ResolveFlowOwner(const SFlowKey& flow, pid_t hint, CSocketOwnerFinder& finder) {
  auto socket = FindFlowSocket(flow);
  if (!socket) return std::nullopt;
  SFlowOwner owner;
  owner.socketInode = socket->inode;
  owner.uid = socket->uid;
  if (auto pid = finder.Find(socket->inode, hint)) owner.processId = static_cast<uint32_t>(*pid);
  return owner;
}

bool FlowSocketGone(const SFlowEntry& entry, const std::unordered_set<uint64_t>& live) {
  return entry.owner && entry.owner->socketInode != 0 && !live.count(entry.owner->socketInode);
}

std::vector<SFlowEntry> SweepFlows(CFlowTable& table, uint64_t now) {
  // Dumps first, outside the table's lock.
  auto udp = LiveSocketInodes(IPPROTO_UDP);
  auto tcp = LiveSocketInodes(IPPROTO_TCP);
  return table.Sweep(now, [&](const SFlowEntry& entry) {
    const auto& live = entry.key.protocol == IPPROTO_TCP ? tcp : udp;
    return live && FlowSocketGone(entry, *live);
  });
}
