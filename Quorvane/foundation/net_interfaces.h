// The program's picture of the machine's network interfaces: adapters with
// their addresses and DNS servers, the Wi-Fi networks in range and the
// system's default DNS servers, read from platform::NetAdapterSource.
//
// The picture is rebuilt lazily. A change notification only bumps
// g_NetInterfacesChangeCount; the next reader that finds the count moved
// since the last rebuild builds a fresh picture without g_NetInterfacesMutex
// (`resolvectl` and `nmcli` may take seconds) and swaps it in under the lock.
// Readers that come meanwhile use the previous picture; only while none was
// ever built do they wait for the first. One rebuild runs at a time. The
// count is read before the rebuild starts, so a change that arrives while the
// system is being enumerated makes the following reader rebuild again.
//
// Readers: rule evaluation (engine intake thread), the conf-file reader,
// start-up and the interface dialogs. The watcher's thread only bumps the count.
// Dial-up phonebook entries do not exist on this platform.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Quorvane/foundation/net_interface_id.h"

struct SNetInterface {
  std::wstring id;  // "{GUID}"
  ENetInterfaceIdType idType = InterfaceIdAdapter;  // the attribute this record is named by
  std::wstring name;                                // friendly name
  bool up = false;                                  // operational state up
  std::vector<sockaddr_storage> addresses;          // unicast
  std::vector<sockaddr_storage> dnsServers;
  std::wstring dnsSuffix;
  int wireless = 0;   // 1 for a Wi-Fi interface
  std::wstring ssid;  // the network it is connected to
  int special = 0;    // 0 for real interfaces; pseudo rows of the rule list dialog use 1

  // Up and holding at least one unicast address.
  bool IsUp() const;
  // raw: the attribute idType names ("unknown" for other types). Otherwise a
  // display text, with " [down]" added under markDown when !IsUp().
  std::wstring GetText(bool raw, bool markDown) const;
  // Same idType and the raw text equal to text (exact, case-sensitive).
  bool Matches(ENetInterfaceIdType type, const std::wstring& text) const;
  // Stores text in the attribute type names; other types change nothing.
  void SetIdText(ENetInterfaceIdType type, const std::wstring& text);
};

using NetInterfaceMap = std::map<std::wstring, SNetInterface>;  // by id

struct SNetInterfacesSnapshot {
  NetInterfaceMap interfaces;
  std::vector<sockaddr_storage> systemDnsServers;
  std::map<std::wstring, bool> ssids;  // SSID -> connected

  // Ordered by friendly name (ordinal), ties in id order.
  std::vector<SNetInterface> GetSortedInterfaces() const;
};

extern std::mutex g_NetInterfacesMutex;
// Guarded by g_NetInterfacesMutex.
extern NetInterfaceMap g_NetInterfaces;
extern std::vector<sockaddr_storage> g_SystemDnsServers;
extern std::map<std::wstring, bool> g_WlanSsids;
extern uint64_t g_NetInterfacesRefreshTick;  // GetTickCount64 of the last rebuild, 0 = never
// Bumped by OnIpInterfaceChange on the watcher's thread; read by the rebuild.
extern std::atomic<uint64_t> g_NetInterfacesChangeCount;

// Type 0 looks the id up; types 1-3 take the first record in id order whose
// name, ssid or dnsSuffix equals text exactly; other types find nothing.
bool FindInterface(const NetInterfaceMap& interfaces, ENetInterfaceIdType type, const std::wstring& text,
                   SNetInterface& out);

// Each takes g_NetInterfacesMutex and rebuilds first when something changed.
void GetNetInterfacesSnapshot(SNetInterfacesSnapshot& out);
bool FindNetInterface(ENetInterfaceIdType type, const std::wstring& text, SNetInterface& out);
std::vector<sockaddr_storage> GetSystemDnsServers();

// Called without g_NetInterfacesMutex. The first rebuilds only when the
// change count moved since the last rebuild (or none happened yet), and
// returns at once while another thread rebuilds a picture that exists; the
// second always rebuilds, after any rebuild in progress.
void RefreshNetInterfacesIfChanged();
void RefreshNetInterfaces();

// Asks for a fresh Wi-Fi scan; false when no Wi-Fi service answers.
bool ScanWlanNetworks();

// The change notification: makes the next reader rebuild, nothing else.
void OnIpInterfaceChange();

// Start and stop of the change watcher, called by the application at start-up
// and exit. Starting again while it runs does nothing; the first notification
// comes at once. False when the system offers no notification.
bool RegisterNetInterfaceChangeNotification();
void CancelNetInterfaceChangeNotification();
bool IsNetInterfaceChangeNotificationRegistered();

// Empties the tables so that the next reader rebuilds; for tests.
void ResetNetInterfacesForTesting();
