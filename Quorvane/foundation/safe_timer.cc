#include "Quorvane/foundation/safe_timer.h"

#include "Quorvane/foundation/fatal_error.h"

std::shared_ptr<CSafeTimer> CSafeTimer::Create(int64_t dueMs, int64_t periodMs, Callback callback, void* argument) {
  return std::make_shared<CSafeTimer>(dueMs, periodMs, callback, argument);
}

CSafeTimer::CSafeTimer(int64_t dueMs, int64_t periodMs, Callback callback, void* argument)
    : m_due(dueMs),
      m_period(periodMs),
      m_timer(platform::CThreadPoolTimer::Create(&CSafeTimer::TimerCallback, this)),
      m_callback(callback),
      m_argument(argument) {}

CSafeTimer::~CSafeTimer() { CloseTimer(); }

void CSafeTimer::TimerCallback(void* context) {
  auto* self = static_cast<CSafeTimer*>(context);
  if (self->m_callback) self->m_callback(self->m_argument);
}

bool CSafeTimer::Start() {
  std::lock_guard lock(m_startMutex);
  if (!m_timer || m_closing) return false;
  m_timer->Set(m_due, m_period, m_period / 10);
  m_armed = true;
  return true;
}

bool CSafeTimer::CloseTimer() {
  std::lock_guard closeLock(m_closeMutex);
  {
    std::lock_guard lock(m_startMutex);
    m_closing = true;
    m_armed = false;
  }
  if (!m_timer) return true;
  bool stopped = false;
  for (int round = 0; round < kCloseRounds && !stopped; ++round) {
    m_timer->Stop();
    m_timer->WaitForCallbacks(true);
    stopped = !m_armed;
  }
  if (!stopped) ReportFatalError(L"Fatal Error: CSafeTimer::CloseTimer() racing condition.", true);
  m_timer->Close();
  std::lock_guard lock(m_startMutex);  // Start reads the handle under it
  m_timer = nullptr;
  return stopped;
}
