// Which attribute of a network interface a rule's condition names it by,
// with the conf-file keys and display texts of each kind.
#pragma once

#include <map>
#include <string>
#include <utility>

enum ENetInterfaceIdType : int {
  InterfaceIdAdapter = 0,
  InterfaceIdName = 1,
  InterfaceIdSsid = 2,
  InterfaceIdDnsSuffix = 3,
};

// Value -> {conf-file key, display text}.
extern const std::map<ENetInterfaceIdType, std::pair<std::wstring, std::wstring>> g_NetInterfaceIdTypes;

// Exact, case-sensitive key match; type is left alone when none matches.
bool NetInterfaceIdTypeFromKey(const std::wstring& key, ENetInterfaceIdType& type);
// Throws std::out_of_range for a value outside the table (a programming error).
const std::wstring& NetInterfaceIdTypeToKey(ENetInterfaceIdType type);
