// The flow table joined to the machine's sockets: who owns a new flow, and
// the once-a-second sweep that ends flows whose socket is gone (besides
// the idle ones).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "PalvexDrv/host/flow_table.h"
#include "PalvexDrv/host/process_identity.h"

// The socket of the flow (sock_diag), then its process, looked for first in
// hint (the program's process). processId stays 0 when no owner is found.
// Nothing when no socket matches.
std::optional<SFlowOwner> ResolveFlowOwner(const SFlowKey& flow, pid_t hint, CSocketOwnerFinder& finder);

// Whether entry's socket is gone from live. A flow whose socket was never
// found is not ended this way, only by idling.
bool FlowSocketGone(const SFlowEntry& entry, const std::unordered_set<uint64_t>& live);

// One sweep at now: idle flows, and flows whose socket sock_diag no longer
// lists. A failed dump ends no flow for its socket. Returns what ended.
std::vector<SFlowEntry> SweepFlows(CFlowTable& table, uint64_t now);
