// The rules dialogs apart from Qt: the rule-action and target lists, how a
// pair of choices becomes a rule's action, the DNSSEC check, the texts that
// describe a choice, the list dialog's edits and the rule dialog's OK.
// Every refusal is a box through the prompt. UI thread.
//
// Action choice i: 0 process, 1 bypass, 2 block, 3.. process through entry i
// of the rule-action list; the list's size is "[more options]". Target
// choice j: 0 none, 1..P pool j-1, above P server j-P-1.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Quorvane/config/dns_pool.h"
#include "Quorvane/config/dns_server.h"
#include "Quorvane/config/rule.h"
#include "Quorvane/foundation/net_interfaces.h"

inline constexpr const wchar_t* kMoreOptions = L"Process via [more options]...";

// "Process", "Bypass", "Block", the interfaces by name, then one entry per
// rule whose interface is not a listed adapter.
std::vector<SNetInterface> BuildRuleActionList(const std::vector<CRule>& rules, const SNetInterfacesSnapshot& snapshot);
// One text per entry, then kMoreOptions (always last).
std::vector<std::wstring> ActionTexts(const std::vector<SNetInterface>& list);
// "Default", "Pool - " + name (or display name with displayPools), servers.
std::vector<std::wstring> TargetTexts(const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools,
                                      bool displayPools);
int ActionSelection(const CRule& rule, const std::vector<SNetInterface>& list);
// -1 for Bypass and Block; 0 when the id names nothing.
int TargetSelection(const CRule& rule, const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools);

// A negative target is taken as 0. False (rule unchanged) for an action
// outside the list or a target beyond the servers.
bool ApplyRuleTarget(CRule& rule, int actionChoice, int targetChoice, const std::vector<SNetInterface>& list,
                     const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools);
// False, with its box when showBox, when the rule's DNSSEC options cannot
// hold: Bypass or Block, or a named server without DNSSEC support.
bool CheckRuleDnssecSupport(const CRule& rule, const std::vector<CDnsServer>& servers,
                            const std::vector<CDnsPool>& pools, bool showBox);

// The server's line in the target description.
std::wstring DescribeServer(const CDnsServer& server);

struct SRuleDescriptions {
  std::wstring action, interfaceAddresses, target, targetAddresses;
};
SRuleDescriptions DescribeChoices(int actionChoice, int targetChoice, bool blockZero,
                                  const std::vector<SNetInterface>& list, const std::vector<CDnsServer>& servers,
                                  const std::vector<CDnsPool>& pools,
                                  const std::vector<sockaddr_storage>& systemDns);

// Asks the interface dialog for an entry; true with choice set on OK.
using MoreOptionsRunner = std::function<bool(int& choice)>;

class CRuleListModel {
 public:
  struct SRow {
    std::wstring name, hostnames;
    std::vector<std::wstring> actionChoices;
    int actionSelection = 0;
    std::vector<std::wstring> targetChoices;  // empty for Bypass and Block
    std::wstring targetText;                  // their fixed text
    int targetSelection = 0;
    bool grey = false, checked = false, locked = false;
  };
  enum class EOk { Stay, Close, Edit };

  CRuleListModel(std::vector<CRule> rules, std::vector<CDnsServer> servers, std::vector<CDnsPool> pools,
                 bool ignoreIfDown, std::vector<SNetInterface> actionList);

  int Count() const { return static_cast<int>(rules.size()); }
  bool IsDefault(int row) const { return row == Count() - 1; }
  SRow Row(int row) const;

  int Add(const CRule& rule);  // before the Default rule; returns its row
  bool Clone(int row);
  int Remove(int row);  // the row to select next (-1 none)
  int MoveUp(int row);  // the row the rule is on after
  int MoveDown(int row);
  void SetEnabled(int row, bool enabled);
  bool Rename(int row, const std::wstring& name);
  // A committed in-place choice; false leaves the rule as it was.
  bool CommitCell(int row, int actionChoice, int targetChoice, const MoreOptionsRunner& moreOptions);
  // OK: Edit with editRow set when the user wants to fix a rule first.
  EOk Ok(int& editRow);

  std::vector<CRule> rules;
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  bool ignoreIfDown = false;
  std::vector<SNetInterface> actionList;

 private:
  int Move(int row, int delta);
};

class CRuleForm {
 public:
  enum class EFocus { None, Name, Hostnames, Action, Target, RejectUnsigned, LocalValidation };

  CRuleForm(const CRule& rule, std::vector<SNetInterface>& list, const std::vector<CDnsServer>& servers,
            const std::vector<CDnsPool>& pools, bool isDefault);

  std::vector<std::wstring> ActionTexts() const { return ::ActionTexts(m_list); }
  std::vector<std::wstring> TargetTexts() const { return ::TargetTexts(m_servers, m_pools, true); }
  // A new action choice; kMoreOptions asks moreOptions, and a cancel brings
  // the previous choice back.
  void ChangeAction(int choice, const MoreOptionsRunner& moreOptions);
  SRuleDescriptions Describe(const std::vector<sockaddr_storage>& systemDns) const;
  // The OK pipeline on a copy of the rule; the rule changes only on true.
  bool Ok(CRule& rule, const std::wstring& confPath, EFocus& focus);

  bool enabled = true;
  std::wstring name, hostnames;
  int action = -1, target = -1, rememberedTarget = -1;
  bool targetEnabled = true;
  bool rejectUnsigned = false, localValidation = false, blockZero = true;
  const bool isDefault;

 private:
  std::vector<SNetInterface>& m_list;
  const std::vector<CDnsServer>& m_servers;
  const std::vector<CDnsPool>& m_pools;
  bool m_wasRejectUnsigned, m_wasLocalValidation;
};

// "File name cannot contain symbol \"x\"" for a blank, ";" or "file://"; else empty.
std::wstring HostsFileNameError(const std::wstring& name);
// The folder hosts files are copied to: the running conf-file's, with a final "/".
std::wstring HostsFolder(const std::wstring& confPath);
// From File: copies source into folder (after the name check and the notice)
// and adds its "file://" line to hostnames. False after a refusal.
bool ImportHostsFile(const std::wstring& source, const std::wstring& folder, std::wstring& hostnames);
