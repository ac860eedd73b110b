#include "Quorvane/ui/dialog_window.h"

#include <QMetaObject>
#include <atomic>

#include "Quorvane/engine/server_check.h"

struct CDialogWindow::SState {
  Handler handler;
  std::atomic<bool> alive{true};
};

namespace {

// One posted message on its way; a check result that no handler took is
// freed when the last copy of the queued call goes.
struct SPending {
  platform::SWindowMessage message;
  bool handled = false;
  ~SPending() {
    if (!handled && message.message == WM_DNSCHECK_RESULT && message.lParam == 0)
      delete reinterpret_cast<SServerCheckResult*>(message.wParam);
  }
};

}  // namespace

CDialogWindow::CDialogWindow(QObject* context, Handler handler) : m_state(std::make_shared<SState>()) {
  m_state->handler = std::move(handler);
  std::shared_ptr<SState> state = m_state;
  m_handle = platform::RegisterWindow(
      [state, context](const platform::SWindowMessage& message) {
        auto pending = std::make_shared<SPending>();
        pending->message = message;
        QMetaObject::invokeMethod(
            context,
            [state, pending] {
              if (!state->alive) return;
              pending->handled = true;
              state->handler(pending->message);
            },
            Qt::QueuedConnection);
      },
      [state](const platform::SWindowMessage& message) -> intptr_t {
        return state->alive ? state->handler(message) : 0;
      },
      [context](std::function<void()> call) {
        return QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
      });
}

CDialogWindow::~CDialogWindow() {
  platform::UnregisterWindow(m_handle);
  m_state->alive = false;
}
