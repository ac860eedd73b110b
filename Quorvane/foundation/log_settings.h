// The log's settings: the two sink levels and the log folder, read from the
// application profile ("Settings") at start-up and again when the file log
// is switched on. The service has its own defaults and writes them back.
#pragma once

#include <mutex>
#include <string>

// Folder of "Tarnwick Log.txt", without a trailing "/". The user-interface
// thread changes it while the writer reads it: use the accessors.
extern std::wstring g_LogFolder;
extern std::mutex g_LogFolderMutex;  // guards g_LogFolder
std::wstring GetLogFolder();
void SetLogFolder(const std::wstring& folder);

// Loads LogLevelScreen, LogLevelFile and LogFilePath; with the file log on,
// settles the folder (Documents + "/Tarnwick" when none is set) and creates
// it. Failures are logged; the program goes on.
void LoadLogSettings();
