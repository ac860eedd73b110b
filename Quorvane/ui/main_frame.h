// The main window: a thin Qt view over CMainFrameController. A flat toolbar
// (DNS Servers, Rules, Clear Display and the two log-level combos), the
// read-only log view fed by LogViewModel, a status line with the About
// link, the menus, and the tray icon. It is the program's g_hMainWnd and
// g_hLogWnd; its messages run on the Qt thread. Placement is kept under
// "UI" and restored on the nearest screen's available area. UI thread.
#pragma once

#include <QMainWindow>
#include <QPlainTextEdit>
#include <QTimer>
#include <map>
#include <memory>

#include "Quorvane/app/app_frame.h"
#include "Quorvane/ui/log_view_model.h"
#include "Quorvane/ui/main_frame_controller.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QSystemTrayIcon;

// The log view: read-only, no caret, no context menu.
class CLogCtrl : public QPlainTextEdit, public CLogSurface {
 public:
  explicit CLogCtrl(QWidget* parent);

  SScroll GetScroll() const override;
  void GetSelection(int& start, int& end) const override;
  void SetSelection(int start, int end) override;
  int LineCount() const override;
  int FirstVisibleLine() const override;
  int LineStart(int line) const override;
  void DeleteText(int start, int end) override;
  void ScrollLines(int lines) override;
  void SetRedraw(bool on) override { setUpdatesEnabled(on); }
  void AppendRun(const std::wstring& text, bool error) override;
  void ScrollToBottom() override;
  void RedrawScrollStrip() override { viewport()->update(); }
};

class CMainFrame : public QMainWindow, public CAppFrame, public CFrameView, public CFrameTray, public CFileDialogs {
 public:
  // dialogs: the seams of the dialogs still to come; null answers Cancel.
  explicit CMainFrame(CFrameDialogs* dialogs = nullptr, std::function<bool()> resultSeen = nullptr,
                      CServerCheckEngine* checkEngine = nullptr);
  ~CMainFrame() override;

  // CAppFrame
  void ShowFrame(bool show) override;
  void Restore() override { RestoreWindow(); }
  void Close() override { m_controller->RequestExit(); }
  bool AddTrayIcon() override;
  void RemoveTrayIcon() override;
  void AppendLogLines(const std::list<SLogLine>& lines) override;
  void RestartPoolMonitoring(const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools) override {
    m_controller->RestartPoolMonitoring(servers, pools);
  }
  int64_t OnActivateInstance(uint64_t wParam) override { return m_controller->OnActivateInstance(wParam); }
  int64_t OnCopyData(uint32_t dwData, const std::vector<uint8_t>& payload) override {
    return m_controller->OnCopyData(dwData, payload);
  }

  // CFrameView
  void SetStatusText(const std::wstring& richText) override;
  void SelectLogLevelCombos(int screenIndex, int fileIndex) override;
  void HideWindow() override { hide(); }
  void RestoreWindow() override;
  void StorePlacement() override;
  void ClearLog() override { m_view->clear(); }
  void SetLogFont(bool small) override;
  void EndModalLoops() override;
  bool IsModalOpen() const override;

  // CFrameTray
  void ShowBalloon(const std::wstring& title, const std::wstring& text) override;

  // CFileDialogs
  std::optional<std::wstring> OpenConfiguration() override;
  std::optional<std::wstring> SaveConfiguration() override;
  std::optional<std::wstring> ChooseFolder(const std::wstring& title, const std::wstring& start) override;

  CLogCtrl* LogView() const { return m_view; }
  QLabel* StatusLink() const { return m_statusLink; }
  QAction* Action(unsigned id) const;
  CMainFrameController& Controller() { return *m_controller; }
  QComboBox* ScreenCombo() const { return m_screenCombo; }
  QComboBox* FileCombo() const { return m_fileCombo; }

 protected:
  intptr_t OnMessage(const platform::SWindowMessage& message) override;
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateMenus();
  void CreateToolBar();
  void RestorePlacement();
  void RefreshChecks();
  QAction* AddAction(QMenu* menu, unsigned id, const char* text, const char* prompt, const QKeySequence& keys = {});

  CLogCtrl* m_view = nullptr;
  QLabel* m_statusLink = nullptr;
  QComboBox* m_screenCombo = nullptr;
  QComboBox* m_fileCombo = nullptr;
  std::unique_ptr<QSystemTrayIcon> m_tray;
  std::unique_ptr<QMenu> m_trayMenu;
  std::map<unsigned, QAction*> m_actions;
  QFont m_fontNormal, m_fontSmall;
  LogViewModel m_log;
  bool m_bRedrawPending = false;
  bool m_bDestroying = false;
  QTimer m_timerLog, m_timerStatus, m_timerMonitoring;
  std::unique_ptr<CMainFrameController> m_controller;
};

// The open dialog of "Configuration Files (*.xml)"; nothing on Cancel.
std::optional<std::wstring> OpenConfigurationDialog(QWidget* parent);

// Icon 128: tarnwick.png in the program's folder (an empty icon without it).
QIcon ApplicationIcon();
// A PNG of the program's folder by its number ("147.png"); empty without it.
QIcon ResourcePng(int id);
