// The file sink's writer: a thread that takes the file queue every 200 ms
// (and once more when told to stop) and appends it to "Tarnwick Log.txt" in
// the log folder, one "[%Y.%m.%d %H:%M:%S] " stamped UTF-8 line per entry
// ending in CR LF, rotating the file into ".1" (newest) .. ".9" (oldest) when
// it grows past 33554431 bytes. The file is opened per batch, never held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "Quorvane/foundation/log.h"

// The writer's stop signal, owned by the application object.
struct SLogWriterControl {
  std::mutex m_logWriterMutex;
  std::condition_variable m_logWriterCondition;
  bool m_bStopLogWriter = false;  // set only under m_logWriterMutex
};

// Sets the stop flag under the mutex and wakes the writer; the caller joins.
void StopLogWriter(SLogWriterControl& control);

// The thread body. Ends after the round that saw the stop flag; that round
// takes the queue for the last time and stops the log (g_LogStopped).
void LogFileWriterThread(SLogWriterControl& control);

// Appends batches to one folder's log file. Remembers the path of the last
// failed open so that a lasting failure is logged once, not every round.
class CLogFileWriter {
 public:
  static constexpr int64_t kRotateAfterBytes = 0x1FFFFFF;
  static constexpr int kRotatedCopies = 9;
  static constexpr uint64_t kPeriodMs = 200;

  // folder + "/Tarnwick Log.txt". An unopenable file costs the batch (and
  // one log statement per distinct path); a failed write costs the rest of
  // the batch.
  void WriteBatch(const std::list<SLogLine>& batch, const std::wstring& folder);

 private:
  int Open(const std::wstring& path);
  std::wstring m_lastFailedPath;
};
