// What the main window does, apart from Qt: its timers, the close decision,
// the log-level combos, the status line, every menu and tray command, the
// messages workers and a second copy send it, and the monitoring of
// Redundancy pools. The Qt window (main_frame.h) is one view over it; in
// service mode there is no view and the frame still takes WM_CLOSE,
// WM_SERVER_STATE, check results and timer 1000.
//
// Start here:
//   OnCommand / OnMessage / OnTimer   the three ways in
//   RestartPoolMonitoring             the checker's entries from the pools
//   RequestExit                       closing while dialogs run
//
// Closing: a close asked for during a dialog or box (Exit, force exit, stop,
// quit) ends every open loop as Cancel/No; handlers then return at once and
// the frame goes when the outermost handler has returned. UI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Quorvane/app/app_frame.h"
#include "Quorvane/config/dns_pool.h"
#include "Quorvane/config/dns_server.h"
#include "Quorvane/config/rule.h"
#include "Quorvane/engine/server_check.h"
#include "Quorvane/platform/window_messages.h"

// Command ids of the menus, the toolbar and the tray.
enum EFrameCommand : unsigned {
  ID_FILE_NEW = 57600,
  ID_IMPORT_CONFIGURATION = 32774,
  ID_EXPORT_CONFIGURATION = 32785,
  ID_UPDATE_CHECK = 32824,
  ID_AUTOSTART = 32792,
  ID_APP_EXIT = 32786,
  ID_DNS_SERVERS = 32794,
  ID_RULES = 32795,
  ID_ADVANCED = 32847,
  ID_WIZARD = 32834,
  ID_KESTRUNE = 32844,
  ID_SCREEN_LOG_ERRORS = 32809,  // to 32812, Debug
  ID_SCREEN_LOG_DEBUG = 32812,
  ID_CLEAR_LOG = 32778,
  ID_SCREEN_LOG_COMBO = 32779,
  ID_FILE_LOG_COMBO = 32781,
  ID_FONT_SMALL = 32841,
  ID_FONT_LARGE = 32842,
  ID_FILE_LOG_DISABLED = 32813,  // to 32817, Debug
  ID_FILE_LOG_DEBUG = 32817,
  ID_SET_LOG_FOLDER = 32780,
  ID_OPEN_LOG_FOLDER = 32783,
  ID_TRAY_ICON = 32826,
  ID_HELP_DOCUMENTATION = 57670,
  ID_APP_ABOUT = 32800,
  ID_TRAY_OPEN = 32829,
};

constexpr unsigned WM_TRAY_NOTIFY = platform::WM_USER + 0x64;
constexpr unsigned WM_UPDATE_CHECK_RESULT = platform::WM_USER + 0x82;
static_assert(ID_APP_ABOUT == kAboutCommand);
constexpr int kTimerLogNotify = 1012;   // 200 ms
constexpr int kTimerStatus = 1014;      // 500 ms
constexpr int kTimerMonitoring = 1000;  // 500 ms

// The window; absent in service mode.
class CFrameView {
 public:
  virtual ~CFrameView() = default;
  virtual void SetStatusText(const std::wstring& richText) = 0;
  virtual void SelectLogLevelCombos(int screenIndex, int fileIndex) = 0;
  virtual void HideWindow() = 0;
  // Restores a minimized window, shows it and brings it to the front.
  virtual void RestoreWindow() = 0;
  // Stores the placement under "UI".
  virtual void StorePlacement() = 0;
  virtual void ClearLog() = 0;
  virtual void SetLogFont(bool small) = 0;
  // Ends every open dialog and box of the window as Cancel/No.
  virtual void EndModalLoops() = 0;
  // A dialog or box is open that the frame did not open itself.
  virtual bool IsModalOpen() const = 0;
};

class CFrameTray {
 public:
  virtual ~CFrameTray() = default;
  virtual void ShowBalloon(const std::wstring& title, const std::wstring& text) = 0;
};

class CFileDialogs {
 public:
  virtual ~CFileDialogs() = default;
  // "Configuration Files (*.xml)", suffix "xml"; nothing on Cancel.
  virtual std::optional<std::wstring> OpenConfiguration() = 0;
  virtual std::optional<std::wstring> SaveConfiguration() = 0;  // asks before overwriting
  virtual std::optional<std::wstring> ChooseFolder(const std::wstring& title, const std::wstring& start) = 0;
};

// The dialogs of other windows' issues; each answers OK (true) or Cancel.
class CFrameDialogs {
 public:
  virtual ~CFrameDialogs() = default;
  virtual bool RunServerList(std::vector<CDnsServer>& servers, std::vector<CDnsPool>& pools,
                             const std::vector<CRule>& rules) = 0;
  // The server list's window while it runs, for forwarded check results.
  virtual platform::HWND ServerListWindow() const = 0;
  virtual bool RunRules(std::vector<CRule>& rules, const std::vector<CDnsServer>& servers,
                        const std::vector<CDnsPool>& pools, bool& ignoreRuleIfInterfaceDown) = 0;
  virtual void RunAdvanced() = 0;
  virtual void RunWizard() = 0;
  virtual void RunAbout() = 0;
};

// Dialog seams that answer Cancel at once; the desktop's default until the
// dialogs exist.
class CCancelDialogs : public CFrameDialogs {
 public:
  bool RunServerList(std::vector<CDnsServer>&, std::vector<CDnsPool>&, const std::vector<CRule>&) override {
    return false;
  }
  platform::HWND ServerListWindow() const override { return 0; }
  bool RunRules(std::vector<CRule>&, const std::vector<CDnsServer>&, const std::vector<CDnsPool>&,
                bool&) override {
    return false;
  }
  void RunAdvanced() override {}
  void RunWizard() override {}
  void RunAbout() override {}
};

// What a close (WM_CLOSE) does.
struct SCloseDecision {
  bool hide = false;            // to the tray
  bool showBalloon = false;     // the first time only
  bool storePlacement = false;  // not in service mode
  bool destroy = false;         // the program ends
};
SCloseDecision DecideClose(bool trayIconOn, bool balloonShown, bool service);

// "Resolves processed: N         <a href="about:">Tarnwick 1.38</a>"
std::wstring StatusText(uint64_t resolvesProcessed);
// Combo index of a level, and the level of an index.
int ScreenComboIndex(int level);
int FileComboIndex(int level);
int ScreenLevelOfIndex(int index);
int FileLevelOfIndex(int index);

// New and the wizard's empty start: tells the engine the lists go, installs
// the default configuration under g_ConfigurationMutex (the running path
// stays), logs and saves it. The caller restarts pool monitoring.
void InstallDefaultConfiguration();

class CMainFrameController {
 public:
  struct SSeams {
    CFrameView* view = nullptr;  // null in service mode
    CFrameTray* tray = nullptr;
    CFileDialogs* files = nullptr;
    CFrameDialogs* dialogs = nullptr;
    CServerCheckEngine* checkEngine = nullptr;  // null: g_DnsEngine
    // Whether the DNSCrypt bridge has seen its first result; null: never.
    std::function<bool()> resultSeen;
    // The frame goes: the program ends.
    std::function<void()> destroy;
    // The frame's window handle, the owner of the checker's results.
    platform::HWND handle = 0;
    bool service = false;
    // The update notice's question with its check box (a CMessageBoxExDlg);
    // null: the plain box road, which answers No in service mode.
    std::function<bool(const std::wstring& text, const std::wstring& checkBox, bool& ticked)> askWithCheckBox;
    // Opens an address on the desktop; null: the shell's.
    std::function<void(const std::string& url)> openUrl;
  };

  explicit CMainFrameController(SSeams seams);
  ~CMainFrameController();

  void OnCommand(unsigned id);
  // The frame's messages; the result SendWindowMessage returns.
  intptr_t OnMessage(const platform::SWindowMessage& message);
  void OnTimer(int id);
  int64_t OnCopyData(uint32_t dwData, const std::vector<uint8_t>& payload);
  int64_t OnActivateInstance(uint64_t wParam);
  void OnClose();  // WM_CLOSE
  // Exit, force exit, stop: close directly, now or after the open loops.
  void RequestExit();
  // A combo's selection.
  void OnScreenLogCombo(int index);
  void OnFileLogCombo(int index);
  void SyncLogLevelCombos();
  void UpdateStatusText(uint64_t count = 0);

  void RestartPoolMonitoring(const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools);
  bool OnServerCheckResult(SServerCheckResult* result);
  // WM_UPDATE_CHECK_RESULT: the update notice for the last check's result.
  void OnUpdateCheckResult();
  int64_t OnServerState(uint32_t serverId, intptr_t lParam);

  // True while the menu item's check mark is on (0 for items without one).
  bool IsChecked(unsigned id) const;

  // Runs a box of the frame as a modal loop; No once a close is pending.
  int Ask(const std::wstring& text, const std::wstring& caption, unsigned type);

  bool IsModalOpen() const;
  bool IsClosePending() const { return m_bClosePending; }
  bool IsDestroyed() const { return m_bDestroyed; }
  bool PoolMonitoringStarted() const { return m_bPoolMonitoringStarted; }
  bool SmallFont() const { return m_bSmallFont; }
  CDnsServerChecker& Checker() { return m_checker; }

  static constexpr const wchar_t* kWebSite = L"https://brevant.example";

 private:
  friend class CModalScope;
  friend class CHandlerScope;

  void OnNewConfiguration();
  // The open or save dialog as a modal loop; nothing on Cancel or a close.
  std::optional<std::wstring> ChooseFile(bool save);
  void OnImportConfiguration();
  void OnExportConfiguration();
  void OnDnsServers();
  void OnRules();
  void OnSetLogFolder();
  void OnToggleAutostart();
  void OnRunKestrune();
  void Destroy();

  SSeams m_seams;
  CCancelDialogs m_cancelDialogs;
  CDnsServerChecker m_checker;
  bool m_bModalOpen = false;  // the DNS Servers or Rules dialog runs
  bool m_bSmallFont = false;
  bool m_bPoolMonitoringStarted = false;
  bool m_bClosePending = false;
  bool m_bDestroyed = false;
  int m_modalDepth = 0;    // dialogs and boxes the frame runs
  int m_handlerDepth = 0;  // nested handlers (a dialog's loop runs more)
};
