// Shared between the files of the simulated backend only.
#pragma once

#include <optional>
#include <string_view>

#include "PalvexDrv/kernel/fwp.h"
#include "shared/ntstatus.h"

namespace ksim {

// The failure chosen for this call of function, if its turn has come.
std::optional<NTSTATUS> TakeFailure(std::string_view function);

// Called by UnloadDriver after the driver's unload callback: ends with a
// message when the driver left filtering objects, buffers or flow contexts
// behind, then forgets every filtering record.
void CheckFilteringReleased();

// Live NDIS objects of ndis_sim.cc.
struct SNdisCounts {
  unsigned genericObjects = 0, pools = 0, netBufferLists = 0, mdls = 0;
};
SNdisCounts NdisCounts();

// What the simulator keeps with a net-buffer list in BackendReserved.
struct SNblInfo {
  NDIS_HANDLE pool = nullptr;     // null: a list the simulator made for a classification
  HANDLE injectedBy = nullptr;    // the injection handle that injected the packet
  bool injectedEarlier = false;   // at an earlier layer
};

}  // namespace ksim
