// What the import dialogs decide, without a window: the server list's sort
// order, the import settings' checks, and the import dialog's rows, marks,
// checks, results, keys and messages. The dialogs show and ask; every text
// here is the one the user sees.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Quorvane/config/dns_server.h"
#include "Quorvane/config/profile.h"

// <0, 0 or >0 for the rows of the servers with ids a and b. A strict weak
// ordering on every column: a row whose server is missing sorts after all
// others, by id; equal status and round-trip time compare equal.
// statusColumn 3: Name, Protocol, Address, Status; 1: Name, Status, Protocol,
// Address.
int CompareServerRows(const std::vector<CDnsServer>& servers, uint32_t a, uint32_t b, int column, int statusColumn);

struct SImportSettingsResult {
  std::wstring refusal;  // empty: accepted
  SDnsCheckerSettings settings;
};
// The Import Settings form. An empty test host keeps the default.
SImportSettingsResult ValidateImportSettings(const std::string& urlText, const std::wstring& testHost,
                                             const std::wstring& serversPerTime);

// One planned check: a server, and for a relay its DNSCrypt partner.
struct SImportCheck {
  uint32_t id = 0;
  uint32_t partner = 0;  // 0: none
};

struct SImportRow {
  uint32_t id = 0;
  bool checked = false;
  bool selected = false;
  std::wstring statusText;
};

class CImportModel {
 public:
  std::vector<CDnsServer> servers;  // m_servers
  std::vector<SImportRow> rows;
  int marked = 0;                   // m_nMarked

  // Adds every server whose id is not listed yet, with a row.
  void Append(const std::vector<CDnsServer>& imported);
  void Clear();
  void SetChecked(size_t row, bool checked);
  void MarkAll(bool checked);
  std::wstring CheckButtonLabel() const;

  // Check All: clears the statuses of what it takes and plans the checks;
  // messages gets the relay refusals (caption "DNS Server Relay").
  std::vector<SImportCheck> PlanChecks(std::vector<std::wstring>& messages);
  // A check's result; a server already Failed keeps its status and text.
  void ApplyResult(uint32_t id, bool ok, int32_t rttMs);

  void SelectAll();
  void DeleteSelected();
  void ToggleSelected();  // Space

  // Import Marked: empty refusal and result filled, or the refusal.
  std::wstring ImportMarked(std::vector<CDnsServer>& result) const;

  CDnsServer* Find(uint32_t id);
};

// The message once a run has finished; empty when all went well.
std::wstring ImportSummary(int urlsLoaded, int urlsFailed, int serversFailed, size_t servers);
