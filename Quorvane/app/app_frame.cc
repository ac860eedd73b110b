#include "Quorvane/app/app_frame.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/app/service_mode.h"

CAppFrame::~CAppFrame() { Unbind(); }

void CAppFrame::Bind(QObject* context) {
  m_handle = platform::RegisterWindow(
      [this, context](const platform::SWindowMessage& message) {
        // Delivery runs on the poster's thread; the frame's work runs on its own.
        QMetaObject::invokeMethod(context, [this, message] { OnMessage(message); }, Qt::QueuedConnection);
      },
      [this](const platform::SWindowMessage& message) { return OnMessage(message); },
      [context](std::function<void()> call) {
        // A call the loop never runs is destroyed with its event, which fails the send.
        return QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
      });
}

void CAppFrame::Unbind() {
  if (!m_handle) return;
  platform::UnregisterWindow(m_handle);
  m_handle = 0;
}

intptr_t CAppFrame::OnMessage(const platform::SWindowMessage& message) {
  if (!m_handle) return 0;
  switch (message.message) {
    case WM_CLOSE:
      Close();
      break;
    case WM_LOG_NOTIFY: {
      std::list<SLogLine> lines;
      SwapLogQueue(lines, true);
      if (!lines.empty()) AppendLogLines(lines);
      break;
    }
    case WM_ACTIVATE_INSTANCE:
      OnActivateInstance(message.wParam);
      break;
    default:
      break;
  }
  return 0;
}

int64_t CAppFrame::OnActivateInstance(uint64_t wParam) {
  if (wParam == 1) {
    Close();
  } else {
    Restore();
  }
  return 1;
}

int64_t CAppFrame::OnCopyData(uint32_t dwData, const std::vector<uint8_t>& payload) {
  if ((dwData != COPYDATA_LOAD_CONFIG_SHOW && dwData != COPYDATA_LOAD_CONFIG_SILENT) ||
      payload.size() >= kMaxCopyDataBytes)
    return 0;
  const std::wstring path = DecodeCopyDataPath(payload);
  if (dwData == COPYDATA_LOAD_CONFIG_SHOW) Restore();
  return ImportConfigurationFile(path, dwData == COPYDATA_LOAD_CONFIG_SILENT) ? 1 : 0;
}

int64_t CAppFrame::OnInstanceRequest(const SInstanceRequest& request) {
  if (request.message == WM_ACTIVATE_INSTANCE) return OnActivateInstance(request.wParam);
  if (request.message == WM_COPYDATA) return OnCopyData(request.dwData, request.payload);
  return 0;
}

CHeadlessFrame::CHeadlessFrame() { Bind(this); }

CHeadlessFrame::~CHeadlessFrame() { Unbind(); }

void CHeadlessFrame::Close() {
  if (IsClosed()) return;
  MarkClosed();
  if (QCoreApplication::instance()) QCoreApplication::quit();
}
