// The callouts registered with the filtering runtime, as both backends of
// the facade keep them: by key, each under the id it was given at
// registration. No lock of its own: each backend calls it under its own.
#pragma once

#include <cstdint>
#include <vector>

#include "PalvexDrv/kernel/fwp.h"

struct SRuntimeCallout {
  FWPS_CALLOUT1 callout;
  uint32_t id = 0;
};

class CRuntimeCallouts {
 public:
  // FwpsCalloutRegister1: STATUS_FWP_INVALID_PARAMETER without a device
  // object or a classify or notify function, STATUS_FWP_ALREADY_EXISTS for a
  // key already registered; else the callout gets the next id.
  NTSTATUS Register(const DEVICE_OBJECT* deviceObject, const FWPS_CALLOUT1& callout, uint32_t* calloutId);
  // False when no callout has the id.
  bool Unregister(uint32_t id);
  // Null when none is registered; valid until the next change.
  const SRuntimeCallout* ByKey(const GUID& key) const;
  const SRuntimeCallout* ById(uint32_t id) const;
  // 0 when the key is not registered.
  uint32_t IdOf(const GUID& key) const;
  const std::vector<SRuntimeCallout>& All() const { return m_callouts; }

 private:
  std::vector<SRuntimeCallout> m_callouts;
  uint32_t m_nextId = 1;
};
