// The classification both backends of the facade run, so that the tests'
// simulated packets and the host's queued ones are judged alike: the
// incoming values they pack, which filters a packet matches, the callouts
// those filters name called in order until one blocks or permits, and the
// callout's say before a filter is added. No lock of its own: the backends
// gather calls under their lock and run them with no lock held.
#pragma once

#include <cstdint>
#include <vector>

#include "PalvexDrv/kernel/fwp.h"
#include "PalvexDrv/kernel/runtime_callouts.h"

// An unsigned value of type (FWP_UINT8, FWP_UINT16 or FWP_UINT32).
void SetIncomingValue(FWPS_INCOMING_VALUES& values, FWPS_FIELD field, FWP_DATA_TYPE type, uint32_t value);

// Protocol, ports and addresses (4 or 16 bytes, network order). An IPv6
// address is pointed at in storage, which must outlive values' use.
struct SIncomingAddresses {
  FWP_BYTE_ARRAY16 local6{}, remote6{};
};
void SetIncomingEnds(FWPS_INCOMING_VALUES& values, SIncomingAddresses& storage, bool v6, uint8_t protocol,
                     const uint8_t* localAddress, uint16_t localPort, const uint8_t* remoteAddress,
                     uint16_t remotePort);

// A blob value (FWP_BYTE_BLOB_TYPE, or FWP_SID) over size bytes at data, both
// of which must outlive values' use; blob is filled in.
void SetIncomingBlob(FWPS_INCOMING_VALUES& values, FWPS_FIELD field, FWP_DATA_TYPE type, FWP_BYTE_BLOB& blob,
                     const uint8_t* data, size_t size);

// A filter condition's value as the backends keep it.
uint32_t FilterConditionValue(const FWP_CONDITION_VALUE0& value);

// A filter condition a backend keeps for matching.
struct SFilterCondition {
  GUID fieldKey;
  uint32_t value = 0;
};

// Whether a packet of protocol to remotePort meets every condition; only
// those two fields are conditions here (a condition of another field holds).
// Conditions: anything with fieldKey and value.
template <typename Conditions>
bool FilterConditionsMatch(const Conditions& conditions, uint8_t protocol, uint16_t remotePort) {
  for (const auto& condition : conditions) {
    if (condition.fieldKey == FWPM_CONDITION_IP_PROTOCOL && condition.value != protocol) return false;
    if (condition.fieldKey == FWPM_CONDITION_IP_REMOTE_PORT && condition.value != remotePort) return false;
  }
  return true;
}

// One classify call a matching filter makes.
struct SCalloutCall {
  SRuntimeCallout callout;
  uint64_t filterId = 0;
  uint64_t context = 0;  // the flow's context for this callout, 0 for none
};

// Adds the call of a matching filter whose callout is calloutKey: none when
// no callout of that key is registered, or when the callout is conditional on
// a flow and contextOf(its id) gives no context. Under the backend's lock.
template <typename ContextOf>
void AddCalloutCall(const CRuntimeCallouts& runtime, const GUID& calloutKey, uint64_t filterId, ContextOf&& contextOf,
                    std::vector<SCalloutCall>& calls) {
  const SRuntimeCallout* r = runtime.ByKey(calloutKey);
  if (!r) return;
  const uint64_t context = contextOf(r->id);
  if ((r->callout.flags & FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW) && !context) return;
  calls.push_back({*r, filterId, context});
}

struct SCalloutsVerdict {
  unsigned calls = 0;                          // classify functions called
  FWP_ACTION_TYPE action = FWP_ACTION_PERMIT;  // BLOCK or PERMIT
  uint32_t rights = 0, flags = 0;              // the last call's
};

// Calls each in order, every one with rights in its classify-out, and stops
// after the first that blocks or permits. What no callout decided passes.
// With no lock held: the callouts call back into the facade.
SCalloutsVerdict RunCalloutCalls(const std::vector<SCalloutCall>& calls, const FWPS_INCOMING_VALUES* values,
                                 const FWPS_INCOMING_METADATA_VALUES* metadata, void* layerData,
                                 const void* classifyContext, uint32_t rights);

// What the callout of a filter being added is told: FilterAddNotice under the
// backend's lock (no notify function when calloutKey is not registered),
// NotifyFilterAdd after it. Its status (the callout's own) refuses the
// filter when it is not a success; then nothing is added.
struct SFilterAddNotice {
  FWPS_CALLOUT_NOTIFY_FN1 notify = nullptr;
  FWPS_FILTER1 filter;
};
SFilterAddNotice FilterAddNotice(const CRuntimeCallouts& runtime, const GUID& calloutKey, uint64_t filterId,
                                 uint32_t numFilterConditions);
NTSTATUS NotifyFilterAdd(SFilterAddNotice& notice, const GUID& filterKey);
