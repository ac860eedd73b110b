#include "Quorvane/ui/rule_model.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "Quorvane/app/message_box.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

constexpr unsigned kQuestion = MB_YESNO | 0x20;  // MB_ICONQUESTION

void Box(const std::wstring& text, const wchar_t* caption, unsigned type = MB_ICONEXCLAMATION) {
  ShowMessageBox(text, caption, type);
}

bool IsBypassOrBlock(ERuleAction action) { return action == ERuleAction::Bypass || action == ERuleAction::Block; }

std::wstring Parenthesised(const std::vector<sockaddr_storage>& addresses) {
  return L"(" + AddressListToText(addresses, false) + L")";
}

}  // namespace

std::vector<SNetInterface> BuildRuleActionList(const std::vector<CRule>& rules, const SNetInterfacesSnapshot& snapshot) {
  std::vector<SNetInterface> list;
  for (const wchar_t* name : {L"Process", L"Bypass", L"Block"}) {
    SNetInterface entry;
    entry.special = 1;
    entry.name = name;
    list.push_back(entry);
  }
  for (SNetInterface& entry : snapshot.GetSortedInterfaces()) list.push_back(std::move(entry));
  for (const CRule& rule : rules) {
    if (rule.interface_id.empty()) continue;
    SNetInterface found;
    if (rule.interface_id_type == InterfaceIdAdapter &&
        FindInterface(snapshot.interfaces, InterfaceIdAdapter, rule.interface_id, found))
      continue;
    SNetInterface entry;
    if (FindInterface(snapshot.interfaces, rule.interface_id_type, rule.interface_id, found)) entry = found;
    entry.idType = rule.interface_id_type;
    entry.name = rule.interface_name;
    entry.SetIdText(rule.interface_id_type, rule.interface_id);
    list.push_back(std::move(entry));
  }
  return list;
}

std::vector<std::wstring> ActionTexts(const std::vector<SNetInterface>& list) {
  std::vector<std::wstring> texts;
  for (const SNetInterface& entry : list)
    texts.push_back(entry.special ? entry.name : L"Process via " + entry.GetText(false, true));
  texts.push_back(kMoreOptions);
  return texts;
}

std::vector<std::wstring> TargetTexts(const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools,
                                      bool displayPools) {
  std::vector<std::wstring> texts{L"Default"};
  for (const CDnsPool& pool : pools) texts.push_back(L"Pool - " + (displayPools ? pool.GetDisplayName() : pool.name));
  for (const CDnsServer& server : servers) texts.push_back(server.name);
  return texts;
}

int ActionSelection(const CRule& rule, const std::vector<SNetInterface>& list) {
  if (rule.action == ERuleAction::Bypass) return 1;
  if (rule.action == ERuleAction::Block) return 2;
  if (rule.interface_id.empty()) return 0;
  int selection = 0;
  for (size_t i = 0; i < list.size(); ++i)
    if (!list[i].special && list[i].Matches(rule.interface_id_type, rule.interface_id))
      selection = static_cast<int>(i);
  return selection;
}

int TargetSelection(const CRule& rule, const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools) {
  if (IsBypassOrBlock(rule.action)) return -1;
  if (rule.action == ERuleAction::ProcessPool) {
    int i = FindPoolIndexById(pools, rule.action_id);
    return i < 0 ? 0 : 1 + i;
  }
  if (rule.action_id == 0) return 0;
  int i = FindServerIndexById(servers, rule.action_id);
  return i < 0 ? 0 : 1 + static_cast<int>(pools.size()) + i;
}

bool ApplyRuleTarget(CRule& rule, int actionChoice, int targetChoice, const std::vector<SNetInterface>& list,
                     const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools) {
  const int poolCount = static_cast<int>(pools.size());
  // A Bypass or Block row has no target cell and reads -1.
  if (targetChoice < 0) targetChoice = 0;
  if (actionChoice < 0 || actionChoice >= static_cast<int>(list.size()) ||
      targetChoice > poolCount + static_cast<int>(servers.size()))
    return false;
  bool pool = false;
  uint32_t id = 0;
  if (targetChoice >= 1 && targetChoice <= poolCount) {
    id = pools[targetChoice - 1].id;
    pool = true;
  } else if (targetChoice > poolCount) {
    id = servers[targetChoice - poolCount - 1].id;
  }
  rule.action_id = id;
  if (actionChoice == 1) {
    rule.action = ERuleAction::Bypass;
  } else if (actionChoice == 2) {
    rule.action = ERuleAction::Block;
  } else {
    if (actionChoice == 0) {
      rule.interface_id.clear();
      rule.interface_name.clear();
    } else {
      const SNetInterface& entry = list[actionChoice];
      rule.interface_id_type = entry.idType;
      rule.interface_name = entry.name;
      rule.interface_id = entry.GetText(true, false);
    }
    rule.action = pool ? ERuleAction::ProcessPool : ERuleAction::ProcessServer;
  }
  return true;
}

bool CheckRuleDnssecSupport(const CRule& rule, const std::vector<CDnsServer>& servers,
                            const std::vector<CDnsPool>& pools, bool showBox) {
  if (IsBypassOrBlock(rule.action)) {
    if (showBox) Box(L"DNSSEC options cannot be set in Bypass or Block mode.", L"Rule");
    return false;
  }
  bool pool = rule.action == ERuleAction::ProcessPool;
  std::vector<uint32_t> ids{rule.action_id};
  if (pool) {
    int i = FindPoolIndexById(pools, rule.action_id);
    ids = i < 0 ? std::vector<uint32_t>{} : pools[i].serverIds;
  }
  for (uint32_t id : ids) {
    int i = FindServerIndexById(servers, id);
    if (i >= 0 && !servers[i].dnssec_supported) {
      if (showBox)
        Box(std::wstring(L"DNSSEC options cannot be set because the selected ") +
                (pool ? L"pool contains a server that " : L"server ") + L"does not support DNSSEC.",
            L"Rule");
      return false;
    }
  }
  return true;
}

std::wstring DescribeServer(const CDnsServer& server) {
  std::wstring text;
  if (server.protocol == EDnsProtocol::NextDns) {
    text = L"Configuration ID: " + Utf8ToWide(server.nextdns_id);
  } else if (server.protocol == EDnsProtocol::Doh) {
    text = L"https://" + Utf8ToWide(server.doh_host_name + server.doh_path);
  } else {
    text = Utf8ToWide(AddressToText(static_cast<int>(server.family), server.address));
    if (server.port != 0 && server.port != GetDefaultPort(server.protocol)) {
      if (server.family == AF_INET6) text = L"[" + text + L"]";
      text += L":" + std::to_wstring(server.port);
    }
  }
  auto names = g_ProtocolTable.find(server.protocol);
  if (names != g_ProtocolTable.end()) text += L" (" + Utf8ToWide(names->second.second) + L")";
  return text;
}

SRuleDescriptions DescribeChoices(int actionChoice, int targetChoice, bool blockZero,
                                  const std::vector<SNetInterface>& list, const std::vector<CDnsServer>& servers,
                                  const std::vector<CDnsPool>& pools,
                                  const std::vector<sockaddr_storage>& systemDns) {
  SRuleDescriptions d;
  const SNetInterface* entry =
      actionChoice >= 3 && actionChoice < static_cast<int>(list.size()) ? &list[actionChoice] : nullptr;
  if (actionChoice < 0) {
    d.action = L"Please select the action.";
  } else if (actionChoice == 0) {
    d.action = L"Resolve through the selected DNS server and default interface.";
  } else if (actionChoice == 1) {
    d.action = L"Original resolve request will remain intact.";
  } else if (actionChoice == 2) {
    d.action = blockZero ? L"Hostnames will be resolved as 0.0.0.0" : L"DNS request will be blocked.";
  } else {
    d.action = L"Resolve through the selected DNS server and interface.";
    if (entry) {
      std::vector<sockaddr_storage> v4;
      for (const sockaddr_storage& a : entry->addresses)
        if (a.ss_family == AF_INET) v4.push_back(a);
      if (!v4.empty()) d.interfaceAddresses = Parenthesised(v4);
    }
  }
  const int poolCount = static_cast<int>(pools.size());
  if (targetChoice < 0) {
    d.target = actionChoice == 2 ? L"No DNS server will be used." : L"Please select DNS server.";
  } else if (targetChoice == 0) {
    if (actionChoice == 0) {
      d.target = L"System default DNS server will be used.";
      d.targetAddresses = Parenthesised(systemDns);
    } else if (actionChoice == 1) {
      d.target = L"DNS server from the original request will be used.";
    } else if (entry) {
      d.target = L"DNS server of the selected interface will be used.";
      d.targetAddresses = Parenthesised(entry->dnsServers);
    }
  } else if (targetChoice <= poolCount) {
    d.target = pools[targetChoice - 1].type == EPoolType::Redundancy
                   ? L"The best DNS server from this pool will be used."
                   : L"A random DNS server from this pool will be used.";
  } else if (targetChoice - poolCount - 1 < static_cast<int>(servers.size())) {
    d.target = DescribeServer(servers[targetChoice - poolCount - 1]);
  }
  return d;
}

// ---- the list dialog

CRuleListModel::CRuleListModel(std::vector<CRule> rules_, std::vector<CDnsServer> servers_,
                               std::vector<CDnsPool> pools_, bool ignoreIfDown_,
                               std::vector<SNetInterface> actionList_)
    : rules(std::move(rules_)), servers(std::move(servers_)), pools(std::move(pools_)),
      ignoreIfDown(ignoreIfDown_), actionList(std::move(actionList_)) {}

CRuleListModel::SRow CRuleListModel::Row(int r) const {
  const CRule& rule = rules[r];
  SRow row;
  row.name = rule.name;
  row.hostnames = rule.displayList;
  row.checked = rule.enabled;
  row.locked = IsDefault(r);
  row.actionChoices = ::ActionTexts(actionList);
  row.actionSelection = ActionSelection(rule, actionList);
  if (rule.action == ERuleAction::Block) {
    row.targetText = L"None";
    row.targetSelection = -1;
  } else if (rule.action == ERuleAction::Bypass) {
    row.targetText = L"Default";
    row.targetSelection = -1;
  } else {
    row.targetChoices = TargetTexts(servers, pools, false);
    row.targetSelection = TargetSelection(rule, servers, pools);
  }
  if (ignoreIfDown && row.actionSelection >= 3 && !actionList[row.actionSelection].IsUp()) row.grey = true;
  return row;
}

int CRuleListModel::Add(const CRule& rule) {
  int at = std::max(Count() - 1, 0);
  rules.insert(rules.begin() + at, rule);
  return at;
}

bool CRuleListModel::Clone(int row) {
  if (row < 0 || row >= Count()) return false;
  if (IsDefault(row)) {
    Box(L"You cannot clone the Default rule.\nThis rule is applied when all other rules do not match the "
        L"hostname.\nYou can only change the Action and the DNS Server for this rule.",
        L"DNS Rules", MB_ICONINFORMATION);
    return false;
  }
  CRule copy = rules[row];
  copy.name = L"Copy of " + copy.name;
  rules.insert(rules.begin() + row + 1, copy);
  return true;
}

int CRuleListModel::Remove(int row) {
  if (row < 0 || row >= Count()) return -1;
  if (IsDefault(row)) {
    Box(L"The Default rule cannot be removed.\nThis rule is applied when all other rules do not match the hostname.\n",
        L"DNS Rules", MB_ICONINFORMATION);
    return row;
  }
  rules.erase(rules.begin() + row);
  return row;
}

int CRuleListModel::Move(int row, int delta) {
  if (row < 0 || row >= Count()) {
    Box(L"Please select a rule first.", L"DNS Rules", MB_ICONINFORMATION);
    return row;
  }
  if (IsDefault(row)) {
    Box(L"The Default rule cannot be moved.\nThis rule is applied when all other rules do not match the hostname.\n",
        L"DNS Rules", MB_ICONINFORMATION);
    return row;
  }
  int other = row + delta;
  if (other < 0 || other >= Count() - 1) return row;
  std::swap(rules[row], rules[other]);
  return other;
}

int CRuleListModel::MoveUp(int row) { return Move(row, -1); }
int CRuleListModel::MoveDown(int row) { return Move(row, 1); }

void CRuleListModel::SetEnabled(int row, bool enabled) {
  if (row >= 0 && row < Count() && !IsDefault(row)) rules[row].enabled = enabled;
}

bool CRuleListModel::Rename(int row, const std::wstring& name) {
  if (row < 0 || row >= Count() || IsDefault(row)) return false;
  std::wstring error;
  if (!rules[row].SetName(name, error)) {
    Box(error, L"Rules");
    return false;
  }
  return true;
}

bool CRuleListModel::CommitCell(int row, int actionChoice, int targetChoice, const MoreOptionsRunner& moreOptions) {
  if (row < 0 || row >= Count() || actionChoice < 0) return false;
  if (actionChoice == static_cast<int>(actionList.size()) && !(moreOptions && moreOptions(actionChoice)))
    return false;
  return ApplyRuleTarget(rules[row], actionChoice, targetChoice, actionList, servers, pools);
}

CRuleListModel::EOk CRuleListModel::Ok(int& editRow) {
  if (Count() == 1 && rules[0].action == ERuleAction::Bypass &&
      ShowMessageBox(L"You have not specified any DNS server in the Default rule.\nIt means that all DNS queries will "
                     L"be unaltered.\nIs this the intent?",
                     L"DNS Rules", kQuestion) != IDYES)
    return EOk::Stay;
  for (int r = 0; r < Count(); ++r) {
    const CRule& rule = rules[r];
    if ((rule.dnssec_reject_unsigned || rule.dnssec_local_validation) &&
        !CheckRuleDnssecSupport(rule, servers, pools, true) &&
        ShowMessageBox(L"Do you want to edit the conflicting rule now?", L"DNS Rules", kQuestion) == IDYES) {
      editRow = r;
      return EOk::Edit;
    }
  }
  for (CRule& rule : rules)
    if (IsBypassOrBlock(rule.action)) {
      rule.action_id = 0;
      rule.interface_id.clear();
      rule.interface_name.clear();
    }
  return EOk::Close;
}

// ---- the rule dialog

CRuleForm::CRuleForm(const CRule& rule, std::vector<SNetInterface>& list, const std::vector<CDnsServer>& servers,
                     const std::vector<CDnsPool>& pools, bool isDefault_)
    : enabled(rule.enabled), name(rule.name), hostnames(rule.hostnames),
      rejectUnsigned(rule.dnssec_reject_unsigned), localValidation(rule.dnssec_local_validation),
      blockZero(rule.block_return_zero_ip), isDefault(isDefault_), m_list(list), m_servers(servers), m_pools(pools),
      m_wasRejectUnsigned(rule.dnssec_reject_unsigned), m_wasLocalValidation(rule.dnssec_local_validation) {
  int selection = ActionSelection(rule, list);
  CRule asProcess = rule;
  if (IsBypassOrBlock(asProcess.action)) asProcess.action = ERuleAction::ProcessServer;
  target = TargetSelection(asProcess, servers, pools);
  action = selection;
  ChangeAction(selection, nullptr);
}

void CRuleForm::ChangeAction(int choice, const MoreOptionsRunner& moreOptions) {
  int previous = action;
  bool wasFixed = previous == 1 || previous == 2;
  if (choice == static_cast<int>(m_list.size())) {
    int picked = choice;
    choice = moreOptions && moreOptions(picked) ? picked : previous;
  }
  action = choice;
  if (choice == 1 || choice == 2) {
    if (!wasFixed) rememberedTarget = target;
    target = choice == 1 ? 0 : -1;
    targetEnabled = false;
  } else {
    if (wasFixed && rememberedTarget != -1) target = rememberedTarget;
    targetEnabled = true;
  }
}

SRuleDescriptions CRuleForm::Describe(const std::vector<sockaddr_storage>& systemDns) const {
  return DescribeChoices(action, target, blockZero, m_list, m_servers, m_pools, systemDns);
}

bool CRuleForm::Ok(CRule& result, const std::wstring& confPath, EFocus& focus) {
  focus = EFocus::None;
  CRule rule = result;
  if (!isDefault) {
    std::wstring error;
    if (!rule.SetName(name, error)) {
      Box(error, L"Rule");
      focus = EFocus::Name;
      return false;
    }
    rule.enabled = enabled;
    if (hostnames.empty()) {
      Box(L"Hostnames field cannot be empty.\nPlease put * (asterisk symbol) to match all hostnames.", L"Rule");
      focus = EFocus::Hostnames;
      return false;
    }
    if (!rule.SetHostnames(hostnames, confPath, error)) {
      Box(L"Hostname list error:\n" + error, L"Rules");
      focus = EFocus::Hostnames;
      return false;
    }
  }
  int targetChoice = action == 1 || action == 2 ? 0 : target;
  if (action < 0) {
    Box(L"Please selecet Action.", L"Rules");
    focus = EFocus::Action;
    return false;
  }
  if (targetChoice < 0) {
    Box(L"Please selecet DNS Server.", L"Rules");
    focus = EFocus::Target;
    return false;
  }
  if (!ApplyRuleTarget(rule, action, targetChoice, m_list, m_servers, m_pools)) {
    Box(L"Incorrect Action and/or DNS Server", L"Rules");
    return false;
  }
  if ((rejectUnsigned || localValidation) && !CheckRuleDnssecSupport(rule, m_servers, m_pools, true)) return false;
  if (rejectUnsigned && !m_wasRejectUnsigned &&
      ShowMessageBox(L"When \"Reject unsigned names\" option is enabled, only domain names signed with DNSSEC will "
                     L"work. All other domain names will become unavailable.\nAre you sure you want to continue ?",
                     L"Rule", kQuestion | MB_DEFBUTTON2) != IDYES) {
    focus = EFocus::RejectUnsigned;
    return false;
  }
  if (localValidation && !m_wasLocalValidation &&
      ShowMessageBox(L"When \"Client-side validation\" option is enabled, the program will request and validate all "
                     L"DNSSEC signatures that correspond to the domain on the client side. It may slowdown the "
                     L"resolution and cause timeouts.\nAre you sure you want to continue ?",
                     L"Rule", kQuestion | MB_DEFBUTTON2) != IDYES) {
    focus = EFocus::LocalValidation;
    return false;
  }
  rule.dnssec_reject_unsigned = rejectUnsigned;
  rule.dnssec_local_validation = localValidation;
  rule.block_return_zero_ip = blockZero;
  result = rule;
  return true;
}

// ---- From File

std::wstring HostsFileNameError(const std::wstring& name) {
  for (const wchar_t* symbol : {L" ", L";", L"file://"})
    if (name.find(symbol) != std::wstring::npos)
      return std::wstring(L"File name cannot contain symbol \"") + symbol + L"\"";
  return {};
}

std::wstring HostsFolder(const std::wstring& confPath) {
  std::wstring path = HostsFilePath(confPath, L"");
  return path;
}

bool ImportHostsFile(const std::wstring& source, const std::wstring& folder, std::wstring& hostnames) {
  std::wstring name = source.substr(source.rfind(L'/') + 1);
  if (std::wstring error = HostsFileNameError(name); !error.empty()) {
    Box(error, L"Rules");
    return false;
  }
  std::wstring target = folder + name;
  ShowMessageBox(L"File " + name + L" will be copied to the following folder:\r\n" + target +
                     L"\r\n\r\nThe original file will not be used. From now on, Tarnwick will work with the copy only.",
                 L"Rules", MB_ICONINFORMATION);
  namespace fs = std::filesystem;
  const fs::path from(WideToUtf8(source)), to(WideToUtf8(target));
  std::error_code ec;
  // Copying a file over itself would truncate it first.
  if (fs::equivalent(from, to, ec)) {
    ec = std::make_error_code(std::errc::file_exists);
  } else {
    ec.clear();
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  }
  if (ec) {
    Box(L"Cannot copy " + source + L" to " + target + L"\r\n" + Utf8ToWide(ec.message()), L"Rules");
    return false;
  }
  if (!hostnames.empty() && hostnames.back() != L'\n') hostnames += L"\r\n";
  hostnames += L"file://" + name + L"\r\n";
  return true;
}
