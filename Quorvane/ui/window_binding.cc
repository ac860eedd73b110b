#include "Quorvane/ui/window_binding.h"

#include <atomic>
#include <memory>

namespace {

// One posted message on its way to the Qt thread. When it cannot run (the
// window went first, or its event was destroyed with the object) its
// payload is handed to the drop function, so nothing leaks.
struct SPending {
  platform::SWindowMessage message;
  std::shared_ptr<CWindowBinding::Handler> handler;
  CWindowBinding::Dropped dropped;
  platform::HWND id = 0;
  bool ran = false;

  ~SPending() {
    if (!ran && dropped) dropped(message);
  }
};

}  // namespace

void CWindowBinding::Bind(QObject* context, Handler handler, Dropped dropped) {
  Unbind();
  auto shared = std::make_shared<Handler>(std::move(handler));
  auto self = std::make_shared<std::atomic<platform::HWND>>(0);
  m_handle = platform::RegisterWindow(
      [context, shared, self, dropped](const platform::SWindowMessage& message) {
        // Filled in place: a moved-from temporary would drop the payload.
        auto pending = std::make_shared<SPending>();
        pending->message = message;
        pending->handler = shared;
        pending->dropped = dropped;
        pending->id = self->load();
        QMetaObject::invokeMethod(
            context,
            [pending] {
              if (!platform::IsWindow(pending->id)) return;
              pending->ran = true;
              (*pending->handler)(pending->message);
            },
            Qt::QueuedConnection);
      },
      [shared](const platform::SWindowMessage& message) { return (*shared)(message); },
      [context](std::function<void()> call) {
        return QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
      });
  self->store(m_handle);
}

void CWindowBinding::Unbind() {
  if (!m_handle) return;
  platform::UnregisterWindow(m_handle);
  m_handle = 0;
}
