#include "PalvexDrv/kernel/runtime_callouts.h"

#include <algorithm>

NTSTATUS CRuntimeCallouts::Register(const DEVICE_OBJECT* deviceObject, const FWPS_CALLOUT1& callout,
                                    uint32_t* calloutId) {
  if (!deviceObject || !callout.classifyFn || !callout.notifyFn) return STATUS_FWP_INVALID_PARAMETER;
  if (ByKey(callout.calloutKey)) return STATUS_FWP_ALREADY_EXISTS;
  m_callouts.push_back({callout, m_nextId++});
  if (calloutId) *calloutId = m_callouts.back().id;
  return STATUS_SUCCESS;
}

bool CRuntimeCallouts::Unregister(uint32_t id) {
  return std::erase_if(m_callouts, [&](const SRuntimeCallout& r) { return r.id == id; }) != 0;
}

const SRuntimeCallout* CRuntimeCallouts::ByKey(const GUID& key) const {
  auto it = std::find_if(m_callouts.begin(), m_callouts.end(),
                         [&](const SRuntimeCallout& r) { return r.callout.calloutKey == key; });
  return it == m_callouts.end() ? nullptr : &*it;
}

const SRuntimeCallout* CRuntimeCallouts::ById(uint32_t id) const {
  auto it = std::find_if(m_callouts.begin(), m_callouts.end(), [&](const SRuntimeCallout& r) { return r.id == id; });
  return it == m_callouts.end() ? nullptr : &*it;
}

uint32_t CRuntimeCallouts::IdOf(const GUID& key) const {
  const SRuntimeCallout* r = ByKey(key);
  return r ? r->id : 0;
}
