// Opening addresses, folders and files with the desktop's own programs, in
// place of ShellExecute and "explorer /select,". Every call spawns xdg-open
// with an argv vector, never a shell string, in a session of its own, and
// returns without waiting; the child is reaped by a detached thread. Linux
// has no common way to select a file in a file manager: ShowInFileManager
// opens the folder that holds it. Any thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// False when xdg-open could not be started (errno tells why).
bool OpenUrl(const std::string& url);
bool OpenFolder(const std::filesystem::path& folder);
bool ShowInFileManager(const std::filesystem::path& file);

// The spawn under the three: argv[0] looked up in PATH, standard streams
// on /dev/null.
bool SpawnDetached(const std::vector<std::string>& argv);

}  // namespace platform
