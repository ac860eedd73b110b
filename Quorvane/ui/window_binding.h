// A dialog's place in the window-message registry, so that threads and
// checkers can post to it by id: messages posted from any thread run on the
// bound object's Qt thread, sent ones too (SendWindowMessage waits there).
// After Unbind (or destruction) nothing reaches the handler any more. UI
// thread; a posted message that can no longer run goes to the drop function.
#pragma once

#include <QObject>
#include <functional>

#include "Quorvane/platform/window_messages.h"

class CWindowBinding {
 public:
  using Handler = std::function<intptr_t(const platform::SWindowMessage&)>;
  // Frees the payload of a posted message that never ran.
  using Dropped = std::function<void(const platform::SWindowMessage&)>;

  CWindowBinding() = default;
  ~CWindowBinding() { Unbind(); }
  CWindowBinding(const CWindowBinding&) = delete;
  CWindowBinding& operator=(const CWindowBinding&) = delete;

  // Registers a window whose messages run handler on context's thread.
  void Bind(QObject* context, Handler handler, Dropped dropped = nullptr);
  void Unbind();
  platform::HWND Handle() const { return m_handle; }

 private:
  platform::HWND m_handle = 0;
};
