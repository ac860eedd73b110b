#include "Quorvane/ui/service_frame.h"

#include <QCoreApplication>

CServiceFrame::CServiceFrame(CServerCheckEngine* checkEngine, std::function<bool()> resultSeen) {
  Bind(this);
  CMainFrameController::SSeams seams;
  seams.checkEngine = checkEngine;
  seams.resultSeen = std::move(resultSeen);
  seams.handle = Handle();
  seams.service = true;
  seams.destroy = [this] {
    MarkClosed();
    if (QCoreApplication::instance()) QCoreApplication::quit();
  };
  m_controller = std::make_unique<CMainFrameController>(std::move(seams));
  QObject::connect(&m_monitoring, &QTimer::timeout, [this] { m_controller->OnTimer(kTimerMonitoring); });
  m_monitoring.start(500);
}

CServiceFrame::~CServiceFrame() { Unbind(); }

intptr_t CServiceFrame::OnMessage(const platform::SWindowMessage& message) {
  if (!Handle()) return 0;
  // The service's log view is never filled.
  if (message.message == WM_LOG_NOTIFY) return 0;
  return m_controller->OnMessage(message);
}
