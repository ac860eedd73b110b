#include "Quorvane/config/dns_pool.h"

#include "Quorvane/foundation/text_utils.h"

const std::map<EPoolType, std::pair<std::string, std::string>> g_PoolTypeTable = {
    {EPoolType::Unspec, {"unspec", "Unspecified"}},
    {EPoolType::Redundancy, {"redundancy", "Redundancy"}},
    {EPoolType::Balancing, {"balancing", "Load Balancing"}},
};

namespace {

const CDnsServer* FindServer(const std::vector<CDnsServer>& servers, uint32_t id) {
  int index = FindServerIndexById(servers, id);
  return index < 0 ? nullptr : &servers[index];
}

std::wstring Display(EDnsProtocol protocol) { return Utf8ToWide(GetProtocolNames(protocol).second); }

}  // namespace

bool CDnsPool::Validate(const std::vector<CDnsServer>& servers, std::wstring& error) const {
  const std::wstring pool = L"Pool " + name;
  if (serverIds.empty()) {
    error = pool + L" does not have any servers.";
    return false;
  }
  for (uint32_t relayId : relayIds) {
    const std::wstring id = std::to_wstring(relayId);
    const CDnsServer* relay = FindServer(servers, relayId);
    if (!relay) {
      error = pool + L" cannot refer to nonexistent relay server ID " + id + L".";
      return false;
    }
    if (relay->protocol != EDnsProtocol::Relay) {
      error = pool + L" cannot refer to relay server (ID=" + id + L") with non-relay protocol " +
              Display(relay->protocol);
      return false;
    }
  }
  for (uint32_t serverId : serverIds) {
    const std::wstring id = std::to_wstring(serverId);
    const CDnsServer* server = FindServer(servers, serverId);
    if (!server) {
      error = pool + L" cannot refer to nonexistent server ID " + id + L".";
      return false;
    }
    if (server->protocol == EDnsProtocol::Relay) {
      error = pool + L" cannot refer to DNS server (ID=" + id + L") as to relay.";
      return false;
    }
    if (relayIds.empty()) continue;
    if (server->protocol != EDnsProtocol::DnsCrypt) {
      error = pool + L" cannot refer to DNS server (ID=" + id + L") with protocol " + Display(server->protocol) +
              L". Only DNSCrypt servers can be used with relays.";
      return false;
    }
    if (server->dnscrypt_disable_padding) {
      error = pool + L" cannot refer to DNSCrypt server (ID=" + id +
              L") because query padding is disabled for this server.";
      return false;
    }
  }
  if (type == EPoolType::Redundancy && !relayIds.empty() && serverIds.size() >= 2) {
    error = L"Redundancy Pool " + name +
            L" may have only one server because it has relays. Change the pool type or keep one server only.";
    return false;
  }
  return true;
}

std::vector<CDnsServer> CDnsPool::GetMemberServers(const std::vector<CDnsServer>& servers,
                                                   EDnsProtocol filter) const {
  std::vector<CDnsServer> members;
  auto take = [&](const std::vector<uint32_t>& ids) {
    for (uint32_t id : ids) {
      const CDnsServer* server = FindServer(servers, id);
      if (server && (filter == EDnsProtocol::Unspec || server->protocol == filter)) members.push_back(*server);
    }
  };
  take(serverIds);
  take(relayIds);
  return members;
}

std::string CDnsPool::GetTypeName(bool display) const {
  const auto& names = g_PoolTypeTable.at(type);
  return display ? names.second : names.first;
}

std::wstring CDnsPool::GetDisplayName() const { return name + L" [" + Utf8ToWide(GetTypeName(true)) + L"]"; }
