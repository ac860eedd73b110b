// The interim main window until the full one lands: a QMainWindow
// "Tarnwick" whose read-only view shows the log's screen lines (errors in
// red), with a tray icon that shows the window on a click. It is the
// program's g_hMainWnd and g_hLogWnd: it closes on WM_CLOSE and answers a
// second copy's requests through CAppFrame. UI thread.
#pragma once

#include <QMainWindow>
#include <memory>

#include "Quorvane/app/app_frame.h"

class QPlainTextEdit;
class QSystemTrayIcon;
class QTimer;

class CMainFrame : public QMainWindow, public CAppFrame {
 public:
  CMainFrame();
  ~CMainFrame() override;

  void ShowFrame(bool show) override;
  void Restore() override;
  void Close() override;
  bool AddTrayIcon() override;
  void RemoveTrayIcon() override;
  void AppendLogLines(const std::list<SLogLine>& lines) override;

  QPlainTextEdit* LogView() const { return m_view; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QPlainTextEdit* m_view = nullptr;
  std::unique_ptr<QSystemTrayIcon> m_tray;
  QTimer* m_logTimer = nullptr;
};

// Icon 128: tarnwick.png in the program's folder (an empty icon without it).
QIcon ApplicationIcon();
