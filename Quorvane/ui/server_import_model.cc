#include "Quorvane/ui/server_import_model.h"

#include <cerrno>
#include <climits>
#include <cwctype>

#include "Quorvane/config/server_import.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

template <class T>
int Order(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int CompareNoCase(const std::wstring& a, const std::wstring& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const wint_t x = towlower(a[i]), y = towlower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return Order(a.size(), b.size());
}

int CompareAddresses(const CDnsServer& a, const CDnsServer& b) {
  const bool dohA = a.protocol == EDnsProtocol::Doh, dohB = b.protocol == EDnsProtocol::Doh;
  if (dohA != dohB) return dohA ? 1 : -1;
  if (dohA) return CompareNoCase(Utf8ToWide(a.GetDohUrl()), Utf8ToWide(b.GetDohUrl()));
  if (int c = Order(a.family, b.family)) return c;
  if (int c = Order(a.address.size(), b.address.size())) return c;
  return Order(a.address, b.address);
}

// "-12abc" reads as -12; an overflow is clamped to the int range. False
// when no digit follows the optional sign.
bool ReadLeadingInt(const std::wstring& text, int& value) {
  size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == L'-' || text[at] == L'+')) negative = text[at++] == L'-';
  if (at >= text.size() || !iswdigit(text[at])) return false;
  long long number = 0;
  for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
    number = number * 10 + (text[at] - L'0');
    if (number > static_cast<long long>(INT_MAX) + 1) number = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) number = -number;
  value = static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, number)));
  return true;
}

}  // namespace

int CompareServerRows(const std::vector<CDnsServer>& servers, uint32_t a, uint32_t b, int column, int statusColumn) {
  const int ia = FindIndexById(servers, a), ib = FindIndexById(servers, b);
  if (ia < 0 || ib < 0) {
    if (ia < 0 && ib < 0) return Order(a, b);
    return ia < 0 ? 1 : -1;
  }
  const CDnsServer& x = servers[ia];
  const CDnsServer& y = servers[ib];
  const int protocolColumn = statusColumn == 3 ? 1 : 2;
  const int addressColumn = statusColumn == 3 ? 2 : 3;
  if (column == 0) return CompareNoCase(x.name, y.name);
  if (column == statusColumn) {
    if (int c = Order(static_cast<int>(x.status), static_cast<int>(y.status))) return c;
    return Order(x.rttMs, y.rttMs);
  }
  if (column == protocolColumn) return Order(static_cast<int>(x.protocol), static_cast<int>(y.protocol));
  if (column == addressColumn) return CompareAddresses(x, y);
  return 0;
}

SImportSettingsResult ValidateImportSettings(const std::string& urlText, const std::wstring& testHost,
                                             const std::wstring& serversPerTime) {
  SImportSettingsResult result;
  std::wstring error;
  if (!CServerImport::ParseUrlList(urlText, result.settings.importUrls, error)) {
    result.refusal = error;
    return result;
  }
  if (result.settings.importUrls.empty()) {
    result.refusal = L"You did not specify any valid URLs for import.";
    return result;
  }
  std::string host;
  for (wchar_t c : testHost) {
    const wchar_t lower = towlower(c);
    if (!((lower >= L'a' && lower <= L'z') || (lower >= L'0' && lower <= L'9') || lower == L'.')) {
      result.refusal = L"Test domain contains incorrect symbols.";
      return result;
    }
    host.push_back(static_cast<char>(lower));
  }
  if (!host.empty()) result.settings.testTarget = host;
  int perTime = 0;
  if (!ReadLeadingInt(serversPerTime, perTime)) {
    result.refusal = L"Incorrect number of servers per time.";
    return result;
  }
  if (perTime < 1 || perTime > 50) {
    result.refusal = L"The number of servers per time should be between 1 and 50.";
    return result;
  }
  result.settings.testsPerTime = perTime;
  return result;
}

CDnsServer* CImportModel::Find(uint32_t id) {
  const int index = FindIndexById(servers, id);
  return index < 0 ? nullptr : &servers[index];
}

void CImportModel::Append(const std::vector<CDnsServer>& imported) {
  for (const CDnsServer& server : imported) {
    if (Find(server.id)) continue;
    servers.push_back(server);
    SImportRow row;
    row.id = server.id;
    rows.push_back(std::move(row));
  }
}

void CImportModel::Clear() {
  servers.clear();
  rows.clear();
  marked = 0;
}

void CImportModel::SetChecked(size_t row, bool checked) {
  if (row >= rows.size() || rows[row].checked == checked) return;
  rows[row].checked = checked;
  marked += checked ? 1 : -1;
}

void CImportModel::MarkAll(bool checked) {
  for (SImportRow& row : rows) row.checked = checked;
  marked = checked ? static_cast<int>(servers.size()) : 0;
}

std::wstring CImportModel::CheckButtonLabel() const { return marked == 0 ? L"Check All" : L"Check Marked"; }

std::vector<SImportCheck> CImportModel::PlanChecks(std::vector<std::wstring>& messages) {
  std::vector<SImportRow*> taken;
  for (SImportRow& row : rows)
    if (row.checked) taken.push_back(&row);
  if (taken.empty())
    for (SImportRow& row : rows) taken.push_back(&row);
  std::vector<CDnsServer*> chosen;
  for (SImportRow* row : taken) {
    row->statusText.clear();
    if (CDnsServer* server = Find(row->id)) {
      server->status = EServerStatus::Unknown;
      server->rttMs = -1;
      chosen.push_back(server);
    }
  }
  std::vector<SImportCheck> checks;
  const CDnsServer* partner = nullptr;
  const CDnsServer* firstCrypt = nullptr;
  for (const CDnsServer* server : chosen) {
    if (server->protocol != EDnsProtocol::DnsCrypt) continue;
    if (!firstCrypt) firstCrypt = server;
    if (!server->dnscrypt_disable_padding) partner = server;
  }
  if (!partner) partner = firstCrypt;
  for (const CDnsServer* server : chosen)
    if (server->protocol != EDnsProtocol::Relay) checks.push_back({server->id, 0});
  for (const CDnsServer* server : chosen) {
    if (server->protocol != EDnsProtocol::Relay) continue;
    if (!partner) {
      messages.push_back(L"Relays can only be tested together with a DNSCrypt server.");
      break;
    }
    if (partner->dnscrypt_disable_padding) {
      messages.push_back(L"Relays can only be tested together with a DNSCrypt server that does not have query "
                         L"padding disabled.");
      break;
    }
    checks.push_back({server->id, partner->id});
  }
  return checks;
}

void CImportModel::ApplyResult(uint32_t id, bool ok, int32_t rttMs) {
  CDnsServer* server = Find(id);
  if (!server || server->status == EServerStatus::Failed) return;
  server->status = ok ? EServerStatus::Ok : EServerStatus::Failed;
  for (SImportRow& row : rows) {
    if (row.id != id) continue;
    if (rttMs == -1) {
      row.statusText = ok ? L"OK" : L"Bad";
    } else {
      server->rttMs = rttMs;
      row.statusText = std::to_wstring(rttMs);
    }
    row.selected = false;
  }
}

void CImportModel::SelectAll() {
  for (SImportRow& row : rows) row.selected = true;
}

void CImportModel::DeleteSelected() {
  for (size_t i = rows.size(); i-- > 0;) {
    if (!rows[i].selected) continue;
    if (rows[i].checked) --marked;
    if (int index = FindIndexById(servers, rows[i].id); index >= 0) servers.erase(servers.begin() + index);
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void CImportModel::ToggleSelected() {
  bool first = true, mark = false;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].selected) continue;
    if (first) mark = !rows[i].checked;
    first = false;
    SetChecked(i, mark);
  }
}

std::wstring CImportModel::ImportMarked(std::vector<CDnsServer>& result) const {
  result.clear();
  if (servers.empty()) return L"There are no servers to import. Please load the servers first.";
  for (const SImportRow& row : rows)
    if (row.checked)
      if (int index = FindIndexById(servers, row.id); index >= 0) result.push_back(servers[index]);
  if (result.empty())
    return L"You do not have marked any servers. Please use the check marks on the left hand side of the server list.";
  return {};
}

std::wstring ImportSummary(int urlsLoaded, int urlsFailed, int serversFailed, size_t servers) {
  if (urlsLoaded == 0) return L"No URLs were successfully loaded. Please examine log output for more info.";
  if (urlsFailed > 0) return L"Some URLs were not successfully loaded. Please examine log output for more info.";
  if (serversFailed > 0)
    return L"Some servers were not loaded due the errors. Please examine log output for more info.";
  if (servers == 0) return L"No servers were successfully loaded. Please examine log output for more info.";
  return {};
}
