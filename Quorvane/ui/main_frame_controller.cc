#include "Quorvane/ui/main_frame_controller.h"

#include <algorithm>

#include "Quorvane/app/instance_channel.h"
#include "Quorvane/app/message_box.h"
#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/app/service_mode.h"
#include "Quorvane/app/update_checker.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/engine/server_state.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/log_settings.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/paths.h"
#include "Quorvane/platform/shell.h"

namespace {

constexpr wchar_t kSettings[] = L"Settings";
constexpr int64_t kEarlyRecheckSeconds = 3;

}  // namespace

// Counts a nested handler; the outermost one's end carries out a close that
// came while it ran.
class CHandlerScope {
 public:
  explicit CHandlerScope(CMainFrameController& frame) : m_frame(frame) { ++m_frame.m_handlerDepth; }
  ~CHandlerScope() {
    if (--m_frame.m_handlerDepth == 0 && m_frame.m_bClosePending) m_frame.Destroy();
  }

 private:
  CMainFrameController& m_frame;
};

// One dialog or box the frame runs.
class CModalScope {
 public:
  explicit CModalScope(CMainFrameController& frame) : m_frame(frame) { ++m_frame.m_modalDepth; }
  ~CModalScope() { --m_frame.m_modalDepth; }

 private:
  CMainFrameController& m_frame;
};

SCloseDecision DecideClose(bool trayIconOn, bool balloonShown, bool service) {
  SCloseDecision decision;
  if (trayIconOn) {
    decision.hide = true;
    decision.showBalloon = !balloonShown;
  } else {
    decision.storePlacement = !service;
    decision.destroy = true;
  }
  return decision;
}

std::wstring StatusText(uint64_t resolvesProcessed) {
  return L"Resolves processed: " + std::to_wstring(resolvesProcessed) + L"         <a href=\"about:\">Tarnwick " +
         CQuorvaneApp::GetVersionText() + L"</a>";
}

int ScreenComboIndex(int level) { return std::clamp(level, 1, 4) - 1; }
int FileComboIndex(int level) { return std::clamp(level, 0, 4); }
int ScreenLevelOfIndex(int index) { return std::clamp(index, 0, 3) + 1; }
int FileLevelOfIndex(int index) { return std::clamp(index, 0, 4); }

CMainFrameController::CMainFrameController(SSeams seams)
    : m_seams(std::move(seams)), m_checker(m_seams.checkEngine) {
  if (!m_seams.dialogs) m_seams.dialogs = &m_cancelDialogs;
  m_bSmallFont = platform::GetProfileInt(kSettings, L"LogScreenFontSmall", 0) != 0;
  if (m_seams.view) m_seams.view->SetLogFont(m_bSmallFont);
  UpdateStatusText();
  SyncLogLevelCombos();
  // The check thread waits in this send until the notice is done; once the
  // frame has gone the send fails and the thread ends.
  SetUpdateResultSend([handle = m_seams.handle] {
    return handle != 0 && platform::SendWindowMessage(handle, WM_UPDATE_CHECK_RESULT, 0, 0);
  });
}

CMainFrameController::~CMainFrameController() {
  SetUpdateResultSend(nullptr);
  m_checker.Stop();
}

namespace {

// The notice's boxes, shell and quit through the frame's seams.
class CFrameUpdateNotice : public CUpdateNoticeSink {
 public:
  CFrameUpdateNotice(CMainFrameController& frame, const CMainFrameController::SSeams& seams)
      : m_frame(frame), m_seams(seams) {}

  void ShowUnsupported(const std::wstring& text) override {
    m_frame.Ask(text, L"Tarnwick", MB_ICONEXCLAMATION);
  }
  bool AskOpenDownload(const std::wstring& text, const std::wstring& checkBox, bool& ticked) override {
    if (m_seams.service || !m_seams.askWithCheckBox)
      return m_frame.Ask(text, L"Tarnwick", MB_YESNO | MB_ICONINFORMATION) == IDYES;
    return m_seams.askWithCheckBox(text, checkBox, ticked) && !m_frame.IsClosePending();
  }
  void OpenUrl(const std::string& url) override {
    if (m_seams.service) return;  // nobody sits at the service's desktop
    if (m_seams.openUrl) {
      m_seams.openUrl(url);
    } else {
      platform::OpenUrl(url);
    }
  }
  void DisableUpdateCheck() override { theApp.StartUpdateCheck(false); }
  void Quit() override { m_frame.RequestExit(); }

 private:
  CMainFrameController& m_frame;
  const CMainFrameController::SSeams& m_seams;
};

}  // namespace

void CMainFrameController::OnUpdateCheckResult() {
  CFrameUpdateNotice notice(*this, m_seams);
  CModalScope modal(*this);
  ShowUpdateNotice(GetUpdateState(), notice);
}

bool CMainFrameController::IsModalOpen() const {
  return m_modalDepth > 0 || (m_seams.view && m_seams.view->IsModalOpen());
}

int CMainFrameController::Ask(const std::wstring& text, const std::wstring& caption, unsigned type) {
  if (m_bClosePending) return IDNO;
  CModalScope modal(*this);
  const int answer = ShowMessageBox(text, caption, type);
  return m_bClosePending ? IDNO : answer;
}

void CMainFrameController::Destroy() {
  if (m_bDestroyed) return;
  m_bDestroyed = true;
  m_bClosePending = false;
  m_checker.Stop();
  if (m_seams.destroy) m_seams.destroy();
}

void CMainFrameController::RequestExit() {
  if (m_bDestroyed) return;
  if (m_handlerDepth > 0 || IsModalOpen()) {
    m_bClosePending = true;
    if (m_seams.view) m_seams.view->EndModalLoops();
    // A loop the frame did not open (a start-up box) has no handler of ours
    // to return through.
    if (m_handlerDepth == 0) Destroy();
    return;
  }
  Destroy();
}

void CMainFrameController::OnClose() {
  const bool trayOn = theApp.TrayIcon().uID != 0 && m_seams.view;
  const SCloseDecision decision =
      DecideClose(trayOn, platform::GetProfileInt(kSettings, L"SysTryIconMessageShown", 0) != 0, m_seams.service);
  if (decision.hide) m_seams.view->HideWindow();
  if (decision.showBalloon) {
    if (m_seams.tray)
      m_seams.tray->ShowBalloon(L"Tarnwick",
                                L"Tarnwick is minimized and still running.\nClick on this icon to restore Tarnwick window.");
    platform::WriteProfileInt(kSettings, L"SysTryIconMessageShown", 1);
  }
  if (decision.storePlacement && m_seams.view) m_seams.view->StorePlacement();
  if (decision.destroy) RequestExit();
}

void CMainFrameController::UpdateStatusText(uint64_t count) {
  if (!m_seams.view) return;
  if (count == 0) count = g_DnsEngine.ResolvesProcessed();
  m_seams.view->SetStatusText(StatusText(count));
}

void CMainFrameController::SyncLogLevelCombos() {
  if (m_seams.view) m_seams.view->SelectLogLevelCombos(ScreenComboIndex(g_LogLevelScreen), FileComboIndex(g_LogLevelFile));
}

void CMainFrameController::OnScreenLogCombo(int index) {
  g_LogLevelScreen = ScreenLevelOfIndex(index);
  platform::WriteProfileInt(kSettings, L"LogLevelScreen", g_LogLevelScreen);
}

void CMainFrameController::OnFileLogCombo(int index) {
  const int before = g_LogLevelFile;
  g_LogLevelFile = FileLevelOfIndex(index);
  platform::WriteProfileInt(kSettings, L"LogLevelFile", g_LogLevelFile);
  if (before == 0 && g_LogLevelFile != 0) LoadLogSettings();
}

void CMainFrameController::OnTimer(int id) {
  switch (id) {
    case kTimerLogNotify:
      g_nLastLogNotifyTick = platform::GetTickCount64();
      platform::PostWindowMessage(g_hLogWnd.load(), WM_LOG_NOTIFY, 0, 0);
      break;
    case kTimerStatus:
      if (g_DnsEngine.ResolvesProcessed() != 0) UpdateStatusText();
      break;
    case kTimerMonitoring:
      if (m_bPoolMonitoringStarted) {
        m_checker.CheckTimeouts();
        // Only the tests in flight use up slots; counting the idle entries
        // instead stops every recheck once they outnumber testsPerTime.
        int running = 0;
        for (SServerCheck& check : m_checker.m_checks) {
          if (check.running) {
            ++running;
          } else {
            check.warmedUp = false;
          }
        }
        for (int i = g_Configuration.checkerSettings.testsPerTime - running; i > 0; --i) m_checker.SendNext();
      } else if (m_seams.resultSeen && m_seams.resultSeen()) {
        std::vector<CDnsServer> servers;
        std::vector<CDnsPool> pools;
        CProfile::GetServersAndPools(servers, pools);
        RestartPoolMonitoring(servers, pools);
      }
      break;
    default:
      break;
  }
}

void CMainFrameController::RestartPoolMonitoring(const std::vector<CDnsServer>& servers,
                                                 const std::vector<CDnsPool>& pools) {
  m_bPoolMonitoringStarted = true;
  m_checker.Stop();
  const CDnsServer none;
  for (const CDnsPool& pool : pools) {
    if (pool.type != EPoolType::Redundancy) continue;
    const std::vector<CDnsServer> relays = pool.GetMemberServers(servers, EDnsProtocol::Relay);
    if (relays.empty()) {
      for (const CDnsServer& server : pool.GetMemberServers(servers, EDnsProtocol::Unspec))
        m_checker.Add(server, none, pool.testHost, pool.recheckDelaySec);
      continue;
    }
    const std::vector<CDnsServer> dnsCrypt = pool.GetMemberServers(servers, EDnsProtocol::DnsCrypt);
    if (dnsCrypt.empty()) continue;
    for (const CDnsServer& relay : relays) m_checker.Add(relay, dnsCrypt.front(), pool.testHost, pool.recheckDelaySec);
  }
  m_checker.Start(m_seams.handle, g_Configuration.checkerSettings.testTarget);
}

bool CMainFrameController::OnServerCheckResult(SServerCheckResult* result) {
  if (!result) return false;
  m_checker.OnResult(result);
  std::vector<CDnsServer> servers;
  CProfile::GetServers(servers);
  auto it = std::find_if(servers.begin(), servers.end(), [&](const CDnsServer& s) { return s.id == result->serverId; });
  const bool found = it != servers.end();
  if (found) {
    it->status = result->ok ? EServerStatus::Ok : EServerStatus::Failed;
    it->rttMs = result->rttMs;
    CProfile::SetServers(servers);
    if (const platform::HWND list = m_seams.dialogs->ServerListWindow())
      platform::SendWindowMessage(list, WM_DNSCHECK_RESULT, reinterpret_cast<uintptr_t>(result), 1);
  }
  delete result;
  return found;
}

int64_t CMainFrameController::OnServerState(uint32_t serverId, intptr_t lParam) {
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  CProfile::GetServersAndPools(servers, pools);
  auto it = std::find_if(servers.begin(), servers.end(), [&](const CDnsServer& s) { return s.id == serverId; });
  if (it == servers.end()) return 0;
  const bool ok = (lParam & 0xFF) != 0;
  const bool poolServer = ((lParam >> 16) & 0xFF) == 1;
  if (ok) {
    if (it->status != EServerStatus::Failed) return 0;
    if (poolServer) {
      CLogMessage().Append(LogNormal, L"Server recovery: ").Append(LogNormal, it->name).Append(LogNormal,
                                                                                            L". Rechecking now.");
    } else {
      CLogMessage().Append(LogVerbose, L"Server recovery: ").Append(LogVerbose, it->name);
    }
    it->status = EServerStatus::Unknown;
    CProfile::SetServers(servers);
    if (poolServer) RestartPoolMonitoring(servers, pools);
    return 0;
  }
  if (it->status != EServerStatus::Ok && it->status != EServerStatus::Unknown) return 0;
  if (poolServer) {
    CLogMessage().SetError().Append(LogError, L"Server fail: ").Append(LogError, it->name).Append(LogError,
                                                                                               L". Recheck scheduled.");
  } else {
    CLogMessage().Append(LogVerbose, L"Server fail: ").Append(LogVerbose, it->name);
  }
  it->status = EServerStatus::Failed;
  CProfile::SetServers(servers);
  if (poolServer) {
    const int64_t when = platform::WallTime() + kEarlyRecheckSeconds;
    for (SServerCheck& check : m_checker.m_checks)
      if ((check.server.id == serverId || check.dnsCryptServer.id == serverId) && check.nextCheckTime == 0)
        check.nextCheckTime = when;
  }
  return 0;
}

intptr_t CMainFrameController::OnMessage(const platform::SWindowMessage& message) {
  if (m_bDestroyed) return 0;
  CHandlerScope handler(*this);
  switch (message.message) {
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_ACTIVATE_INSTANCE:
      return OnActivateInstance(message.wParam);
    case WM_SERVER_STATE:
      return OnServerState(static_cast<uint32_t>(message.wParam), message.lParam);
    case WM_DNSCHECK_RESULT:
      return OnServerCheckResult(reinterpret_cast<SServerCheckResult*>(message.wParam)) ? 1 : 0;
    case WM_TRAY_NOTIFY:
      if (message.wParam == kTrayIconId) OnCommand(ID_TRAY_OPEN);
      return 0;
    case WM_UPDATE_CHECK_RESULT:
      OnUpdateCheckResult();
      return 0;
    case WM_COMMAND:
      OnCommand(static_cast<unsigned>(message.wParam));
      return 0;
    default:
      return 0;
  }
}

int64_t CMainFrameController::OnActivateInstance(uint64_t wParam) {
  if (wParam == 1) {
    RequestExit();
  } else if (m_seams.view) {
    m_seams.view->RestoreWindow();
  }
  return 1;
}

int64_t CMainFrameController::OnCopyData(uint32_t dwData, const std::vector<uint8_t>& payload) {
  if ((dwData != COPYDATA_LOAD_CONFIG_SHOW && dwData != COPYDATA_LOAD_CONFIG_SILENT) ||
      payload.size() >= CAppFrame::kMaxCopyDataBytes || m_bDestroyed)
    return 0;
  const std::wstring path = DecodeCopyDataPath(payload);
  // An open dialog holds copies of the lists; its OK would write them back
  // over what the import brought.
  if (IsModalOpen() || m_bModalOpen) {
    CLogMessage().SetError().Append(LogError, L"Configuration import refused while a dialog is open: ")
        .Append(LogError, path);
    return 0;
  }
  CHandlerScope handler(*this);
  if (dwData == COPYDATA_LOAD_CONFIG_SHOW && m_seams.view) m_seams.view->RestoreWindow();
  CModalScope modal(*this);
  return ImportConfigurationFile(path, dwData == COPYDATA_LOAD_CONFIG_SILENT) ? 1 : 0;
}

bool CMainFrameController::IsChecked(unsigned id) const {
  if (id >= ID_SCREEN_LOG_ERRORS && id <= ID_SCREEN_LOG_DEBUG) return g_LogLevelScreen == int(id - 32808);
  if (id >= ID_FILE_LOG_DISABLED && id <= ID_FILE_LOG_DEBUG) return g_LogLevelFile == int(id - ID_FILE_LOG_DISABLED);
  switch (id) {
    case ID_FONT_SMALL: return m_bSmallFont;
    case ID_FONT_LARGE: return !m_bSmallFont;
    case ID_TRAY_ICON: return theApp.TrayIcon().uID != 0;
    case ID_AUTOSTART: return theApp.UpdateAutoRun(false);
    case ID_UPDATE_CHECK: return theApp.UpdateCheckEnabled();
    default: return false;
  }
}

void CMainFrameController::OnCommand(unsigned id) {
  if (m_bDestroyed) return;
  CHandlerScope handler(*this);
  if (id >= ID_SCREEN_LOG_ERRORS && id <= ID_SCREEN_LOG_DEBUG) {
    g_LogLevelScreen = int(id - 32808);
    platform::WriteProfileInt(kSettings, L"LogLevelScreen", g_LogLevelScreen);
    SyncLogLevelCombos();
    return;
  }
  if (id >= ID_FILE_LOG_DISABLED && id <= ID_FILE_LOG_DEBUG) {
    g_LogLevelFile = int(id - ID_FILE_LOG_DISABLED);
    platform::WriteProfileInt(kSettings, L"LogLevelFile", g_LogLevelFile);
    SyncLogLevelCombos();
    LoadLogSettings();
    return;
  }
  switch (id) {
    case ID_FILE_NEW: OnNewConfiguration(); break;
    case ID_IMPORT_CONFIGURATION: OnImportConfiguration(); break;
    case ID_EXPORT_CONFIGURATION: OnExportConfiguration(); break;
    case ID_UPDATE_CHECK: theApp.StartUpdateCheck(!theApp.UpdateCheckEnabled()); break;
    case ID_AUTOSTART: OnToggleAutostart(); break;
    case ID_APP_EXIT: RequestExit(); break;
    case ID_DNS_SERVERS: OnDnsServers(); break;
    case ID_RULES: OnRules(); break;
    case ID_ADVANCED: {
      CModalScope modal(*this);
      m_seams.dialogs->RunAdvanced();
      break;
    }
    case ID_WIZARD: {
      CModalScope modal(*this);
      m_seams.dialogs->RunWizard();
      break;
    }
    case ID_APP_ABOUT: {
      CModalScope modal(*this);
      m_seams.dialogs->RunAbout();
      break;
    }
    case ID_KESTRUNE: OnRunKestrune(); break;
    case ID_CLEAR_LOG:
      if (m_seams.view) m_seams.view->ClearLog();
      break;
    case ID_FONT_SMALL:
    case ID_FONT_LARGE:
      m_bSmallFont = id == ID_FONT_SMALL;
      platform::WriteProfileInt(kSettings, L"LogScreenFontSmall", m_bSmallFont ? 1 : 0);
      if (m_seams.view) m_seams.view->SetLogFont(m_bSmallFont);
      break;
    case ID_SET_LOG_FOLDER: OnSetLogFolder(); break;
    case ID_OPEN_LOG_FOLDER: platform::OpenFolder(std::filesystem::path(ToNarrow(GetLogFolder(), false))); break;
    case ID_TRAY_ICON: {
      const bool on = theApp.TrayIcon().uID == 0;
      theApp.ShowTrayIcon(on);
      if (!m_seams.service) platform::WriteProfileInt(kSettings, L"SysTryIcon", theApp.TrayIcon().uID != 0 ? 1 : 0);
      break;
    }
    case ID_HELP_DOCUMENTATION: platform::OpenUrl(WideToUtf8(std::wstring(kWebSite) + L"/docs/")); break;
    case ID_TRAY_OPEN:
      if (m_seams.view) m_seams.view->RestoreWindow();
      break;
    default:
      break;
  }
}

void InstallDefaultConfiguration() {
  // A fresh profile through the engine's own road: it drops the old
  // servers' state before a later import reuses their ids, and the lists
  // are replaced under the lock.
  CProfile fresh;
  fresh.ResetToDefault();
  fresh.path = g_Configuration.path;
  CProfile::NotifyServerChanges({});
  CProfile::NotifyPoolChanges({});
  CProfile::SetRunning(fresh);
  CLogMessage().Append(LogNormal, L"A default configuration was created.");
  std::wstring error;
  if (!g_Configuration.Save(error, L"")) CLogMessage().SetError().Append(LogError, error);
}

void CMainFrameController::OnNewConfiguration() {
  if (Ask(L"Your current configration will be replaced with the default one.\nContinue?", L"Conf-File",
          MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) != IDYES)
    return;
  InstallDefaultConfiguration();
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  CProfile::GetServersAndPools(servers, pools);
  RestartPoolMonitoring(servers, pools);
}

std::optional<std::wstring> CMainFrameController::ChooseFile(bool save) {
  if (!m_seams.files) return std::nullopt;
  std::optional<std::wstring> path;
  {
    CModalScope modal(*this);
    path = save ? m_seams.files->SaveConfiguration() : m_seams.files->OpenConfiguration();
  }
  if (m_bClosePending) return std::nullopt;
  return path;
}

void CMainFrameController::OnImportConfiguration() {
  const std::optional<std::wstring> path = ChooseFile(false);
  if (!path) return;
  CModalScope modal(*this);
  ImportConfigurationFile(*path, false);
}

void CMainFrameController::OnExportConfiguration() {
  const std::optional<std::wstring> path = ChooseFile(true);
  if (!path) return;
  CModalScope modal(*this);
  if (theApp.SaveConfiguration(*path))
    CLogMessage().Append(LogNormal, L"Configuration exported to file ").Append(LogNormal, *path);
}

void CMainFrameController::OnDnsServers() {
  if (m_bModalOpen) return;
  m_bModalOpen = true;
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  std::vector<CRule> rules;
  CProfile::GetRulesServersAndPools(rules, servers, pools);
  bool ok = false;
  {
    CModalScope modal(*this);
    ok = m_seams.dialogs->RunServerList(servers, pools, rules);
  }
  m_bModalOpen = false;
  if (m_bClosePending) return;
  if (ok) {
    CProfile::NotifyServerChanges(servers);
    CProfile::NotifyPoolChanges(pools);
    CProfile::ChangeRunningLists([&](std::vector<CDnsServer>& running, std::vector<CDnsPool>& runningPools, auto&) {
      running = servers;
      runningPools = pools;
    });
    RestartPoolMonitoring(servers, pools);
  }
  // The checks below and the save also run after Cancel, on the running lists.
  CProfile::GetRulesServersAndPools(rules, servers, pools);
  if (!servers.empty() && rules.size() == 1 && rules.front().action == ERuleAction::Bypass) {
    if (servers.size() == 1) {
      if (Ask(L"You do not have any DNS servers assigned to the resolve rules.\r\nWould you like to set server " +
                  servers.front().name + L" as the default for all queries?",
              L"DNS Servers", MB_YESNO | 0x20) == IDYES) {
        rules.front().action = ERuleAction::ProcessServer;
        rules.front().action_id = servers.front().id;
        CProfile::SetRules(rules);
      }
    } else if (Ask(L"You do not have any DNS servers assigned to the resolve rules.\r\nWould you like to edit resolve "
                   L"rules now?",
                   L"DNS Servers", MB_YESNO | 0x20) == IDYES) {
      OnRules();
    }
  }
  if (m_bClosePending) return;
  CModalScope modal(*this);
  theApp.SaveConfiguration(L"");
}

void CMainFrameController::OnRules() {
  if (m_bModalOpen) return;
  m_bModalOpen = true;
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  std::vector<CRule> rules;
  CProfile::GetRulesServersAndPools(rules, servers, pools);
  servers.erase(std::remove_if(servers.begin(), servers.end(),
                               [](const CDnsServer& s) { return s.protocol == EDnsProtocol::Relay; }),
                servers.end());
  bool ignore = g_Configuration.settings.ignore_rule_if_interface_down;
  bool ok = false;
  {
    CModalScope modal(*this);
    ok = m_seams.dialogs->RunRules(rules, servers, pools, ignore);
  }
  m_bModalOpen = false;
  if (!ok || m_bClosePending) return;
  CProfile::SetRules(rules);
  g_Configuration.settings.ignore_rule_if_interface_down = ignore;
  CModalScope modal(*this);
  theApp.SaveConfiguration(L"");
}

void CMainFrameController::OnSetLogFolder() {
  if (!m_seams.files) return;
  std::optional<std::wstring> folder;
  {
    CModalScope modal(*this);
    folder = m_seams.files->ChooseFolder(L"Select a directory for Tarnwick logs:", GetLogFolder());
  }
  if (!folder || folder->empty() || m_bClosePending) return;
  SetLogFolder(*folder);
  CLogMessage().Append(LogNormal, L"Log Directory set to ").Append(LogNormal, *folder);
  platform::WriteProfileString(kSettings, L"LogFilePath", *folder);
}

void CMainFrameController::OnToggleAutostart() {
  const bool wanted = !theApp.UpdateAutoRun(false);
  if (theApp.AutoRun().Set(wanted)) {
    theApp.UpdateAutoRun(true);
    return;
  }
  const std::wstring text = theApp.AutoRun().TakeLastError();
  CModalScope modal(*this);
  AppMessageBox(L"Cannot update Tarnwick autorun record in the system registry.\nError: " + text, MB_OK);
}

void CMainFrameController::OnRunKestrune() {
  // A separate tool this build does not ship: without it nothing happens.
  const std::filesystem::path tool = platform::ModuleFilePath().parent_path() / "Kestrune";
  if (std::filesystem::exists(tool)) platform::SpawnDetached({tool.string()});
}
