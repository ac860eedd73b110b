#include "PalvexDrv/host/flow_table.h"

#include <utility>

CFlowTable::STouch CFlowTable::BeginClassify(const SFlowKey& key, uint64_t now) {
  std::lock_guard lock(m_mutex);
  auto found = m_byKey.find(key);
  if (found != m_byKey.end()) {
    SFlowEntry& entry = m_flows.at(found->second);
    entry.lastSeen = now;
    ++entry.classifying;
    return {entry.flowHandle, false};
  }
  SFlowEntry entry;
  entry.flowHandle = m_nextHandle++;
  entry.key = key;
  entry.lastSeen = now;
  entry.classifying = 1;
  m_byKey.emplace(key, entry.flowHandle);
  m_flows.emplace(entry.flowHandle, entry);
  return {entry.flowHandle, true};
}

std::optional<SFlowEntry> CFlowTable::EndClassify(uint64_t flowHandle) {
  std::lock_guard lock(m_mutex);
  auto it = m_flows.find(flowHandle);
  if (it == m_flows.end()) return std::nullopt;
  if (--it->second.classifying > 0 || !it->second.ended) return std::nullopt;
  SFlowEntry ended = std::move(it->second);
  m_byKey.erase(ended.key);
  m_flows.erase(it);
  return ended;
}

std::optional<SFlowEntry> CFlowTable::Find(uint64_t flowHandle) const {
  std::lock_guard lock(m_mutex);
  auto it = m_flows.find(flowHandle);
  if (it == m_flows.end()) return std::nullopt;
  return it->second;
}

std::optional<SFlowEntry> CFlowTable::FindByKey(const SFlowKey& key) const {
  std::lock_guard lock(m_mutex);
  auto it = m_byKey.find(key);
  if (it == m_byKey.end()) return std::nullopt;
  return m_flows.at(it->second);
}

bool CFlowTable::SetOwner(uint64_t flowHandle, const SFlowOwner& owner) {
  std::lock_guard lock(m_mutex);
  auto it = m_flows.find(flowHandle);
  if (it == m_flows.end()) return false;
  it->second.owner = owner;
  return true;
}

bool CFlowTable::AssociateContext(uint64_t flowHandle, uint32_t layerId, uint32_t calloutId, uint64_t context) {
  std::lock_guard lock(m_mutex);
  auto it = m_flows.find(flowHandle);
  if (it == m_flows.end() || it->second.context || it->second.ended) return false;
  it->second.context = context;
  it->second.layerId = layerId;
  it->second.calloutId = calloutId;
  return true;
}

std::optional<uint64_t> CFlowTable::RemoveContext(uint64_t flowHandle) {
  std::lock_guard lock(m_mutex);
  auto it = m_flows.find(flowHandle);
  if (it == m_flows.end()) return std::nullopt;
  return std::exchange(it->second.context, std::nullopt);
}

std::vector<SFlowEntry> CFlowTable::Sweep(uint64_t now, const std::function<bool(const SFlowEntry&)>& socketGone) {
  std::vector<SFlowEntry> ended;
  std::lock_guard lock(m_mutex);
  for (auto it = m_flows.begin(); it != m_flows.end();) {
    SFlowEntry& entry = it->second;
    bool idle = now >= entry.lastSeen && now - entry.lastSeen >= uint64_t(kFlowIdleTimeout.count());
    if (entry.ended || !(idle || (socketGone && socketGone(entry)))) {
      ++it;
      continue;
    }
    if (entry.classifying > 0) {
      entry.ended = true;
      ++it;
      continue;
    }
    ended.push_back(std::move(entry));
    m_byKey.erase(ended.back().key);
    it = m_flows.erase(it);
  }
  return ended;
}

size_t CFlowTable::Size() const {
  std::lock_guard lock(m_mutex);
  return m_flows.size();
}
