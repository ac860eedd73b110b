// Where the program finds its own folders: the program file, the user's
// Documents, the temporary folder and the per-user configuration folder.
// Stands in for GetModuleFileName, SHGetKnownFolderPath and GetTempPath;
// backed by /proc/self/exe, the XDG base directories and $TMPDIR.
// Thread-safe: every call reads the environment afresh.
#pragma once

#include <filesystem>
#include <optional>

namespace platform {

// Full path of the running program file; empty when /proc is not mounted.
std::filesystem::path ModuleFilePath();

// The user's Documents folder: $XDG_DOCUMENTS_DIR, else the entry in
// $XDG_CONFIG_HOME/user-dirs.dirs, else $HOME/Documents. No value when
// neither $HOME nor the password database names a home folder.
std::optional<std::filesystem::path> DocumentsFolder();

// The temporary folder ($TMPDIR, else /tmp), always ending in "/".
std::filesystem::path TempFolder();

// The per-user roaming configuration root: $XDG_CONFIG_HOME, else
// $HOME/.config. No value when no home folder is known.
std::optional<std::filesystem::path> UserConfigRoot();

// The folder of the program's per-user files: UserConfigRoot() + "/Tarnwick".
std::optional<std::filesystem::path> UserConfigFolder();

// The folder of the service's files: the first of $STATE_DIRECTORY (set by
// systemd for StateDirectory=), else /var/lib/tarnwick.
std::filesystem::path ServiceDataFolder();

// The folder of per-session runtime files: the service's $RUNTIME_DIRECTORY
// (first entry), or the user's $XDG_RUNTIME_DIR; no value when unset.
std::optional<std::filesystem::path> RuntimeFolder(bool service);

}  // namespace platform
