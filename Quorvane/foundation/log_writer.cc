#include "Quorvane/foundation/log_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "Quorvane/foundation/log_settings.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/file_write.h"

namespace {

std::string FormatLine(const SLogLine& line) {
  time_t seconds = static_cast<time_t>(line.time);
  tm local{};
  char stamp[64] = "[0000.00.00 00:00:00] ";
  if (localtime_r(&seconds, &local)) strftime(stamp, sizeof(stamp), "[%Y.%m.%d %H:%M:%S] ", &local);
  std::string out = stamp;
  // Every line feed goes to disk as CR LF, also those inside the text.
  for (char c : WideToUtf8(line.text)) {
    if (c == '\n') out += '\r';
    out += c;
  }
  out += "\r\n";
  return out;
}

std::string Numbered(const std::string& path, int n) { return path + "." + std::to_string(n); }

// The live file is moved aside first: when that fails nothing else is
// touched and the caller keeps appending, so no copy is lost to a file that
// cannot be moved.
// Drops the oldest copy, shifts the others up and makes moved the ".1";
// false when moved could not take that name.
bool ShiftCopiesAndPlace(const std::string& path, const std::string& moved) {
  ::unlink(Numbered(path, CLogFileWriter::kRotatedCopies).c_str());
  for (int n = CLogFileWriter::kRotatedCopies - 1; n >= 1; --n)
    ::rename(Numbered(path, n).c_str(), Numbered(path, n + 1).c_str());
  return ::rename(moved.c_str(), Numbered(path, 1).c_str()) == 0;
}

// The live file moves aside first, so that a failure keeps every copy. A
// file left aside by a rotation whose last step failed becomes a copy
// before the name is used again, never overwritten.
void Rotate(const std::string& path) {
  const std::string moved = path + ".rotating";
  struct stat left;
  if (::lstat(moved.c_str(), &left) == 0 && S_ISREG(left.st_mode) && !ShiftCopiesAndPlace(path, moved)) return;
  if (::rename(path.c_str(), moved.c_str()) != 0) return;
  ShiftCopiesAndPlace(path, moved);
}

}  // namespace

void StopLogWriter(SLogWriterControl& control) {
  {
    std::lock_guard lock(control.m_logWriterMutex);
    control.m_bStopLogWriter = true;
  }
  control.m_logWriterCondition.notify_all();
}

int CLogFileWriter::Open(const std::wstring& path) {
  int fd = ::open(ToNarrow(path, false).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    m_lastFailedPath.clear();
  } else if (path != m_lastFailedPath) {
    CLogMessage().SetError().Append(LogError, L"Could not open log file for writing ").Append(LogError, path);
    m_lastFailedPath = path;
  }
  return fd;
}

void CLogFileWriter::WriteBatch(const std::list<SLogLine>& batch, const std::wstring& folder) {
  const std::wstring path = folder + L"/Tarnwick Log.txt";
  int fd = Open(path);
  if (fd < 0) return;
  const std::string narrowPath = ToNarrow(path, false);
  for (const SLogLine& line : batch) {
    if (!platform::WriteFully(fd, FormatLine(line))) break;  // the stream is failed for this batch
    off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position <= kRotateAfterBytes) continue;
    ::close(fd);
    Rotate(narrowPath);
    fd = Open(path);
    if (fd < 0) return;
  }
  ::close(fd);
}

void LogFileWriterThread(SLogWriterControl& control) {
  CLogFileWriter writer;
  for (bool last = false; !last;) {
    {
      std::unique_lock lock(control.m_logWriterMutex);
      if (!control.m_bStopLogWriter)
        platform::WaitFor(control.m_logWriterCondition, lock, CLogFileWriter::kPeriodMs,
                          [&] { return control.m_bStopLogWriter; });
      last = control.m_bStopLogWriter;
    }
    std::list<SLogLine> batch;
    if (last)
      SwapLogQueueAndStop(batch);
    else
      SwapLogQueue(batch, false);
    if (!batch.empty() && g_LogLevelFile != 0) writer.WriteBatch(batch, GetLogFolder());
  }
}
