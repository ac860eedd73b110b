#include "Quorvane/foundation/net_interfaces.h"

#include <algorithm>
#include <memory>

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/net_adapters.h"

std::mutex g_NetInterfacesMutex;
NetInterfaceMap g_NetInterfaces;
std::vector<sockaddr_storage> g_SystemDnsServers;
std::map<std::wstring, bool> g_WlanSsids;
uint64_t g_NetInterfacesRefreshTick = 0;
// Starts one ahead of the rebuilt count, so the first reader rebuilds.
std::atomic<uint64_t> g_NetInterfacesChangeCount{1};

namespace {

// The change count the tables were built from, and whether they ever were;
// written under g_NetInterfacesMutex by the rebuild, read by any reader.
std::atomic<uint64_t> g_NetInterfacesBuiltCount{0};
std::atomic<bool> g_NetInterfacesBuilt{false};
// One rebuild at a time; never taken while g_NetInterfacesMutex is held.
std::mutex g_NetInterfacesRebuildMutex;

// A picture of the system built apart from the shared tables.
struct STables {
  NetInterfaceMap interfaces;
  std::vector<sockaddr_storage> systemDnsServers;
  std::map<std::wstring, bool> ssids;
};

std::mutex g_NetInterfaceChangeMutex;
// The running watcher; guarded by g_NetInterfaceChangeMutex.
std::unique_ptr<platform::NetChangeWatcher> g_NetInterfaceChangeHandle;

std::wstring IdFromUuid(const platform::InterfaceUuid& u) {
  GUID guid;
  guid.Data1 = static_cast<uint32_t>(u[0]) << 24 | static_cast<uint32_t>(u[1]) << 16 |
               static_cast<uint32_t>(u[2]) << 8 | u[3];
  guid.Data2 = static_cast<uint16_t>(u[4] << 8 | u[5]);
  guid.Data3 = static_cast<uint16_t>(u[6] << 8 | u[7]);
  std::copy(u.begin() + 8, u.end(), guid.Data4);
  return GuidToText(guid);
}

void EnumerateAdapters(platform::NetAdapterSource& source, STables& tables) {
  std::vector<platform::SAdapterInfo> adapters;
  source.EnumerateAdapters(adapters);
  for (const auto& a : adapters) {
    SNetInterface record;
    record.id = IdFromUuid(a.uuid);
    record.name = Utf8ToWide(a.name);
    record.up = a.up;
    record.addresses = a.addresses;
    record.dnsServers = a.dnsServers;
    record.dnsSuffix = Utf8ToWide(a.dnsSuffix);
    record.wireless = a.wireless ? 1 : 0;
    tables.interfaces[record.id] = std::move(record);
  }
}

void EnumerateWlanNetworks(platform::NetAdapterSource& source, STables& tables) {
  std::vector<platform::SWlanNetwork> networks;
  if (!source.EnumerateWlanNetworks(networks)) return;
  for (const auto& n : networks) {
    auto it = tables.interfaces.find(IdFromUuid(platform::InterfaceUuidFromName(n.device)));
    if (it == tables.interfaces.end() || n.ssid.empty()) continue;
    it->second.wireless = 1;
    std::wstring ssid = Utf8ToWide(n.ssid);
    tables.ssids.emplace(ssid, false);
    if (n.connected) {
      it->second.ssid = ssid;
      tables.ssids[ssid] = true;
    }
  }
}

bool Changed() {
  return g_NetInterfacesChangeCount.load(std::memory_order_acquire) !=
         g_NetInterfacesBuiltCount.load(std::memory_order_acquire);
}

// Caller holds g_NetInterfacesRebuildMutex only.
void Rebuild() {
  // Taken first: a change during the enumeration moves the count past it.
  uint64_t count = g_NetInterfacesChangeCount.load(std::memory_order_acquire);
  STables fresh;
  auto& source = platform::GetNetAdapterSource();
  EnumerateAdapters(source, fresh);
  EnumerateWlanNetworks(source, fresh);
  fresh.systemDnsServers = source.LoadSystemDnsServers();
  if (fresh.interfaces.empty()) CLogMessage().SetError().Append(LogError, L"No network interfaces found");
  if (fresh.systemDnsServers.empty()) CLogMessage().Append(LogNormal, L"No system default DNS server found");
  std::lock_guard lock(g_NetInterfacesMutex);
  g_NetInterfaces.swap(fresh.interfaces);
  g_SystemDnsServers.swap(fresh.systemDnsServers);
  g_WlanSsids.swap(fresh.ssids);
  g_NetInterfacesBuiltCount.store(count, std::memory_order_release);
  g_NetInterfacesBuilt.store(true, std::memory_order_release);
  g_NetInterfacesRefreshTick = platform::GetTickCount64();
}

}  // namespace

bool SNetInterface::IsUp() const { return up && !addresses.empty(); }

std::wstring SNetInterface::GetText(bool raw, bool markDown) const {
  if (raw) {
    switch (idType) {
      case InterfaceIdAdapter: return id;
      case InterfaceIdName: return name;
      case InterfaceIdSsid: return ssid;
      case InterfaceIdDnsSuffix: return dnsSuffix;
      default: return L"unknown";
    }
  }
  std::wstring text;
  switch (idType) {
    case InterfaceIdAdapter: text = name.empty() ? id + L" (ID)" : name; break;
    case InterfaceIdName: text = name + L" (by name)"; break;
    case InterfaceIdSsid: text = ssid + L" (SSID)"; break;
    case InterfaceIdDnsSuffix: text = dnsSuffix + L" (DNS suffix)"; break;
    default: text = L"Unknown Param Type"; break;
  }
  if (markDown && !IsUp()) text += L" [down]";
  return text;
}

bool SNetInterface::Matches(ENetInterfaceIdType type, const std::wstring& text) const {
  return idType == type && GetText(true, false) == text;
}

void SNetInterface::SetIdText(ENetInterfaceIdType type, const std::wstring& text) {
  switch (type) {
    case InterfaceIdAdapter: id = text; break;
    case InterfaceIdName: name = text; break;
    case InterfaceIdSsid: ssid = text; break;
    case InterfaceIdDnsSuffix: dnsSuffix = text; break;
    default: break;
  }
}

std::vector<SNetInterface> SNetInterfacesSnapshot::GetSortedInterfaces() const {
  std::vector<SNetInterface> sorted;
  sorted.reserve(interfaces.size());
  for (const auto& [id, record] : interfaces) sorted.push_back(record);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const SNetInterface& a, const SNetInterface& b) { return a.name < b.name; });
  return sorted;
}

bool FindInterface(const NetInterfaceMap& interfaces, ENetInterfaceIdType type, const std::wstring& text,
                   SNetInterface& out) {
  if (type == InterfaceIdAdapter) {
    auto it = interfaces.find(text);
    if (it == interfaces.end()) return false;
    out = it->second;
    return true;
  }
  std::wstring SNetInterface::*field = nullptr;
  switch (type) {
    case InterfaceIdName: field = &SNetInterface::name; break;
    case InterfaceIdSsid: field = &SNetInterface::ssid; break;
    case InterfaceIdDnsSuffix: field = &SNetInterface::dnsSuffix; break;
    default: return false;
  }
  for (const auto& [id, record] : interfaces) {
    if (record.*field == text) {
      out = record;
      return true;
    }
  }
  return false;
}

void RefreshNetInterfaces() {
  std::lock_guard rebuild(g_NetInterfacesRebuildMutex);
  Rebuild();
}

void RefreshNetInterfacesIfChanged() {
  if (!Changed()) return;
  std::unique_lock rebuild(g_NetInterfacesRebuildMutex, std::try_to_lock);
  if (!rebuild.owns_lock()) {
    // Another reader is rebuilding: the previous picture serves, unless
    // there is none yet.
    if (g_NetInterfacesBuilt.load(std::memory_order_acquire)) return;
    rebuild.lock();
  }
  if (Changed()) Rebuild();
}

void GetNetInterfacesSnapshot(SNetInterfacesSnapshot& out) {
  RefreshNetInterfacesIfChanged();
  std::lock_guard lock(g_NetInterfacesMutex);
  out.interfaces = g_NetInterfaces;
  out.systemDnsServers = g_SystemDnsServers;
  out.ssids = g_WlanSsids;
}

bool FindNetInterface(ENetInterfaceIdType type, const std::wstring& text, SNetInterface& out) {
  RefreshNetInterfacesIfChanged();
  std::lock_guard lock(g_NetInterfacesMutex);
  return FindInterface(g_NetInterfaces, type, text, out);
}

std::vector<sockaddr_storage> GetSystemDnsServers() {
  RefreshNetInterfacesIfChanged();
  std::lock_guard lock(g_NetInterfacesMutex);
  return g_SystemDnsServers;
}

bool ScanWlanNetworks() { return platform::GetNetAdapterSource().RequestWlanScan(); }

void OnIpInterfaceChange() { g_NetInterfacesChangeCount.fetch_add(1, std::memory_order_acq_rel); }

bool RegisterNetInterfaceChangeNotification() {
  std::lock_guard lock(g_NetInterfaceChangeMutex);
  if (!g_NetInterfaceChangeHandle) g_NetInterfaceChangeHandle = platform::GetNetAdapterSource().StartWatcher(OnIpInterfaceChange);
  return g_NetInterfaceChangeHandle != nullptr;
}

void CancelNetInterfaceChangeNotification() {
  std::unique_ptr<platform::NetChangeWatcher> watcher;
  {
    std::lock_guard lock(g_NetInterfaceChangeMutex);
    watcher = std::move(g_NetInterfaceChangeHandle);
  }
  watcher.reset();  // joins the watcher's thread
}

bool IsNetInterfaceChangeNotificationRegistered() {
  std::lock_guard lock(g_NetInterfaceChangeMutex);
  return g_NetInterfaceChangeHandle != nullptr;
}

void ResetNetInterfacesForTesting() {
  std::lock_guard rebuild(g_NetInterfacesRebuildMutex);
  std::lock_guard lock(g_NetInterfacesMutex);
  g_NetInterfaces.clear();
  g_SystemDnsServers.clear();
  g_WlanSsids.clear();
  g_NetInterfacesRefreshTick = 0;
  g_NetInterfacesBuiltCount = g_NetInterfacesChangeCount.load() - 1;
  g_NetInterfacesBuilt = false;
}
