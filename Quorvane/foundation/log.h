// Log statements and the two queues they feed.
//
//   CLogMessage().SetError().Append(LogError, L"Could not open ").Append(LogError, path);
//
// A statement is built on the stack, value by value, each value with its own
// level, and committed when it is destroyed (also when left by an exception).
// It gives at most one screen line (for the main window's log view) and one
// file line (for the log-file writer). g_LogMutex guards both queues and is
// always the innermost lock: a statement may be committed under any other lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <string_view>

#include "Quorvane/platform/window_messages.h"

enum ELogLevel : int {
  LogAlways = 0,  // every enabled sink
  LogError = 1,
  LogNormal = 2,
  LogVerbose = 3,
  LogDebug = 4,
};

// Sink levels, read at every append without a lock. File level 0 is off.
extern std::atomic<int> g_LogLevelScreen;  // initially LogNormal
extern std::atomic<int> g_LogLevelFile;    // initially 0

struct SLogLine {
  int64_t time = 0;  // seconds since 1970-01-01 UTC, taken when the statement began
  std::wstring text;
  bool error = false;  // screen lines only: drawn in red
};

class CLogMessage {
 public:
  CLogMessage();
  ~CLogMessage();
  CLogMessage(const CLogMessage&) = delete;
  CLogMessage& operator=(const CLogMessage&) = delete;

  CLogMessage& Append(int level, const std::wstring& value);
  CLogMessage& Append(int level, const wchar_t* value);
  // Narrow text is in the locale's codeset (the "ANSI" side), not UTF-8.
  CLogMessage& Append(int level, const char* value);
  CLogMessage& Append(int level, const std::string& value);
  CLogMessage& Append(int level, std::string_view value);
  CLogMessage& Append(int level, int value);
  CLogMessage& Append(int level, long value);
  CLogMessage& Append(int level, long long value);
  CLogMessage& Append(int level, unsigned value);
  CLogMessage& Append(int level, unsigned long value);
  CLogMessage& Append(int level, unsigned long long value);
  CLogMessage& Append(int level, unsigned short value);
  CLogMessage& SetError();

  // Whether a value of level would be written by any sink now: statements
  // whose text costs something to build ask first.
  static bool Writes(int level);

 private:
  bool Takes(int level) const { return Writes(level); }
  SLogLine m_screen;
  SLogLine m_file;
};

extern std::list<SLogLine> g_LogScreenQueue;
extern std::list<SLogLine> g_LogFileQueue;
extern std::mutex g_LogMutex;
// Set by the log-file writer when it ends; later statements are dropped.
extern std::atomic<bool> g_LogStopped;

// Flood control of the window notification; updated under g_LogMutex.
extern std::atomic<uint64_t> g_LogFloodCount;
extern std::atomic<uint64_t> g_LogFloodWindowStart;
extern std::atomic<bool> g_LogFlooding;
extern std::atomic<uint64_t> g_nLastLogNotifyTick;
// The window told to pull screen lines; 0 until the main window exists.
extern std::atomic<platform::HWND> g_hLogWnd;

constexpr unsigned WM_LOG_NOTIFY = platform::WM_USER + 0x78;

// Moves every line of one queue into out (emptied first), in queue order.
void SwapLogQueue(std::list<SLogLine>& out, bool screen);
// The writer's final swap of the file queue: sets g_LogStopped in the same
// locked section, so every statement is either in out or discarded.
void SwapLogQueueAndStop(std::list<SLogLine>& out);
