#include "Quorvane/ui/net_interface_model.h"

#include <cwctype>
#include <mutex>

#include "Quorvane/app/message_box.h"
#include "Quorvane/platform/clock.h"

namespace {

constexpr const wchar_t* kCaption = L"Network Interface";
constexpr uint64_t kWlanWaitMs = 4000;

void Refuse(const std::wstring& text) { ShowMessageBox(text, kCaption, MB_ICONEXCLAMATION); }

}  // namespace

bool IsBracedGuid(const std::wstring& text) {
  if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
  for (size_t i = 1; i < 37; ++i) {
    bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    wchar_t c = text[i];
    if (dash ? c != L'-' : !(c < 128 && std::iswxdigit(c))) return false;
  }
  return true;
}

SValueList BuildValueList(int attribute, const std::vector<SNetInterface>& list,
                          const std::map<std::wstring, bool>& ssids, uint64_t msSinceOpen) {
  SValueList out;
  auto mark = [](const SNetInterface& entry) { return entry.up ? L"" : kDownMark; };
  switch (attribute) {
    case InterfaceIdAdapter:
      for (const SNetInterface& entry : list)
        if (!entry.special && !entry.id.empty()) out.values.push_back(entry.id + L" " + entry.name + mark(entry));
      break;
    case InterfaceIdName:
      for (const SNetInterface& entry : list)
        if (!entry.special && !entry.name.empty()) out.values.push_back(entry.name + mark(entry));
      break;
    case InterfaceIdDnsSuffix:
      for (const SNetInterface& entry : list)
        if (!entry.special && !entry.dnsSuffix.empty()) out.values.push_back(entry.dnsSuffix + mark(entry));
      break;
    case InterfaceIdSsid: {
      out.waitNotice = msSinceOpen < kWlanWaitMs && ssids.size() < 2;
      std::map<std::wstring, bool> merged = ssids;  // ordered by text
      for (const SNetInterface& entry : list)
        if (entry.idType == InterfaceIdSsid && !entry.ssid.empty()) merged[entry.ssid] = entry.IsUp();
      for (const auto& [ssid, connected] : merged) out.values.push_back(ssid + (connected ? L"" : kDownMark));
      break;
    }
    default:
      break;
  }
  return out;
}

bool ResolveChoice(int attribute, std::wstring value, std::vector<SNetInterface>& list, int& choice,
                   const InterfaceFinder& find) {
  if (attribute < InterfaceIdAdapter || attribute > InterfaceIdDnsSuffix) {
    Refuse(L"Incorrect attribute type");
    return false;
  }
  if (size_t mark = value.rfind(kDownMark); mark != std::wstring::npos) value.resize(mark);
  if (value.empty()) {
    Refuse(L"Please specify the value of the interface attribute.");
    return false;
  }
  auto type = static_cast<ENetInterfaceIdType>(attribute);
  if (type == InterfaceIdAdapter) {
    if (value.size() > 38) value.resize(38);
    if (!IsBracedGuid(value)) {
      Refuse(L"Adapter ID should be in GUID fromat like:\n{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}");
      return false;
    }
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].id == value) {
        choice = static_cast<int>(i);
        return true;
      }
  }
  SNetInterface entry;
  if (find && find(type, value, entry)) entry.id.clear();
  entry.idType = type;
  entry.SetIdText(type, value);
  list.push_back(std::move(entry));
  choice = static_cast<int>(list.size()) - 1;
  return true;
}

CNetInterfaceModel::CNetInterfaceModel(std::vector<SNetInterface>& list, SHooks hooks)
    : m_list(list), m_hooks(std::move(hooks)) {
  if (!m_hooks.ssids) m_hooks.ssids = RefreshAndCopySsids;
}

void CNetInterfaceModel::Open() {
  if (m_hooks.scan) m_hooks.scan();
  m_openTick = platform::GetTickCount64();
}

std::vector<std::wstring> CNetInterfaceModel::Values(int attribute) {
  std::map<std::wstring, bool> ssids;
  if (attribute == InterfaceIdSsid) {
    if (m_hooks.scan) m_hooks.scan();
    ssids = m_hooks.ssids();
  }
  SValueList list = BuildValueList(attribute, m_list, ssids, platform::GetTickCount64() - m_openTick);
  if (list.waitNotice)
    ShowMessageBox(L"Please wait for the update of WiFi network list.", L"WiFi Networks", MB_ICONINFORMATION);
  return list.values;
}

bool CNetInterfaceModel::Ok(int attribute, const std::wstring& value, int& choice) {
  return ResolveChoice(attribute, value, m_list, choice, m_hooks.find);
}

std::map<std::wstring, bool> RefreshAndCopySsids() {
  RefreshNetInterfaces();
  std::lock_guard lock(g_NetInterfacesMutex);
  return g_WlanSsids;
}
