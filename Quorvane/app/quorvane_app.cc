#include "Quorvane/app/quorvane_app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "Quorvane/app/command_line.h"
#include "Quorvane/app/crash_reporter.h"
#include "Quorvane/app/dns_cache_flush.h"
#include "Quorvane/app/message_box.h"
#include "Quorvane/app/service_mode.h"
#include "Quorvane/app/update_checker.h"
#include "Quorvane/config/object_id.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/engine/net_filter_processor.h"
#include "Quorvane/foundation/log_settings.h"
#include "Quorvane/foundation/net_interfaces.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/foundation/user_sid.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/device_io.h"
#include "Quorvane/platform/paths.h"
#include "Quorvane/platform/system_dns.h"

CQuorvaneApp theApp;

namespace {

constexpr wchar_t kSettings[] = L"Settings";
int g_nAutoRunState = 0;  // 0 not read yet, 1 absent, 2 present; UI thread

std::string Narrow(const std::wstring& text) { return WideToUtf8(text); }

// Only a file that is not there counts as missing: a folder or an
// unreadable file at the path is a broken file the user is asked about.
bool IsMissing(const std::wstring& path) {
  struct stat st {};
  return lstat(Narrow(path).c_str(), &st) != 0 && errno == ENOENT;
}

std::filesystem::path EnvFolder(const char* name, const std::filesystem::path& fallback) {
  const char* value = getenv(name);
  return value && *value ? std::filesystem::path(value) : fallback;
}

}  // namespace

ERunMode TheAppRunMode() { return theApp.RunMode(); }

CQuorvaneApp::CQuorvaneApp() : m_autoRun(L"Tarnwick", L"/AutoRun") {}

CQuorvaneApp::~CQuorvaneApp() = default;

std::wstring GetConfigFolder() {
  std::filesystem::path folder;
  if (CurrentRunMode() == RunModeService) {
    folder = platform::ServiceDataFolder();
  } else if (auto user = platform::UserConfigFolder()) {
    folder = *user;
  } else {
    CLogMessage().SetError().Append(LogError, L"Could not get conf-file path: SHGetKnownFolderPath failed.");
    folder = platform::TempFolder() / "Tarnwick";
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec)
    CLogMessage().SetError().Append(LogError, L"Could not create conf-file directory, error=").Append(LogError, ec.value())
        .Append(LogError, L".");
  std::wstring text = Utf8ToWide(folder.string());
  if (text.empty() || text.back() != L'/') text += L'/';
  return text;
}

bool CQuorvaneApp::ParseAppCommandLine() {
  SAppCommandLine parsed = ::ParseAppCommandLine(m_arguments);
  m_nRunMode = parsed.runMode;
  m_strConfigFromCommandLine = parsed.configFile;
  return true;
}

std::filesystem::path CQuorvaneApp::LockFile() const {
  if (m_nRunMode == RunModeService) {
    // DynamicUser leaves /run/lock read-only: the service's own folder.
    return platform::RuntimeFolder(true).value_or(EnvFolder("TARNWICK_LOCK_DIR", "/run/lock")) /
           "tarnwick-service-running.lock";
  }
  return EnvFolder("TARNWICK_LOCK_DIR", "/run/lock") / "tarnwick-running.lock";
}

std::filesystem::path CQuorvaneApp::InstanceSocket() const {
  if (m_nRunMode == RunModeService)
    return platform::RuntimeFolder(true).value_or(platform::ServiceDataFolder()) / "instance.sock";
  auto runtime = platform::RuntimeFolder(false);
  if (runtime) return *runtime / "tarnwick" / "instance.sock";
  return platform::TempFolder() / ("tarnwick-" + std::to_string(geteuid())) / "instance.sock";
}

bool CQuorvaneApp::CheckSingleInstance() {
  SInstanceRequest request;
  if (!m_strConfigFromCommandLine.empty()) {
    request.message = WM_COPYDATA;
    request.dwData = m_nRunMode == RunModeSilentLoad ? COPYDATA_LOAD_CONFIG_SILENT : COPYDATA_LOAD_CONFIG_SHOW;
    request.payload = EncodeCopyDataPath(m_strConfigFromCommandLine);
  } else {
    request.message = WM_ACTIVATE_INSTANCE;
    request.wParam = m_nRunMode == RunModeForceExit ? 1 : 0;
  }
  if (std::optional<int64_t> reply = CInstanceChannel::Send(InstanceSocket(), request)) {
    if (request.message == WM_ACTIVATE_INSTANCE && *reply == 0 && m_nRunMode != RunModeForceExit)
      AppMessageBox(L"Another copy of Tarnwick is already running.", MB_OK);
    return false;
  }
  if (m_nRunMode == RunModeForceExit) return false;
  switch (m_runningLock.Take(LockFile())) {
    case CInstanceLock::EResult::Taken:
      return true;
    case CInstanceLock::EResult::Held:
      break;
    case CInstanceLock::EResult::Failed:
      CLogMessage().SetError().Append(LogError, L"Cannot take the lock ").Append(LogError, LockFile().string())
          .Append(LogError, L": error ").Append(LogError, m_runningLock.Error());
      break;
  }
  AppMessageBox(L"Another instance of Tarnwick is already running.", MB_OK);
  return false;
}

void CQuorvaneApp::StartLogWriter() {
  m_logWriterThread = std::thread(LogFileWriterThread, std::ref(m_logWriter));
  if (g_LogLevelFile >= 1) SetCrashLogFile(Narrow(GetLogFolder()) + "/Tarnwick Log.txt");
}

void CQuorvaneApp::ShowTrayIcon(bool show) {
  if (show && m_nid.uID == 0) {
    if (!m_frame || !m_frame->AddTrayIcon()) {
      // Without a tray the icon would be the only way back to a hidden
      // window: uID stays 0, so the window is shown.
      AppMessageBox(L"Cannot display System Tray icon error = 0", MB_OK);
      return;
    }
    m_nid.uID = kTrayIconId;
    m_nid.szTip = L"Tarnwick";
  } else if (!show && m_nid.uID != 0) {
    if (m_frame) m_frame->RemoveTrayIcon();
    m_nid = STrayIconData();
  }
}

bool CQuorvaneApp::UpdateAutoRun(bool forceRead) {
  if (g_nAutoRunState != 0 && !forceRead) return g_nAutoRunState == 2;
  bool exists = false, equal = false;
  if (!m_autoRun.Query(exists, equal)) {
    CLogMessage().SetError().Append(LogError, m_autoRun.TakeLastError());
    exists = false;
  }
  if (!exists) {
    g_nAutoRunState = 1;
    return false;
  }
  g_nAutoRunState = 2;
  if (!equal && !m_autoRun.Set(true))
    AppMessageBox(L"Cannot update Tarnwick autorun record in the system registry.\nError: " + m_autoRun.TakeLastError(),
                  MB_OK);
  return true;
}

void CQuorvaneApp::StartUpdateCheck(bool enable) {
  m_bUpdateCheck = enable;
  platform::WriteProfileInt(kSettings, L"UpdateCheck", enable ? 1 : 0);
  if (!enable) return;
  bool idle = false;
  if (g_bUpdateCheckRunning.compare_exchange_strong(idle, true))
    std::thread(UpdateCheckThread, UpdateSite() + "/last_versions/windows/").detach();
  platform::WriteProfileString(kSettings, L"LastUpdateCheck", std::to_wstring(platform::WallTime()));
}

bool CQuorvaneApp::SaveConfiguration(const std::wstring& path) {
  if (g_Configuration.settings.clearDnsCache) FlushSystemDnsCache();
  std::wstring error;
  if (g_Configuration.Save(error, path)) return true;
  CLogMessage().SetError().Append(LogError, L"Could not save conf-file: ").Append(LogError, error);
  ShowMessageBox(L"An error occurred while saving the configuration:\n" + error, L"Conf-File Error", MB_ICONEXCLAMATION);
  return false;
}

void CQuorvaneApp::ChooseConfigurationPath() {
  const std::filesystem::path programFolder = platform::ModuleFilePath().parent_path();
  auto exists = [](const std::filesystem::path& file) {
    std::error_code ec;
    return std::filesystem::exists(file, ec);
  };
  std::filesystem::path chosen;
  if (m_nRunMode == RunModeService) {
    if (exists(programFolder / "ServiceConfiguration.xml")) chosen = programFolder / "ServiceConfiguration.xml";
  } else if (exists(programFolder / "Configuration.xml")) {
    chosen = programFolder / "Configuration.xml";
    CLogMessage().Append(LogNormal, L"Global configuration enabled: ").Append(LogNormal, chosen.string());
  }
  g_Configuration.path = chosen.empty() ? GetConfigFolder() + L"Configuration.xml" : Utf8ToWide(chosen.string());
}

bool CQuorvaneApp::RunLoadLoop() {
  for (int attempt = 0;; ++attempt) {
    std::wstring error;
    bool openFailed = false;
    bool checkVersion = attempt == 0;
    const bool pending = !m_strConfigFromCommandLine.empty();
    CProfile profile;
    profile.path = g_Configuration.path;
    if (profile.Load(error, openFailed, checkVersion, m_strConfigFromCommandLine)) {
      CProfile::SetRunning(profile);
      return true;
    }
    const bool missing = openFailed && IsMissing(pending ? m_strConfigFromCommandLine : g_Configuration.path);
    if (!missing || pending) {
      CLogMessage().SetError().Append(LogError, L"Could not load configuration. ").Append(LogError, error);
      if (m_nRunMode == RunModeService) return false;
      if (attempt == 0 && !checkVersion &&
          AppMessageBox(L"The conf-file was generated by a newer version of the program.\nSome version specific "
                        L"settings may cause errors.\n\nWould you like to continue the load?\n",
                        MB_YESNO | MB_ICONEXCLAMATION) == IDYES)
        continue;
      std::wstring question = L"Could not load configuration. " + error + L"\n\nDo you want to " +
                              (pending ? L"start with the saved" : L"reset to a default") + L" configuration?";
      if (AppMessageBox(question, MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) != IDYES) return false;
    }
    if (pending) {
      m_strConfigFromCommandLine.clear();
      continue;
    }
    CLogMessage().Append(LogNormal, L"A default configuration was created.");
    CProfile fresh;
    fresh.path = g_Configuration.path;
    fresh.ResetToDefault();
    CProfile::SetRunning(fresh);
    if (!g_Configuration.Save(error, L"")) CLogMessage().SetError().Append(LogError, error);
    return true;
  }
}

void CQuorvaneApp::ListenForInstances() {
  const std::filesystem::path socket = InstanceSocket();
  if (!m_channel.Listen(socket)) {
    CLogMessage().SetError().Append(LogError, L"Cannot listen on ").Append(LogError, socket.string())
        .Append(LogError, L": error ").Append(LogError, errno);
    return;
  }
  m_channelNotifier = std::make_unique<QSocketNotifier>(m_channel.Descriptor(), QSocketNotifier::Read);
  QObject::connect(m_channelNotifier.get(), &QSocketNotifier::activated, [this] {
    m_channel.ServePending([this](const SInstanceRequest& request) -> int64_t {
      return m_frame ? m_frame->OnInstanceRequest(request) : 0;
    });
  });
}

bool CQuorvaneApp::InitInstance() {
  // 1. Command line.
  if (!ParseAppCommandLine()) return false;
  const bool service = m_nRunMode == RunModeService;

  // Where the driver and the system resolver are, for runs with folders of
  // their own (the demo, tests).
  if (const char* socket = getenv("TARNWICK_CONTROL_SOCKET"); socket && *socket)
    platform::SetControlDeviceSocket(socket);
  if (const char* resolvConf = getenv("TARNWICK_RESOLV_CONF"); resolvConf && *resolvConf) {
    platform::SSystemDnsConfig dns = platform::SystemDnsConfig();
    dns.resolvConf = resolvConf;
    platform::SetSystemDnsConfig(dns);
  }

  // 2. Profile, log settings, log writer.
  if (service) {
    platform::SetProfilePath(platform::DefaultProfilePath(true));
    // The unit's LogsDirectory= unless the profile names another folder.
    SetLogFolder(Utf8ToWide(EnvFolder("LOGS_DIRECTORY", "/var/log/Tarnwick").string()));
  }
  LoadLogSettings();
  StartLogWriter();

  // 3. Tray flag.
  bool tray = platform::GetProfileInt(kSettings, L"SysTryIcon", 1) != 0;

  // 4. The service's account.
  if (service) {
    CUserSid sid;
    std::wstring domain, user;
    if (sid.Load()) sid.GetNames(domain, user);
    CLogMessage().Append(LogAlways, L"Starting as Windows Service, account=").Append(LogAlways, domain)
        .Append(LogAlways, L"\\").Append(LogAlways, user);
    tray = false;
  }

  // 5. Single instance: the lock is taken here and held.
  if (!CheckSingleInstance()) return false;

  // 6. The service thread.
  if (service) std::thread(ServiceMainThread).detach();

  // 8. The main frame, and the window a second copy finds.
  m_frame = m_frameFactory ? m_frameFactory(service) : nullptr;
  if (!m_frame) m_frame = std::make_unique<CHeadlessFrame>();
  g_hLogWnd = m_frame->Handle();
  OnMainWindowCreated(m_frame->Handle());
  ListenForInstances();
  if (!service && StopSignalDescriptor() >= 0) {
    // SIGTERM and SIGINT act as Exit.
    m_stopNotifier = std::make_unique<QSocketNotifier>(StopSignalDescriptor(), QSocketNotifier::Read);
    QObject::connect(m_stopNotifier.get(), &QSocketNotifier::activated, [] {
      unsigned char byte = 0;
      (void)!read(StopSignalDescriptor(), &byte, 1);
      // As Exit: WM_CLOSE would only hide the window behind the tray icon.
      platform::PostWindowMessage(g_hMainWnd.load(), WM_ACTIVATE_INSTANCE, 1, 0);
    });
  }

  // A stop or an exit that came during a box (or before the loop runs)
  // ends the start there: nothing after it would be used, and the driver
  // must not be opened and the engine started only to be stopped again.
  auto closed = [this] { return m_frame->IsClosed(); };

  // 9. Tray icon and the frame's first show.
  ShowTrayIcon(tray);
  if (closed()) return false;
  if (!service) m_frame->ShowFrame(!(m_nid.uID != 0 && m_nRunMode != RunModeShowWindow));

  // 10.
  CLogMessage().Append(LogAlways, L"Tarnwick ").Append(LogAlways, GetVersionText()).Append(LogAlways, L" started.");

  // 11. Update check.
  m_bUpdateCheck = platform::GetProfileInt(kSettings, L"UpdateCheck", 1) != 0;
  if (m_bUpdateCheck) StartUpdateCheck(true);

  // 12. The About box at start, once the user has unticked "Don't show on startup".
  if (!platform::HasProfileValue(kSettings, L"NotShowAbout")) platform::WriteProfileInt(kSettings, L"NotShowAbout", 1);
  if (!service && platform::GetProfileInt(kSettings, L"NotShowAbout", 0) == 0)
    platform::PostWindowMessage(m_frame->Handle(), WM_COMMAND, kAboutCommand, 0);

  // 13. Interface changes, and the first snapshot that fills the tables.
  if (!IsNetInterfaceChangeNotificationRegistered()) RegisterNetInterfaceChangeNotification();
  {
    SNetInterfacesSnapshot snapshot;
    GetNetInterfacesSnapshot(snapshot);
  }

  // 14, 15. The configuration.
  ChooseConfigurationPath();
  if (!RunLoadLoop() || closed()) return false;

  // 16.
  UpdateAutoRun(false);
  if (closed()) return false;

  // 18. The driver; the engine starts on the driver client's thread.
  std::wstring error;
  if (!g_NetFilterProcessor.Open(error)) {
    CLogMessage().SetError().Append(LogError, error);
    AppMessageBox(error + L"\n\nPlease reinstall Tarnwick and reboot. If the problem persists, please contact support.",
                  MB_ICONERROR);
    return false;
  }
  m_bDriverStarted = g_NetFilterProcessor.Configure(g_Configuration.settings.blockTcpPort53,
                                                    g_Configuration.settings.interceptOthers) &&
                     g_NetFilterProcessor.Start();

  // 19.
  if (g_Configuration.settings.clearDnsCache) FlushSystemDnsCache();

  // 20.
  RunStartWizardStep();
  return true;
}

void CQuorvaneApp::RunStartWizardStep() {
  // Only the UI thread writes the lists, so it reads them without the lock.
  if (m_nRunMode != RunModeService && m_startWizard && g_Configuration.IsDefault() &&
      platform::GetProfileInt(kSettings, L"StartWizard", 0) == 0)
    m_startWizard();
  platform::WriteProfileInt(kSettings, L"StartWizard", 1);
}

int CQuorvaneApp::ExitInstance() {
  CLogMessage().Append(LogAlways, L"Tarnwick exit.");
  g_DnsEngine.Stop();
  if (m_bDriverStarted) g_NetFilterProcessor.Stop();
  m_channelNotifier.reset();
  m_stopNotifier.reset();
  m_channel.Close();
  if (m_logWriterThread.joinable()) {
    StopLogWriter(m_logWriter);
    m_logWriterThread.join();
  }
  ShowTrayIcon(false);
  if (IsNetInterfaceChangeNotificationRegistered()) CancelNetInterfaceChangeNotification();
  g_hLogWnd = 0;
  m_frame.reset();
  return 0;
}

bool ImportConfigurationFile(const std::wstring& path, bool silent) {
  // The reader sets the id counter before it reads the rules: a file that
  // fails after that must not lower it, or a new server would reuse an id.
  const uint32_t keptNextId = g_NextObjectId;
  for (int attempt = 0;; ++attempt) {
    CProfile profile;
    std::wstring error;
    bool openFailed = false;
    bool checkVersion = attempt == 0 && !silent;
    const bool wasChecking = checkVersion;
    bool loaded = profile.Load(error, openFailed, checkVersion, path);
    g_NextObjectId = std::max(keptNextId, g_NextObjectId.load());
    if (loaded) {
      if (!silent && !g_Configuration.IsDefault() &&
          ShowMessageBox(L"Your current configuration will be overwritten.\nContinue?", L"Configuration Import",
                         MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) != IDYES)
        return false;
      CLogMessage().Append(LogNormal, L"Configuration loaded from file ").Append(LogNormal, path);
      // The engine drops the old servers' state before ids can be reused.
      CProfile::NotifyServerChanges(profile.servers);
      CProfile::NotifyPoolChanges(profile.pools);
      CProfile::SetRunning(profile);
      if (!g_Configuration.Save(error, L"")) CLogMessage().SetError().Append(LogError, error);
      std::vector<CDnsServer> servers;
      std::vector<CDnsPool> pools;
      CProfile::GetServersAndPools(servers, pools);
      if (CAppFrame* frame = theApp.Frame()) frame->RestartPoolMonitoring(servers, pools);
      return true;
    }
    if (wasChecking && !checkVersion) {
      if (ShowMessageBox(L"The conf-file was generated by a newer version of the program.\nSome version specific "
                         L"settings may cause errors.\n\nWould you like to continue the load?\n",
                         L"Conf-File Error", MB_YESNO | MB_ICONEXCLAMATION) == IDYES)
        continue;
      return false;
    }
    CLogMessage().SetError().Append(LogError, L"Could not load conf-file: ").Append(LogError, error);
    if (!silent)
      ShowMessageBox(L"An error occurred while loading the configuration:\n" + error, L"Conf-File Error",
                     MB_ICONEXCLAMATION);
    return false;
  }
}
