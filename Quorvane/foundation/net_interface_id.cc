#include "Quorvane/foundation/net_interface_id.h"

const std::map<ENetInterfaceIdType, std::pair<std::wstring, std::wstring>> g_NetInterfaceIdTypes = {
    {InterfaceIdAdapter, {L"id", L"Adapter ID"}},
    {InterfaceIdName, {L"name", L"Adapter Name"}},
    {InterfaceIdSsid, {L"ssid", L"SSID of Wi-Fi Network"}},
    {InterfaceIdDnsSuffix, {L"dns_suffix", L"DNS Suffix of Connection"}},
};

bool NetInterfaceIdTypeFromKey(const std::wstring& key, ENetInterfaceIdType& type) {
  for (const auto& [value, names] : g_NetInterfaceIdTypes) {
    if (names.first == key) {
      type = value;
      return true;
    }
  }
  return false;
}

const std::wstring& NetInterfaceIdTypeToKey(ENetInterfaceIdType type) { return g_NetInterfaceIdTypes.at(type).first; }
