// A rule: what happens to a query whose host name is on its list. Rules are
// values; copies share one immutable exact-name set, so a hosts file of many
// thousands of names is held once however often the engine copies the list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Quorvane/config/hostname_match.h"
#include "Quorvane/foundation/net_interface_id.h"

enum class ERuleAction : int {
  ProcessServer = 0,  // the server action_id; 0 = the interface's or system's servers
  ProcessPool = 1,    // the pool action_id
  Bypass = 2,         // on to the server the process addressed
  Block = 3,
};

class CRule {
 public:
  std::wstring name = L"New Rule";
  bool enabled = true;
  ERuleAction action = ERuleAction::Bypass;
  uint32_t action_id = 0;
  std::wstring interface_id;  // empty = no interface condition
  ENetInterfaceIdType interface_id_type = InterfaceIdAdapter;
  std::wstring interface_name;  // remembered for when the interface is absent
  std::wstring hostnames = L"*";  // the list as the user typed it
  HostnameSet masks{"*"};         // names with "*" or "?", lower case
  std::shared_ptr<const HostnameSet> exactNames;  // never changed once built; may be null
  bool simpleHostnames = false;  // the list holds "??simplehostnames??"
  bool dnssec_local_validation = false;
  bool dnssec_reject_unsigned = false;
  bool block_return_zero_ip = true;
  std::wstring displayList = L"*";  // files, then names, up to about 1000 characters

  void InitDefault();

  // Refuses empty names and any letter case of "default".
  bool SetName(const std::wstring& newName, std::wstring& error);
  std::wstring GetActionKey() const;  // "unknown" outside the table
  // Case-insensitive; false and action unchanged for an unknown key.
  bool SetActionKey(const std::string& key);

  // Names separated by ";" or line breaks; "file://name" reads a hosts file
  // from the folder of confPath (the per-user configuration folder when
  // confPath is empty). On failure the rule is unchanged and error is set.
  bool SetHostnames(const std::wstring& list, const std::wstring& confPath, std::wstring& error);

  // host has no final dot; compared case-insensitively.
  bool Match(const std::string& host) const;
};

// Where a "file://" name is looked up: beside the conf-file confPath, or in
// the per-user configuration folder when confPath is empty.
std::wstring HostsFilePath(const std::wstring& confPath, const std::wstring& fileName);
