// The per-user application profile, in place of the registry values under
// the company key: sections ("Settings", "UI", "MessageBoxEx") of named int
// and string values in one INI file, $XDG_CONFIG_HOME/Brevant/Tarnwick.ini
// (the service's in /var/lib/tarnwick/). Every read sees the file as it is;
// every write goes to a temporary file that is flushed and renamed over the
// old one, so a failed write keeps the old file. Any thread; one lock.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// Where the profile lives for a user (per XDG) or for the service.
std::filesystem::path DefaultProfilePath(bool service);
// Selects the file read and written from now on; empty selects the user's.
// The service selects DefaultProfilePath(true) at start-up.
void SetProfilePath(const std::filesystem::path& path);
std::filesystem::path ProfilePath();

// Absent values, unreadable files and (for ints) text that is not a whole
// decimal int give the default.
int GetProfileInt(std::wstring_view section, std::wstring_view name, int defaultValue);
std::wstring GetProfileString(std::wstring_view section, std::wstring_view name, std::wstring_view defaultValue);
bool HasProfileValue(std::wstring_view section, std::wstring_view name);

// False when the file could not be replaced (the old one is kept) or when
// the text cannot be stored: a section or name that is empty, holds "[", "]",
// "=" or a line break, or starts with ";" or "#"; text UTF-8 cannot hold.
// Creates the file's folder when it is missing.
bool WriteProfileInt(std::wstring_view section, std::wstring_view name, int value);
bool WriteProfileString(std::wstring_view section, std::wstring_view name, std::wstring_view value);

}  // namespace platform
