// The server list dialog apart from Qt: every edit of the servers and pools
// works here, in place, on the caller's vectors (the dialog's copies of the
// running lists); the rules are only read, to refuse removing what a rule
// names. Also the tree's texts and colours, the drag image's lines and the
// check's collection. Refusals and questions are boxes through the prompt;
// edits made before a refusal stay. UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Quorvane/config/dns_pool.h"
#include "Quorvane/config/dns_server.h"
#include "Quorvane/config/rule.h"
#include "Quorvane/engine/server_check.h"

// An item of the pool tree: a pool (serverId 0) or a member of it.
struct STreeItem {
  uint32_t poolId = 0;
  uint32_t serverId = 0;
  bool operator==(const STreeItem&) const = default;
};

enum class EItemColour { Default, Green, Red };
inline constexpr uint32_t kGreen = 0x00C800;  // RGB(0,200,0)
inline constexpr uint32_t kRed = 0xC80000;    // RGB(200,0,0)

// The RTT right-aligned in four characters; -1 gives four blanks.
std::wstring RttPadded(int rtt);
// A member's tree text: RTT, blank, name, " [" protocol "]".
std::wstring MemberText(const CDnsServer& server);
EItemColour MemberColour(const CDnsServer& server);
// The drag image's lines: the first ten names, then "..." once ten are listed.
std::vector<std::wstring> DragImageLines(const std::vector<std::wstring>& names);
// By name in UTF-16 code units (characters above U+FFFF as surrogates).
void SortServersByName(std::vector<CDnsServer>& servers);
void SortPoolsByName(std::vector<CDnsPool>& pools);

class ServerPoolEditor {
 public:
  ServerPoolEditor(std::vector<CDnsServer>& servers, std::vector<CDnsPool>& pools, const std::vector<CRule>& rules)
      : servers(servers), pools(pools), rules(rules) {}

  // Each server not equal (id and name aside) to one already there is
  // appended; returns how many were.
  int Import(const std::vector<CDnsServer>& imported);
  // The selected servers in list order; false when a rule or the answer No
  // stopped it (servers handled before stay removed).
  bool RemoveServers(const std::vector<uint32_t>& ids);
  // Label edits: false after the box for an empty name.
  bool RenameServer(uint32_t id, const std::wstring& name);
  bool RenamePool(uint32_t id, const std::wstring& name);

  // "New Pool", its id taken at once.
  uint32_t CreatePool();
  // Type...: the pool dialog on the pool; 0 gives the box. True on its OK.
  bool EditPoolType(uint32_t poolId, const std::function<bool(CDnsPool&)>& run);
  // The tree's selection in tree order; false (nothing removed) when a rule
  // names a selected pool.
  bool RemoveTreeItems(const std::vector<STreeItem>& items);

  // Relays after every other server, each group in the given order.
  std::vector<uint32_t> DragOrder(const std::vector<uint32_t>& ids) const;
  // Adds the dragged servers to the pool one by one; the first copy that
  // does not validate gives its box and ends the drop. False then.
  bool Drop(const std::vector<uint32_t>& draggedIds, uint32_t poolId);
  // A drop over no item: the hint when there are no pools.
  void DropOnNothing() const;

  // Check: stops the checker, collects the servers (the rows', unless the
  // tree had the focus last or no row is selected; then the tree items'),
  // resets their state, pairs relays with a DNSCrypt server of the
  // collection and starts the checker.
  void StartCheck(CDnsServerChecker& checker, const std::vector<uint32_t>& rowIds,
                  const std::vector<STreeItem>& treeItems, bool treeHadFocus, platform::HWND owner,
                  const std::string& testTarget);
  // Writes a result into its server; the server's index, or -1 for none.
  int ApplyCheckResult(const SServerCheckResult& result);

  EItemColour PoolColour(const CDnsPool& pool) const;
  // The pools that list the server as a member.
  std::vector<uint32_t> PoolsWithMember(uint32_t serverId) const;

  // OK: every pool has a server and validates; then both lists are sorted.
  bool Ok();

  std::vector<CDnsServer>& servers;
  std::vector<CDnsPool>& pools;
  const std::vector<CRule>& rules;
};
