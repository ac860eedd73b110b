// What the "Advanced Network Interface" dialog offers and what its OK picks,
// apart from Qt. The rule-action list is the one the rules dialogs share; an
// OK either points at one of its entries or appends one. UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Quorvane/foundation/net_interfaces.h"

inline constexpr const wchar_t* kDownMark = L" [down]";

// "{" 8-4-4-4-12 hex digits "}", either case, nothing else.
bool IsBracedGuid(const std::wstring& text);

struct SValueList {
  std::vector<std::wstring> values;
  bool waitNotice = false;  // the Wi-Fi list may still be filling
};

// The values offered for an attribute. ssids (SSID -> connected) and
// msSinceOpen matter for the SSID attribute only.
SValueList BuildValueList(int attribute, const std::vector<SNetInterface>& list,
                          const std::map<std::wstring, bool>& ssids, uint64_t msSinceOpen);

using InterfaceFinder = std::function<bool(ENetInterfaceIdType, const std::wstring&, SNetInterface&)>;

// OK: shows the refusal's box and returns false, or sets choice to the index
// of the entry to use, appending one to list when none is listed.
bool ResolveChoice(int attribute, std::wstring value, std::vector<SNetInterface>& list, int& choice,
                   const InterfaceFinder& find = FindNetInterface);

// The dialog's state: the opening tick and the Wi-Fi scan.
class CNetInterfaceModel {
 public:
  struct SHooks {
    std::function<bool()> scan = ScanWlanNetworks;
    // Refreshes the interfaces and returns the visible networks.
    std::function<std::map<std::wstring, bool>()> ssids;
    InterfaceFinder find = FindNetInterface;
  };
  CNetInterfaceModel(std::vector<SNetInterface>& list, SHooks hooks);

  void Open();  // scans and takes the opening time
  // The values of the attribute; the SSID list may show the wait notice.
  std::vector<std::wstring> Values(int attribute);
  bool Ok(int attribute, const std::wstring& value, int& choice);

 private:
  std::vector<SNetInterface>& m_list;
  SHooks m_hooks;
  uint64_t m_openTick = 0;
};

// Refreshes g_NetInterfaces and copies the Wi-Fi networks under the lock.
std::map<std::wstring, bool> RefreshAndCopySsids();
