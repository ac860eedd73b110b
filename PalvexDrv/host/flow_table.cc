#include "PalvexDrv/host/flow_table.h"

#include <utility>

CFlowTable::STouch CFlowTable::BeginClassify(const SFlowKey& key, uint64_t now, bool add) {
  std::lock_guard lock(m_mutex);
  auto found = m_byKey.find(key);
  if (found != m_byKey.end()) {
    SFlowEntry& entry = m_flows.at(found->second);
    m_byActivity.erase({entry.lastSeen, entry.flowHandle});
    entry.lastSeen = now;
    m_byActivity.emplace(entry.lastSeen, entry.flowHandle);
    ++entry.classifying;
    return {entry.flowHandle, false, std::nullopt};
  }
  if (!add) return {};
  STouch touch;
  if (m_flows.size() >= m_limit) {
    for (const auto& [seen, handle] : m_byActivity) {
      auto it = m_flows.find(handle);
      if (it->second.classifying > 0 || it->second.ended) continue;
      touch.evicted = it->second;
      EraseLocked(it);
      ++m_evicted;
      break;
    }
  }
  SFlowEntry entry;
  entry.flowHandle = m_nextHandle++;
  entry.key = key;
  entry.lastSeen = now;
  entry.classifying = 1;
  m_byKey.emplace(key, entry.flowHandle);
  m_byActivity.emplace(entry.lastSeen, entry.flowHandle);
  m_flows.emplace(entry.flowHandle, entry);
  touch.flowHandle = entry.flowHandle;
  touch.isNew = true;
  return touch;
}

void CFlowTable::EraseLocked(std::map<uint64_t, SFlowEntry>::iterator it) {
  m_byKey.erase(it->second.key);
  m_byActivity.erase({it->second.lastSeen, it->second.flowHandle});
  m_flows.erase(it);
}

CFlowTable::SAfterClassify CFlowTable::EndClassify(uint64_t flowHandle) {
  SAfterClassify due;
  std::lock_guard lock(m_mutex);
  auto it = m_flows.find(flowHandle);
  if (it == m_flows.end() || --it->second.classifying > 0) return due;
  due.removed = std::exchange(it->second.removedWhileClassifying, std::nullopt);
  if (!it->second.ended) return due;
  due.ended = it->second;
  EraseLocked(it);
  return due;
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

bool CFlowTable::AssociateContext(uint64_t flowHandle, const SFlowContext& context) {
  std::lock_guard lock(m_mutex);
  auto it = m_flows.find(flowHandle);
  if (it == m_flows.end() || it->second.context || it->second.ended) return false;
  it->second.context = context;
  return true;
}

CFlowTable::ERemoved CFlowTable::RemoveContext(uint64_t flowHandle, std::optional<SFlowContext>* removed) {
  std::lock_guard lock(m_mutex);
  auto it = m_flows.find(flowHandle);
  if (it == m_flows.end() || !it->second.context) return ERemoved::None;
  SFlowContext context = *std::exchange(it->second.context, std::nullopt);
  if (it->second.classifying > 0) {
    it->second.removedWhileClassifying = context;
    it->second.ended = true;
    return ERemoved::AfterClassify;
  }
  EraseLocked(it);
  *removed = context;
  return ERemoved::Now;
}

std::vector<SFlowContext> CFlowTable::RemoveContextsOf(uint32_t calloutId) {
  std::vector<SFlowContext> removed;
  std::lock_guard lock(m_mutex);
  for (auto& [handle, entry] : m_flows) {
    if (!entry.context || entry.context->calloutId != calloutId) continue;
    if (entry.classifying > 0) {
      entry.removedWhileClassifying = std::exchange(entry.context, std::nullopt);
    } else {
      removed.push_back(*std::exchange(entry.context, std::nullopt));
    }
  }
  return removed;
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
    ended.push_back(entry);
    EraseLocked(it++);
  }
  return ended;
}

size_t CFlowTable::Size() const {
  std::lock_guard lock(m_mutex);
  return m_flows.size();
}

uint64_t CFlowTable::Evicted() const {
  std::lock_guard lock(m_mutex);
  return m_evicted;
}
