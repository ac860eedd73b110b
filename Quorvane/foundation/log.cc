#include "Quorvane/foundation/log.h"

#include <algorithm>
#include <cstring>

#include "Quorvane/foundation/run_mode.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"

std::atomic<int> g_LogLevelScreen{LogNormal};
std::atomic<int> g_LogLevelFile{0};

std::list<SLogLine> g_LogScreenQueue;
std::list<SLogLine> g_LogFileQueue;
std::mutex g_LogMutex;
std::atomic<bool> g_LogStopped{false};

std::atomic<uint64_t> g_LogFloodCount{0};
std::atomic<uint64_t> g_LogFloodWindowStart{0};
std::atomic<bool> g_LogFlooding{false};
std::atomic<uint64_t> g_nLastLogNotifyTick{0};
std::atomic<platform::HWND> g_hLogWnd{0};

namespace {

constexpr size_t kReservedChars = 500;
constexpr uint64_t kFloodWindowMs = 1000;
constexpr uint64_t kFloodStatements = 50;
constexpr uint64_t kFloodNotifyMs = 200;
constexpr size_t kFloodQueueLimit = 1000;

}  // namespace

CLogMessage::CLogMessage() { m_screen.time = m_file.time = platform::WallTime(); }

namespace {

// Room is made once a line gets its first value: a statement at a level
// no sink writes allocates nothing.
void AppendToLine(std::wstring& line, const std::wstring& value) {
  if (line.empty()) line.reserve(std::max(kReservedChars, value.size()));
  line += value;
}

}  // namespace

bool CLogMessage::Writes(int level) {
  int file = g_LogLevelFile.load(std::memory_order_relaxed);
  return level <= g_LogLevelScreen.load(std::memory_order_relaxed) || (file != 0 && level <= file);
}

CLogMessage& CLogMessage::Append(int level, const std::wstring& value) {
  if (level <= g_LogLevelScreen.load(std::memory_order_relaxed)) AppendToLine(m_screen.text, value);
  int file = g_LogLevelFile.load(std::memory_order_relaxed);
  if (file != 0 && level <= file) AppendToLine(m_file.text, value);
  return *this;
}

CLogMessage& CLogMessage::Append(int level, const wchar_t* value) {
  if (!Takes(level)) return *this;
  return Append(level, std::wstring(value ? value : L""));
}

CLogMessage& CLogMessage::Append(int level, const char* value) {
  if (!Takes(level)) return *this;
  return Append(level, ToWide(value ? value : "", value ? std::strlen(value) : 0, false));
}

CLogMessage& CLogMessage::Append(int level, const std::string& value) {
  return Append(level, std::string_view(value));
}

CLogMessage& CLogMessage::Append(int level, std::string_view value) {
  if (!Takes(level)) return *this;
  return Append(level, ToWide(value.data(), value.size(), false));
}

CLogMessage& CLogMessage::Append(int level, int value) { return Append(level, static_cast<long long>(value)); }
CLogMessage& CLogMessage::Append(int level, long value) { return Append(level, static_cast<long long>(value)); }

CLogMessage& CLogMessage::Append(int level, long long value) {
  if (!Takes(level)) return *this;
  return Append(level, std::to_wstring(value));
}

CLogMessage& CLogMessage::Append(int level, unsigned value) {
  return Append(level, static_cast<unsigned long long>(value));
}
CLogMessage& CLogMessage::Append(int level, unsigned long value) {
  return Append(level, static_cast<unsigned long long>(value));
}
CLogMessage& CLogMessage::Append(int level, unsigned short value) {
  return Append(level, static_cast<unsigned long long>(value));
}

CLogMessage& CLogMessage::Append(int level, unsigned long long value) {
  if (!Takes(level)) return *this;
  return Append(level, std::to_wstring(value));
}

CLogMessage& CLogMessage::SetError() {
  m_screen.error = true;
  return *this;
}

CLogMessage::~CLogMessage() {
  if (g_LogStopped.load(std::memory_order_acquire)) return;
  bool notify;
  {
    std::lock_guard lock(g_LogMutex);
    // Tested again under the lock: the writer's final swap sets the flag in
    // its own locked section, so no line can slip in behind it.
    if (g_LogStopped.load(std::memory_order_relaxed)) return;
    if (!m_screen.text.empty() && CurrentRunMode() != RunModeService) g_LogScreenQueue.push_back(std::move(m_screen));
    if (!m_file.text.empty()) g_LogFileQueue.push_back(std::move(m_file));

    uint64_t now = platform::GetTickCount64();
    uint64_t count = g_LogFloodCount.fetch_add(1, std::memory_order_relaxed) + 1;
    if (now - g_LogFloodWindowStart.load(std::memory_order_relaxed) > kFloodWindowMs) {
      g_LogFloodWindowStart.store(now, std::memory_order_relaxed);
      g_LogFlooding.store(count > kFloodStatements, std::memory_order_relaxed);
      g_LogFloodCount.store(0, std::memory_order_relaxed);
    }
    notify = !(g_LogFlooding.load(std::memory_order_relaxed) &&
               now - g_nLastLogNotifyTick.load(std::memory_order_relaxed) <= kFloodNotifyMs &&
               g_LogScreenQueue.size() <= kFloodQueueLimit);
    if (notify) g_nLastLogNotifyTick.store(now, std::memory_order_relaxed);
  }
  // Posted outside the log lock: the window registry has its own lock.
  if (notify) platform::PostWindowMessage(g_hLogWnd.load(std::memory_order_acquire), WM_LOG_NOTIFY, 0, 0);
}

void SwapLogQueue(std::list<SLogLine>& out, bool screen) {
  out.clear();
  std::lock_guard lock(g_LogMutex);
  out.swap(screen ? g_LogScreenQueue : g_LogFileQueue);
}

void SwapLogQueueAndStop(std::list<SLogLine>& out) {
  out.clear();
  std::lock_guard lock(g_LogMutex);
  out.swap(g_LogFileQueue);
  g_LogStopped.store(true, std::memory_order_release);
}
