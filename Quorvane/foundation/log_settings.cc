#include "Quorvane/foundation/log_settings.h"

#include <filesystem>
#include <system_error>

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/run_mode.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/platform/paths.h"

std::wstring g_LogFolder;
std::mutex g_LogFolderMutex;

std::wstring GetLogFolder() {
  std::lock_guard lock(g_LogFolderMutex);
  return g_LogFolder;
}

void SetLogFolder(const std::wstring& folder) {
  std::lock_guard lock(g_LogFolderMutex);
  g_LogFolder = folder;
}

namespace {

constexpr wchar_t kSection[] = L"Settings";

// A level outside 0..4 in the profile would index past the level controls.
int ReadLevel(const wchar_t* name, int defaultValue) {
  int level = platform::GetProfileInt(kSection, name, defaultValue);
  return level >= LogAlways && level <= LogDebug ? level : defaultValue;
}

}  // namespace

void LoadLogSettings() {
  const bool service = CurrentRunMode() == RunModeService;
  g_LogLevelScreen = ReadLevel(L"LogLevelScreen", service ? 0 : g_LogLevelScreen.load());
  g_LogLevelFile = ReadLevel(L"LogLevelFile", service ? 1 : g_LogLevelFile.load());
  std::wstring folder = platform::GetProfileString(kSection, L"LogFilePath", GetLogFolder());
  SetLogFolder(folder);
  if (g_LogLevelFile < 1) return;

  if (folder.empty()) {
    if (auto documents = platform::DocumentsFolder()) {
      folder = ToWide(documents->native(), false) + L"/Tarnwick";
    } else {
      CLogMessage().SetError().Append(LogError, L"Could not get conf-file path: SHGetKnownFolderPath failed.");
      folder = ToWide(platform::TempFolder().native(), false) + L"Tarnwick";
    }
    SetLogFolder(folder);
  }
  if (service) {
    platform::WriteProfileInt(kSection, L"LogLevelFile", g_LogLevelFile);
    platform::WriteProfileString(kSection, L"LogFilePath", folder);
  }
  std::error_code ec;
  std::filesystem::create_directories(ToNarrow(folder, false), ec);
  if (ec)
    CLogMessage().SetError().Append(LogError, L"Could not create log-file directory, error=").Append(LogError, ec.value())
        .Append(LogError, L".");
}
