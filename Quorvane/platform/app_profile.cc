#include "Quorvane/platform/app_profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cwctype>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

#include "Quorvane/platform/file_write.h"
#include "Quorvane/platform/paths.h"
#include "Quorvane/platform/utf8.h"

namespace platform {
namespace {

struct SSection {
  std::wstring name;
  std::vector<std::pair<std::wstring, std::wstring>> values;  // in file order
};
using Profile = std::vector<SSection>;

std::mutex g_ProfileMutex;
std::filesystem::path g_ProfilePath;  // empty: the user's default; guarded by g_ProfileMutex

// Section and value names compare as registry names do: ignoring ASCII case.
bool SameName(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i], y = b[i];
    if (x < 0x80 && y < 0x80) {
      x = static_cast<wchar_t>(std::towlower(x));
      y = static_cast<wchar_t>(std::towlower(y));
    }
    if (x != y) return false;
  }
  return true;
}

// Text that UTF-8 cannot hold (unpaired surrogates) is refused rather than
// stored cut short.
bool Storable(std::wstring_view text) {
  std::string bytes;
  return EncodeUtf8(text.data(), text.size(), bytes);
}

// A name must read back as itself: no line break, no "=" or brackets, and
// no start that reads as a comment.
bool StorableName(std::wstring_view name) {
  return !name.empty() && name[0] != L';' && name[0] != L'#' &&
         name.find_first_of(L"[]=\r\n") == std::wstring_view::npos && Storable(name);
}

// Values may hold any text; line breaks and backslashes are escaped.
std::wstring Escape(std::wstring_view value) {
  std::wstring out;
  for (wchar_t c : value) {
    if (c == L'\\') out += L"\\\\";
    else if (c == L'\n') out += L"\\n";
    else if (c == L'\r') out += L"\\r";
    else out += c;
  }
  return out;
}

std::wstring Unescape(std::wstring_view value) {
  std::wstring out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == L'\\' && i + 1 < value.size()) {
      wchar_t next = value[i + 1];
      if (next == L'\\' || next == L'n' || next == L'r') {
        out += next == L'n' ? L'\n' : next == L'r' ? L'\r' : L'\\';
        ++i;
        continue;
      }
    }
    out += value[i];
  }
  return out;
}

std::filesystem::path CurrentPath() {
  return g_ProfilePath.empty() ? DefaultProfilePath(false) : g_ProfilePath;
}

// False only when the file exists but cannot be read: a write must then not
// replace it with what little is known.
bool Load(const std::filesystem::path& path, Profile& profile) {
  profile.clear();
  if (path.empty()) return true;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::error_code ec;
    auto status = std::filesystem::symlink_status(path, ec);
    return status.type() == std::filesystem::file_type::not_found;
  }
  std::string line;
  SSection* section = nullptr;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::wstring text;
    if (!DecodeUtf8(line.data(), line.size(), text)) continue;
    if (text.empty() || text[0] == L';' || text[0] == L'#') continue;
    if (text.front() == L'[' && text.back() == L']') {
      profile.push_back({text.substr(1, text.size() - 2), {}});
      section = &profile.back();
      continue;
    }
    size_t equals = text.find(L'=');
    if (!section || equals == std::wstring::npos || equals == 0) continue;
    section->values.emplace_back(text.substr(0, equals), Unescape(std::wstring_view(text).substr(equals + 1)));
  }
  return !in.bad();
}

const std::wstring* Find(const Profile& profile, std::wstring_view section, std::wstring_view name) {
  for (const auto& s : profile) {
    if (!SameName(s.name, section)) continue;
    for (const auto& [key, value] : s.values)
      if (SameName(key, name)) return &value;
  }
  return nullptr;
}

std::string Serialise(const Profile& profile) {
  std::string out;
  for (const auto& s : profile) {
    std::wstring text = L"[" + s.name + L"]\n";
    for (const auto& [key, value] : s.values) text += key + L"=" + Escape(value) + L"\n";
    text += L"\n";
    std::string bytes;
    EncodeUtf8(text.data(), text.size(), bytes);  // every stored text encodes (see Storable)
    out += bytes;
  }
  return out;
}

// A temporary file beside the old one, flushed, then renamed over it.
bool Replace(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  std::string temp = path.string() + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0644) == 0 && WriteFully(fd, bytes) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool Write(std::wstring_view section, std::wstring_view name, std::wstring_view value) {
  if (!StorableName(section) || !StorableName(name) || !Storable(value)) return false;
  std::lock_guard lock(g_ProfileMutex);
  std::filesystem::path path = CurrentPath();
  if (path.empty()) return false;
  Profile profile;
  if (!Load(path, profile)) return false;
  // A hand-edited file may repeat a section: change the value that reads
  // back (the first), else add it to the first such section.
  SSection* target = nullptr;
  for (auto& s : profile) {
    if (!SameName(s.name, section)) continue;
    if (!target) target = &s;
    for (auto& [key, old] : s.values) {
      if (!SameName(key, name)) continue;
      old = value;
      return Replace(path, Serialise(profile));
    }
  }
  if (!target) {
    profile.push_back({std::wstring(section), {}});
    target = &profile.back();
  }
  target->values.emplace_back(std::wstring(name), std::wstring(value));
  return Replace(path, Serialise(profile));
}

}  // namespace

std::filesystem::path DefaultProfilePath(bool service) {
  if (service) return ServiceDataFolder() / "Tarnwick.ini";
  auto root = UserConfigRoot();
  if (!root) return {};
  return *root / "Brevant" / "Tarnwick.ini";
}

void SetProfilePath(const std::filesystem::path& path) {
  std::lock_guard lock(g_ProfileMutex);
  g_ProfilePath = path;
}

std::filesystem::path ProfilePath() {
  std::lock_guard lock(g_ProfileMutex);
  return CurrentPath();
}

int GetProfileInt(std::wstring_view section, std::wstring_view name, int defaultValue) {
  std::wstring text = GetProfileString(section, name, L"");
  if (text.empty()) return defaultValue;
  size_t i = 0;
  bool negative = text[0] == L'-';
  if (text[0] == L'-' || text[0] == L'+') ++i;
  if (i == text.size()) return defaultValue;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return defaultValue;
    value = value * 10 + (text[i] - L'0');
    if (value > static_cast<long long>(INT_MAX) + 1) return defaultValue;
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return defaultValue;
  return static_cast<int>(value);
}

std::wstring GetProfileString(std::wstring_view section, std::wstring_view name, std::wstring_view defaultValue) {
  std::lock_guard lock(g_ProfileMutex);
  Profile profile;
  Load(CurrentPath(), profile);
  const std::wstring* value = Find(profile, section, name);
  return value ? *value : std::wstring(defaultValue);
}

bool HasProfileValue(std::wstring_view section, std::wstring_view name) {
  std::lock_guard lock(g_ProfileMutex);
  Profile profile;
  Load(CurrentPath(), profile);
  return Find(profile, section, name) != nullptr;
}

bool WriteProfileInt(std::wstring_view section, std::wstring_view name, int value) {
  return Write(section, name, std::to_wstring(value));
}

bool WriteProfileString(std::wstring_view section, std::wstring_view name, std::wstring_view value) {
  return Write(section, name, value);
}

}  // namespace platform
