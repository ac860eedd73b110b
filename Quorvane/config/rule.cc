#include "Quorvane/config/rule.h"

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/paths.h"

namespace {

constexpr wchar_t kFileScheme[] = L"file://";
constexpr char kSimpleKeyword[] = "??simplehostnames??";
constexpr size_t kDisplayLimit = 1000;

struct SActionKey {
  ERuleAction action;
  const char* key;
};
constexpr SActionKey kActionKeys[] = {
    {ERuleAction::ProcessServer, "process_server"},
    {ERuleAction::ProcessPool, "process_pool"},
    {ERuleAction::Bypass, "bypass"},
    {ERuleAction::Block, "block"},
};

template <class Char>
void LowerAscii(std::basic_string<Char>& text) {
  for (Char& c : text)
    if (c >= Char('A') && c <= Char('Z')) c = static_cast<Char>(c - Char('A') + Char('a'));
}

bool ListChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L';' ||
         c == L'?' || c == L'*' || c == L'-' || c == L'.' || c == L'_' || c == L' ';
}

}  // namespace

std::wstring HostsFilePath(const std::wstring& confPath, const std::wstring& fileName) {
  if (confPath.empty()) {
    auto folder = platform::UserConfigFolder();
    if (!folder) return fileName;
    return Utf8ToWide((*folder / "").string()) + fileName;
  }
  auto slash = confPath.rfind(L'/');
  if (slash == std::wstring::npos) return fileName;
  return confPath.substr(0, slash + 1) + fileName;
}

void CRule::InitDefault() {
  *this = CRule();
  name = L"Default";
}

bool CRule::SetName(const std::wstring& newName, std::wstring& error) {
  if (newName.empty()) {
    error = L"The name of the rule cannot be an empty string.";
    return false;
  }
  std::wstring lower = newName;
  LowerAscii(lower);
  if (lower == L"default") {
    error = L"This name is reserved. Please use another one.";
    return false;
  }
  name = newName;
  return true;
}

std::wstring CRule::GetActionKey() const {
  for (const auto& entry : kActionKeys)
    if (entry.action == action) return Utf8ToWide(entry.key);
  return L"unknown";
}

bool CRule::SetActionKey(const std::string& key) {
  std::string lower = key;
  LowerAscii(lower);
  for (const auto& entry : kActionKeys) {
    if (lower == entry.key) {
      action = entry.action;
      return true;
    }
  }
  return false;
}

bool CRule::SetHostnames(const std::wstring& list, const std::wstring& confPath, std::wstring& error) {
  std::wstring text;
  text.reserve(list.size() + 1);
  for (wchar_t c : list) {
    if (c == L'\r') continue;
    text.push_back(c == L'\t' ? L' ' : c == L'\n' ? L';' : c);
  }
  TrimLeft(text);
  TrimRight(text);
  NormalizeListSeparators(text);
  if (text.empty()) {
    error = L"List cannot be empty.";
    return false;
  }
  if (text.back() != L';') text.push_back(L';');

  HostnameSet exact, newMasks;
  std::wstring display;
  bool simple = false;

  // Files first: their names come before the inline ones.
  for (size_t at = text.find(kFileScheme); at != std::wstring::npos; at = text.find(kFileScheme)) {
    text.erase(at, std::size(kFileScheme) - 1);
    size_t end = text.find(L';', at);  // always found: the text ends with ";"
    std::wstring fileName = text.substr(at, end - at);
    if (fileName.find(L' ') != std::wstring::npos) {
      error = L"Unexpected whitespace in the file name found.";
      return false;
    }
    display += kFileScheme + fileName + L"; ";
    if (!LoadHostsFile(HostsFilePath(confPath, fileName), exact, newMasks, error)) return false;
    text.erase(at, fileName.size());
  }

  for (wchar_t c : text) {
    if (!ListChar(c)) {
      error = L"Incorrect symbol(s) found.";
      return false;
    }
  }
  if (text.find(L' ') != std::wstring::npos) {
    error = L"Unexpected blank space found. Please make sure that you use semicolon (;) to separate hostnames.";
    return false;
  }

  size_t start = 0;
  for (size_t end = text.find(L';'); end != std::wstring::npos; start = end + 1, end = text.find(L';', start)) {
    if (end == start) continue;
    std::wstring token = text.substr(start, end - start);
    if (token.front() == L'-' || token.back() == L'-') {
      error = L"Unexpected hyphen found.";
      return false;
    }
    LowerAscii(token);
    if (display.size() < kDisplayLimit) display += token + L"; ";
    std::string name = WideToUtf8(token);  // ASCII only by now
    if (name == kSimpleKeyword)
      simple = true;
    else if (name.find_first_of("*?") != std::string::npos)
      newMasks.insert(std::move(name));
    else
      exact.insert(std::move(name));
  }
  if (exact.empty() && newMasks.empty() && !simple) {
    error = L"List does not contain any hostnames.";
    return false;
  }

  auto cut = display.rfind(L';');
  displayList = cut == std::wstring::npos ? display : display.substr(0, cut);
  exactNames = std::make_shared<const HostnameSet>(std::move(exact));
  masks = std::move(newMasks);
  simpleHostnames = simple;
  hostnames = list;
  return true;
}

bool CRule::Match(const std::string& host) const {
  if (simpleHostnames && host.find('.') == std::string::npos) return true;
  std::string name = host;
  LowerAscii(name);
  if (exactNames && exactNames->count(name)) return true;
  const std::string dotted = "." + name;
  for (const auto& mask : masks)
    if (WildcardMatch(mask, name) || WildcardMatch(mask, dotted)) return true;
  return false;
}
