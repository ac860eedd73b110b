// The crash reporter, in place of the unhandled-exception filter and
// MiniDumpWriteDump. Handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and
// SIGABRT run on an alternate stack on the thread that installs them (the
// UI thread, so that its stack overflow still reports; sigaltstack is per
// thread) and use only async-signal-safe calls: no lock, no allocation, so
// a crash inside malloc or under the log lock cannot deadlock the report.
// The "dump" is text: the signal, the fault address, a backtrace
// (backtrace() is called once at install so that its library is loaded
// then, not in the handler) and the memory map, written to "Tarnwick.dmp" in
// the temporary folder with O_NOFOLLOW and mode 0600. The message goes to
// standard error and is appended to the log file. Outside service mode the
// program starts itself again as `--crash-box DUMP MESSAGE` to show the box
// and the dump's folder (a box cannot be shown from a crashed process).
// Then 3000 ms, the default action, and the signal again.
//
// g_bCrashReported is exchanged atomically: one report runs, any later one
// (another thread crashing meanwhile) waits for the process to end.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

extern std::atomic<bool> g_bCrashReported;

constexpr int kCrashBoxWaitMs = 3000;
constexpr size_t kFatalReasonChars = 1000;
constexpr size_t kCrashMessageChars = 360;
inline constexpr const char* kCrashSupportAddress = "support@brevant.example";

// Installs the handlers, settles the dump path (from $TMPDIR now) and the
// box program, and installs ReportFatalError as the foundation's fatal-error
// hook. showBox: start the box after a report (not in service mode).
void InstallCrashHandlers(bool showBox);
// The log file the report appends to; empty for none. UI thread, before
// crashes matter (after the log settings are read).
void SetCrashLogFile(const std::filesystem::path& file);

// Copies text into g_szFatalReason unless it is empty (which keeps the
// previous reason), runs the report, and with terminate ends the process
// with _exit(1): ordinary exit processing would destroy objects that
// running threads still use.
void CrashReportFatalError(const std::wstring& text, bool terminate);

std::filesystem::path CrashDumpPath();
