#include "Quorvane/config/hostname_match.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

// The whole file, or false. A folder opens fine but cannot be read, so it
// fails here like a missing file.
bool ReadWholeFile(const std::string& path, std::string& content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
  char buffer[65536];
  while (ok) {
    ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    content.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return ok;
}

void LowerAscii(std::string& text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

bool IsIpAddress(const std::string& token) {
  unsigned char buffer[16];
  return inet_pton(AF_INET6, token.c_str(), buffer) == 1 || inet_pton(AF_INET, token.c_str(), buffer) == 1;
}

// A TAB separates like a blank: hosts files commonly put one after the address.
constexpr const char* kBlanks = " \t";

// One line without CR or LF: the name it holds, or empty.
std::string NameOfLine(std::string_view line) {
  size_t start = line.find_first_not_of(kBlanks);
  if (start == std::string_view::npos || line[start] == '#') return {};
  line.remove_prefix(start);
  size_t end = std::min(line.find_first_of(kBlanks), line.size());
  std::string first(line.substr(0, end));
  if (!IsIpAddress(first)) return first;
  // Aligned files put several blanks between address and name; a name that
  // came out empty there would make the line block nothing without a word.
  size_t name = line.find_first_not_of(kBlanks, end);
  if (name == std::string_view::npos) return {};
  std::string_view after = line.substr(name);
  return std::string(after.substr(0, std::min(after.find_first_of(kBlanks), after.size())));
}

void LogSet(const std::wstring& title, const std::wstring& path, const HostnameSet& names) {
  CLogMessage().Append(LogDebug, title).Append(LogDebug, path);
  for (const auto& name : names) CLogMessage().Append(LogDebug, name);
}

}  // namespace

bool LoadHostsFile(const std::wstring& path, HostnameSet& exact, HostnameSet& masks, std::wstring& error) {
  std::string content;
  if (!ReadWholeFile(WideToUtf8(path), content)) {
    error = L"Could not open file for reading " + path;
    return false;
  }
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = content.size();
    std::string name = NameOfLine(std::string_view(content).substr(pos, end - pos));
    pos = end + 1;
    if (name.empty()) continue;
    LowerAscii(name);
    (name.find_first_of("*?") != std::string::npos ? masks : exact).insert(std::move(name));
  }
  if (exact.empty() && masks.empty()) {
    error = L"No hostnames loaded from file " + path;
    return false;
  }
  if (g_LogLevelScreen >= LogDebug || g_LogLevelFile >= LogDebug) {
    LogSet(L"The following hostnames were loaded from file ", path, exact);
    LogSet(L"The following hostname masks were loaded from file ", path, masks);
  }
  return true;
}

namespace hostname_match_detail {

bool WildcardMatchCounted(const std::string& pattern, const std::string& text, uint64_t& steps) {
  const size_t none = std::string::npos;
  size_t p = 0, t = 0;
  size_t star = none, starText = 0;  // the last "*" seen and where it began to match
  while (t < text.size()) {
    ++steps;
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      starText = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (star != none) {
      // Let the last "*" swallow one more byte; earlier stars never need
      // revisiting because the last one can absorb any longer run.
      p = star + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p, ++steps;
  return p == pattern.size();
}

}  // namespace hostname_match_detail

bool WildcardMatch(const std::string& pattern, const std::string& text) {
  uint64_t steps = 0;
  return hostname_match_detail::WildcardMatchCounted(pattern, text, steps);
}
