// What the application object needs of its main frame, so that the start-up
// and stop roads build and run without Qt Widgets: the interim window of
// the user interface implements it, and CHeadlessFrame is the frame of
// service mode and of tests. A frame is a window of the message registry
// (platform/window_messages.h); its messages are delivered on the Qt
// thread of the object it binds to, and it closes on WM_CLOSE, pulls log
// lines on WM_LOG_NOTIFY and answers a second copy's requests. UI thread.
#pragma once

#include <QObject>
#include <list>
#include <vector>

#include "Quorvane/app/instance_channel.h"
#include "Quorvane/config/dns_pool.h"
#include "Quorvane/config/dns_server.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/platform/window_messages.h"

// A menu command posted to a frame (wParam: the command id), and the About
// command the start-up posts.
constexpr unsigned WM_COMMAND = 0x0111;
constexpr unsigned kAboutCommand = 32800;

class CAppFrame {
 public:
  virtual ~CAppFrame();

  platform::HWND Handle() const { return m_handle; }
  // Closed already, perhaps before the UI loop ran (a STOP or SIGTERM
  // during the start-up's boxes): the loop must then not start.
  bool IsClosed() const { return m_closed; }

  virtual void ShowFrame(bool show) = 0;
  // Restores a minimized frame, shows it and brings it to the front.
  virtual void Restore() = 0;
  // Ends the frame; the UI loop quits once it is gone.
  virtual void Close() = 0;
  // False when the desktop has no tray to put an icon in.
  virtual bool AddTrayIcon() = 0;
  virtual void RemoveTrayIcon() = 0;
  // The screen lines pulled on WM_LOG_NOTIFY, in order.
  virtual void AppendLogLines(const std::list<SLogLine>& lines) = 0;
  // Seam for the pool monitoring of the full main window.
  virtual void RestartPoolMonitoring(const std::vector<CDnsServer>&, const std::vector<CDnsPool>&) {}

  // WM_ACTIVATE_INSTANCE: 1 closes the frame as Exit does, anything else
  // shows it. Returns 1.
  virtual int64_t OnActivateInstance(uint64_t wParam);
  // WM_COPYDATA: only 1911 and 1912 below 520 bytes; the import's result.
  virtual int64_t OnCopyData(uint32_t dwData, const std::vector<uint8_t>& payload);
  int64_t OnInstanceRequest(const SInstanceRequest& request);

  static constexpr size_t kMaxCopyDataBytes = 520;

 protected:
  // Registers the window; its messages run on context's thread. Call once,
  // from the derived constructor.
  void Bind(QObject* context);
  // Unregisters; after it no message reaches the frame. Derived destructors
  // call it first.
  void Unbind();
  // Posted and sent messages; the result is what a send returns.
  virtual intptr_t OnMessage(const platform::SWindowMessage& message);
  void MarkClosed() { m_closed = true; }

 private:
  platform::HWND m_handle = 0;
  bool m_closed = false;
};

// The frame without a window: service mode and tests. Close quits the
// application's loop; shows, restores and tray icons do nothing (no tray
// exists); log lines are counted, not drawn.
class CHeadlessFrame : public QObject, public CAppFrame {
 public:
  CHeadlessFrame();
  ~CHeadlessFrame() override;

  void ShowFrame(bool) override {}
  void Restore() override {}
  void Close() override;
  bool AddTrayIcon() override { return false; }
  void RemoveTrayIcon() override {}
  void AppendLogLines(const std::list<SLogLine>& lines) override { m_lines += lines.size(); }

 private:
  size_t m_lines = 0;
};
