#include "Quorvane/app/auto_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/file_write.h"
#include "Quorvane/platform/paths.h"

namespace {

std::filesystem::path g_programForTesting;

std::wstring ErrorText(const wchar_t* what, int error) { return std::wstring(what) + L" failed with error " + std::to_wstring(error); }

// The value of the Exec key in the [Desktop Entry] group, string escapes
// (\s \n \t \r \\) undone; no value when there is none.
std::optional<std::string> ReadExecValue(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  bool inEntry = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry || line.compare(0, 5, "Exec=") != 0) continue;
    std::string raw = line.substr(5), value;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '\\' || i + 1 == raw.size()) {
        value += raw[i];
        continue;
      }
      char next = raw[++i];
      switch (next) {
        case 's': value += ' '; break;
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case '\\': value += '\\'; break;
        default: value += '\\'; value += next;
      }
    }
    return value;
  }
  return std::nullopt;
}

}  // namespace

std::string QuoteExecLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += ' ';
    line += '"';
    for (char c : arg) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') line += '\\';
      line += c;
    }
    line += '"';
  }
  // The key's string escape: every backslash doubled.
  std::string escaped;
  for (char c : line) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::optional<std::vector<std::string>> SplitExecLine(const std::string& value) {
  std::vector<std::string> argv;
  std::string current;
  bool inArg = false, quoted = false;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (quoted) {
      if (c == '\\' && i + 1 < value.size()) {
        current += value[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        current += c;
      }
    } else if (c == '"') {
      quoted = inArg = true;
    } else if (c == ' ' || c == '\t') {
      if (inArg) argv.push_back(current);
      current.clear();
      inArg = false;
    } else {
      current += c;
      inArg = true;
    }
  }
  if (quoted) return std::nullopt;
  if (inArg) argv.push_back(current);
  return argv;
}

CAutoRun::CAutoRun(std::wstring valueName, std::wstring argument)
    : m_valueName(std::move(valueName)), m_argument(std::move(argument)) {
  m_commandLine = Utf8ToWide(QuoteExecLine(Arguments()));
}

void CAutoRun::SetProgramForTesting(const std::filesystem::path& program) {
  g_programForTesting = program;
  m_commandLine = Utf8ToWide(QuoteExecLine(Arguments()));
}

std::vector<std::string> CAutoRun::Arguments() const {
  std::filesystem::path program = g_programForTesting.empty() ? platform::ModuleFilePath() : g_programForTesting;
  std::vector<std::string> argv{program.string()};
  if (!m_argument.empty()) argv.push_back(WideToUtf8(m_argument));
  return argv;
}

std::optional<std::filesystem::path> CAutoRun::EntryPath() const {
  auto root = platform::UserConfigRoot();
  if (!root) return std::nullopt;
  return *root / "autostart" / (WideToUtf8(m_valueName) + ".desktop");
}

std::wstring CAutoRun::TakeLastError() {
  std::wstring text;
  text.swap(m_lastError);
  return text;
}

bool CAutoRun::Query(bool& exists, bool& equal) {
  exists = equal = false;
  auto path = EntryPath();
  if (!path) {
    m_lastError = ErrorText(L"RegCreateKeyEx", ENOENT);
    return false;
  }
  int fd = open(path->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    m_lastError = ErrorText(errno == ENOTDIR ? L"RegCreateKeyEx" : L"QueryStringValue", errno);
    return false;
  }
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536) text.append(buffer, got);
  int error = got < 0 ? errno : 0;
  close(fd);
  if (error) {
    m_lastError = ErrorText(L"QueryStringValue", error);
    return false;
  }
  exists = true;
  auto value = ReadExecValue(text);
  if (!value || Utf8ToWide(*value).size() >= kMaxValueChars) return true;
  auto argv = SplitExecLine(*value);
  equal = argv && *argv == Arguments();
  return true;
}

bool CAutoRun::Set(bool enable) {
  auto path = EntryPath();
  if (!path) {
    m_lastError = ErrorText(L"RegCreateKeyEx", ENOENT);
    return false;
  }
  if (!enable) {
    if (unlink(path->c_str()) != 0) {
      m_lastError = ErrorText(L"DeleteValue", errno);
      return false;
    }
    return true;
  }
  std::error_code ec;
  std::filesystem::create_directories(path->parent_path(), ec);
  if (ec) {
    m_lastError = ErrorText(L"RegCreateKeyEx", ec.value());
    return false;
  }
  const std::string text = "[Desktop Entry]\nType=Application\nName=" + WideToUtf8(m_valueName) +
                           "\nExec=" + WideToUtf8(m_commandLine) + "\nIcon=tarnwick\nTerminal=false\n"
                           "X-GNOME-Autostart-enabled=true\n";
  // A failed write keeps the old entry.
  const std::filesystem::path temporary = path->string() + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    m_lastError = ErrorText(L"SetStringValue", errno);
    return false;
  }
  bool written = platform::WriteFully(fd, text) && fsync(fd) == 0;
  int error = errno;
  close(fd);
  if (!written || rename(temporary.c_str(), path->c_str()) != 0) {
    if (written) error = errno;
    unlink(temporary.c_str());
    m_lastError = ErrorText(L"SetStringValue", error);
    return false;
  }
  return true;
}
