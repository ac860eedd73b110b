// A dialog's entry in the window-message registry, so that its checker's
// results reach it as WM_DNSCHECK_RESULT. A post queues the message onto the
// dialog's thread; a sent message (the main window forwarding its own
// results) runs the handler directly. A check result the dialog never
// handles (it went first, or its loop dropped the call) is freed here, so
// every result is freed exactly once. UI thread.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "Quorvane/platform/window_messages.h"

class CDialogWindow {
 public:
  using Handler = std::function<intptr_t(const platform::SWindowMessage&)>;
  // context: the dialog; handler runs on its thread while this object lives.
  CDialogWindow(QObject* context, Handler handler);
  ~CDialogWindow();
  CDialogWindow(const CDialogWindow&) = delete;
  CDialogWindow& operator=(const CDialogWindow&) = delete;

  platform::HWND Handle() const { return m_handle; }

 private:
  struct SState;
  std::shared_ptr<SState> m_state;
  platform::HWND m_handle = 0;
};
