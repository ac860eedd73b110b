#include "Quorvane/platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

namespace platform {
namespace {

std::optional<std::filesystem::path> HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home);
  struct passwd pw {};
  struct passwd* result = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof(buffer), &result) == 0 && result && result->pw_dir &&
      *result->pw_dir)
    return std::filesystem::path(result->pw_dir);
  return std::nullopt;
}

// Reads XDG_DOCUMENTS_DIR="$HOME/..." from user-dirs.dirs.
std::optional<std::filesystem::path> DocumentsFromUserDirs(const std::filesystem::path& home) {
  std::filesystem::path file;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
    file = std::filesystem::path(config) / "user-dirs.dirs";
  else
    file = home / ".config" / "user-dirs.dirs";
  std::ifstream in(file);
  std::string line;
  const std::string key = "XDG_DOCUMENTS_DIR=";
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    const std::string homeVar = "$HOME";
    if (value.compare(0, homeVar.size(), homeVar) == 0)
      value = home.string() + value.substr(homeVar.size());
    if (!value.empty() && value[0] == '/') return std::filesystem::path(value);
  }
  return std::nullopt;
}

}  // namespace

std::filesystem::path ModuleFilePath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : path;
}

std::optional<std::filesystem::path> DocumentsFolder() {
  if (const char* docs = std::getenv("XDG_DOCUMENTS_DIR"); docs && *docs) return std::filesystem::path(docs);
  auto home = HomeFolder();
  if (!home) return std::nullopt;
  if (auto fromFile = DocumentsFromUserDirs(*home)) return fromFile;
  return *home / "Documents";
}

std::filesystem::path TempFolder() {
  std::string dir = "/tmp";
  if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp) dir = tmp;
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::optional<std::filesystem::path> UserConfigRoot() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
    return std::filesystem::path(config);
  auto home = HomeFolder();
  if (!home) return std::nullopt;
  return *home / ".config";
}

std::optional<std::filesystem::path> UserConfigFolder() {
  auto root = UserConfigRoot();
  if (!root) return std::nullopt;
  return *root / "Tarnwick";
}

namespace {

// systemd passes several folders separated by ":"; ours is the first.
std::optional<std::filesystem::path> FirstOfList(const char* variable) {
  const char* value = std::getenv(variable);
  if (!value || !*value) return std::nullopt;
  std::string first(value);
  first = first.substr(0, first.find(':'));
  if (first.empty()) return std::nullopt;
  return std::filesystem::path(first);
}

}  // namespace

std::filesystem::path ServiceDataFolder() {
  if (auto state = FirstOfList("STATE_DIRECTORY")) return *state;
  return "/var/lib/tarnwick";
}

std::optional<std::filesystem::path> RuntimeFolder(bool service) {
  return FirstOfList(service ? "RUNTIME_DIRECTORY" : "XDG_RUNTIME_DIR");
}

}  // namespace platform
