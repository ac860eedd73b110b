// A named group of servers and DNSCrypt relays with a selection policy.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Quorvane/config/constants.h"
#include "Quorvane/config/dns_server.h"

enum class EPoolType : int {
  Unspec = 0,
  Redundancy = 1,  // the Ok member with the smallest round-trip time
  Balancing = 2,   // a random member
};

// Value -> {key, display text}.
extern const std::map<EPoolType, std::pair<std::string, std::string>> g_PoolTypeTable;

class CDnsPool {
 public:
  uint32_t id = 0;  // in the id space of the servers
  std::wstring name;
  std::vector<uint32_t> serverIds;
  std::vector<uint32_t> relayIds;
  EPoolType type = EPoolType::Redundancy;
  std::string testHost = g_DefaultTestHost;  // queried when Redundancy members are checked
  int32_t recheckDelaySec = 60;

  // Members are looked up by id (first server with it); the first failed
  // check sets error and returns false.
  bool Validate(const std::vector<CDnsServer>& servers, std::wstring& error) const;
  // Copies of the servers named by serverIds, then relayIds; protocol
  // Unspec takes every protocol.
  std::vector<CDnsServer> GetMemberServers(const std::vector<CDnsServer>& servers, EDnsProtocol filter) const;
  // Key, or display text; throws std::out_of_range for a type outside the table.
  std::string GetTypeName(bool display) const;
  // name + " [" + type display text + "]".
  std::wstring GetDisplayName() const;
};

inline int FindPoolIndexById(const std::vector<CDnsPool>& pools, uint32_t id) { return FindIndexById(pools, id); }
