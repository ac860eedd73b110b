#include "Quorvane/ui/server_pool_editor.h"

#include <algorithm>
#include <map>

#include "Quorvane/app/message_box.h"
#include "Quorvane/config/object_id.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/ui/dialog_logic.h"

namespace {

constexpr const wchar_t* kServersCaption = L"DNS servers";
constexpr const wchar_t* kPoolsCaption = L"DNS server pools";

bool EraseFirst(std::vector<uint32_t>& ids, uint32_t id) {
  auto it = std::find(ids.begin(), ids.end(), id);
  if (it == ids.end()) return false;
  ids.erase(it);
  return true;
}

bool Contains(const std::vector<uint32_t>& ids, uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

template <class Record>
void SortByName(std::vector<Record>& records) {
  std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
    return ToUtf16Units(a.name) < ToUtf16Units(b.name);
  });
}

const CRule* RuleNaming(const std::vector<CRule>& rules, uint32_t id) {
  for (const CRule& rule : rules)
    if (rule.action_id == id) return &rule;
  return nullptr;
}

}  // namespace

std::wstring RttPadded(int rtt) {
  if (rtt == -1) return L"    ";
  std::wstring text = std::to_wstring(rtt);
  if (text.size() < 4) text.insert(0, 4 - text.size(), L' ');
  return text;
}

std::wstring MemberText(const CDnsServer& server) {
  return RttPadded(server.rttMs) + L" " + server.name + L" [" + Utf8ToWide(GetProtocolNames(server.protocol).second) +
         L"]";
}

EItemColour MemberColour(const CDnsServer& server) {
  if (server.status == EServerStatus::Ok) return EItemColour::Green;
  if (server.status == EServerStatus::Failed) return EItemColour::Red;
  return EItemColour::Default;
}

std::vector<std::wstring> DragImageLines(const std::vector<std::wstring>& names) {
  std::vector<std::wstring> lines;
  for (const std::wstring& name : names) {
    lines.push_back(name);
    if (lines.size() == 10) {
      lines.push_back(L"...");
      break;
    }
  }
  return lines;
}

void SortServersByName(std::vector<CDnsServer>& servers) { SortByName(servers); }
void SortPoolsByName(std::vector<CDnsPool>& pools) { SortByName(pools); }

int ServerPoolEditor::Import(const std::vector<CDnsServer>& imported) {
  int added = 0;
  for (const CDnsServer& server : imported) {
    const bool known = std::any_of(servers.begin(), servers.end(),
                                   [&](const CDnsServer& s) { return s.IsEqual(server, true, true); });
    if (known) continue;
    servers.push_back(server);
    ++added;
  }
  return added;
}

bool ServerPoolEditor::RemoveServers(const std::vector<uint32_t>& ids) {
  const std::wstring word = ids.size() < 2 ? L"server" : L"servers";
  bool asked = false;
  for (uint32_t id : ids) {
    const int index = FindServerIndexById(servers, id);
    if (index < 0) continue;
    if (const CRule* rule = RuleNaming(rules, id)) {
      ShowMessageBox(L"Server " + servers[index].name + L" is used in the rule " + rule->name +
                         L". \nPlease edit or remove the rule first.",
                     kServersCaption, MB_OK | MB_ICONEXCLAMATION);
      return false;
    }
    for (CDnsPool& pool : pools) {
      for (std::vector<uint32_t>* list : {&pool.relayIds, &pool.serverIds}) {
        if (!Contains(*list, id)) continue;
        if (!asked) {
          asked = true;
          if (ShowMessageBox(L"The " + word + L" will be remove from the pools as well. Continue?", kServersCaption,
                             MB_YESNO | 0x20) != IDYES)
            return false;
        }
        EraseFirst(*list, id);
      }
    }
    servers.erase(servers.begin() + index);
  }
  return true;
}

bool ServerPoolEditor::RenameServer(uint32_t id, const std::wstring& name) {
  const int index = FindServerIndexById(servers, id);
  if (index < 0) return false;
  if (name.empty()) {
    ShowMessageBox(L"The name of the server cannot be an empty string.", L"DNS Server", MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  servers[index].name = name;
  return true;
}

bool ServerPoolEditor::RenamePool(uint32_t id, const std::wstring& name) {
  const int index = FindPoolIndexById(pools, id);
  if (index < 0) return false;
  if (name.empty()) {
    ShowMessageBox(L"The name of the pool cannot be an empty string.", L"Server Pool", MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  pools[index].name = name;
  return true;
}

uint32_t ServerPoolEditor::CreatePool() {
  CDnsPool pool;
  pool.name = L"New Pool";
  pool.id = g_NextObjectId++;
  pools.push_back(pool);
  return pool.id;
}

bool ServerPoolEditor::EditPoolType(uint32_t poolId, const std::function<bool(CDnsPool&)>& run) {
  const int index = FindPoolIndexById(pools, poolId);
  if (index < 0) {
    ShowMessageBox(L"Please select a pool to set its type.", kPoolsCaption, MB_OK | MB_ICONINFORMATION);
    return false;
  }
  return run(pools[index]);
}

bool ServerPoolEditor::RemoveTreeItems(const std::vector<STreeItem>& items) {
  for (const STreeItem& item : items) {
    if (item.serverId != 0) continue;
    const int index = FindPoolIndexById(pools, item.poolId);
    const CRule* rule = RuleNaming(rules, item.poolId);
    if (index >= 0 && rule) {
      ShowMessageBox(L"Pool " + pools[index].name + L" is used in the rule " + rule->name +
                         L". \nPlease edit or remove the rule first.",
                     kPoolsCaption, MB_OK | MB_ICONEXCLAMATION);
      return false;
    }
  }
  for (auto it = items.rbegin(); it != items.rend(); ++it) {
    const int index = FindPoolIndexById(pools, it->poolId);
    if (index < 0) continue;  // a member of a pool already removed
    if (it->serverId == 0) {
      pools.erase(pools.begin() + index);
    } else {
      EraseFirst(pools[index].relayIds, it->serverId);
      EraseFirst(pools[index].serverIds, it->serverId);
    }
  }
  return true;
}

std::vector<uint32_t> ServerPoolEditor::DragOrder(const std::vector<uint32_t>& ids) const {
  std::vector<uint32_t> ordered, relays;
  for (uint32_t id : ids) {
    const int index = FindServerIndexById(servers, id);
    if (index < 0) continue;
    (servers[index].protocol == EDnsProtocol::Relay ? relays : ordered).push_back(id);
  }
  ordered.insert(ordered.end(), relays.begin(), relays.end());
  return ordered;
}

bool ServerPoolEditor::Drop(const std::vector<uint32_t>& draggedIds, uint32_t poolId) {
  const int index = FindPoolIndexById(pools, poolId);
  if (index < 0) return false;
  for (uint32_t id : draggedIds) {
    const int server = FindServerIndexById(servers, id);
    if (server < 0) continue;
    CDnsPool copy = pools[index];
    std::vector<uint32_t>& list = servers[server].protocol == EDnsProtocol::Relay ? copy.relayIds : copy.serverIds;
    if (!Contains(list, id)) list.push_back(id);
    std::wstring error;
    if (!copy.Validate(servers, error)) {
      ShowMessageBox(error, kPoolsCaption, MB_OK | MB_ICONEXCLAMATION);
      return false;
    }
    pools[index] = std::move(copy);
  }
  return true;
}

void ServerPoolEditor::DropOnNothing() const {
  if (pools.empty())
    ShowMessageBox(L"Please click \"Create\" button to create a pool of DNS servers.", kPoolsCaption,
                   MB_OK | MB_ICONINFORMATION);
}

void ServerPoolEditor::StartCheck(CDnsServerChecker& checker, const std::vector<uint32_t>& rowIds,
                                  const std::vector<STreeItem>& treeItems, bool treeHadFocus, platform::HWND owner,
                                  const std::string& testTarget) {
  checker.Stop();
  std::map<uint32_t, int> chosen;  // id -> index into servers
  auto take = [&](uint32_t id) {
    const int index = FindServerIndexById(servers, id);
    if (index >= 0) chosen.emplace(id, index);
  };
  if (treeHadFocus || rowIds.empty()) {
    for (const STreeItem& item : treeItems) {
      if (item.serverId != 0) {
        take(item.serverId);
      } else if (const int pool = FindPoolIndexById(pools, item.poolId); pool >= 0) {
        for (uint32_t id : pools[pool].serverIds) take(id);
        for (uint32_t id : pools[pool].relayIds) take(id);
      }
    }
  } else {
    for (uint32_t id : rowIds) take(id);
  }
  const CDnsServer* partner = nullptr;
  for (auto& [id, index] : chosen) {
    CDnsServer& server = servers[index];
    if (server.protocol != EDnsProtocol::Relay) checker.Add(server, CDnsServer{}, "", 0);
    if (server.protocol == EDnsProtocol::DnsCrypt && (!partner || !server.dnscrypt_disable_padding))
      partner = &server;
    server.status = EServerStatus::Unknown;
    server.rttMs = -1;
  }
  for (auto& [id, index] : chosen) {
    const CDnsServer& server = servers[index];
    if (server.protocol != EDnsProtocol::Relay) continue;
    if (!partner || partner->dnscrypt_disable_padding) {
      ShowMessageBox(partner ? L"Relays can only be tested together with a DNSCrypt server that does not have query "
                               L"padding disabled."
                             : L"Relays can only be tested together with a DNSCrypt server.",
                     L"DNS Server Relay", MB_OK | MB_ICONEXCLAMATION);
      break;
    }
    checker.Add(server, *partner, "", 0);
  }
  checker.Start(owner, testTarget);
}

int ServerPoolEditor::ApplyCheckResult(const SServerCheckResult& result) {
  const int index = FindServerIndexById(servers, result.serverId);
  if (index < 0) return -1;
  servers[index].status = result.ok ? EServerStatus::Ok : EServerStatus::Failed;
  servers[index].rttMs = result.rttMs;
  return index;
}

EItemColour ServerPoolEditor::PoolColour(const CDnsPool& pool) const {
  const std::vector<CDnsServer> members = pool.GetMemberServers(servers, EDnsProtocol::Unspec);
  if (members.empty()) return EItemColour::Default;
  auto all = [](const std::vector<CDnsServer>& list, EServerStatus status) {
    return std::all_of(list.begin(), list.end(), [&](const CDnsServer& s) { return s.status == status; });
  };
  if (all(members, EServerStatus::Ok)) return EItemColour::Green;
  if (all(members, EServerStatus::Failed)) return EItemColour::Red;
  if (!pool.relayIds.empty()) {
    CDnsPool relaysOnly = pool;
    relaysOnly.serverIds.clear();
    const std::vector<CDnsServer> relays = relaysOnly.GetMemberServers(servers, EDnsProtocol::Unspec);
    if (!relays.empty() && all(relays, EServerStatus::Failed)) return EItemColour::Red;
  }
  return EItemColour::Default;
}

std::vector<uint32_t> ServerPoolEditor::PoolsWithMember(uint32_t serverId) const {
  std::vector<uint32_t> ids;
  for (const CDnsPool& pool : pools)
    if (Contains(pool.serverIds, serverId) || Contains(pool.relayIds, serverId)) ids.push_back(pool.id);
  return ids;
}

bool ServerPoolEditor::Ok() {
  for (const CDnsPool& pool : pools) {
    std::wstring error;
    if (pool.serverIds.empty()) {
      error = L"Pool " + pool.name + L" does not have any DNS servers.\nRemove it or add servers.";
    } else {
      pool.Validate(servers, error);
    }
    if (!error.empty()) {
      ShowMessageBox(error, L"Server Pool", MB_OK | MB_ICONEXCLAMATION);
      return false;
    }
  }
  SortServersByName(servers);
  SortPoolsByName(pools);
  return true;
}
