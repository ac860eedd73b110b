// The application object: the start-up road (command line, single instance,
// service start, main frame, configuration load, driver and engine start),
// the stop road, and the save and import of configuration files that every
// dialog and the main window use. theApp is the one instance.
//
// Start here:
//   InitInstance / ExitInstance   the two roads, in their steps' order
//   RunLoadLoop                   step 15: load, ask, fall back, reset
//   ImportConfigurationFile       a file as the new running configuration
//
// The frame comes from the factory main() installs (the Qt window, or the
// headless frame in service mode and tests). Everything runs on the UI
// thread except the log writer and the service thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Quorvane/app/app_frame.h"
#include "Quorvane/app/auto_run.h"
#include "Quorvane/app/instance_channel.h"
#include "Quorvane/foundation/log_writer.h"
#include "Quorvane/foundation/run_mode.h"
#include "tarnwick_version.h"

class QSocketNotifier;

// The tray icon's state: uID is 146 while the icon is on.
struct STrayIconData {
  uint32_t uID = 0;
  std::wstring szTip;
};

constexpr uint32_t kTrayIconId = 146;

class CQuorvaneApp {
 public:
  using FrameFactory = std::function<std::unique_ptr<CAppFrame>(bool service)>;

  CQuorvaneApp();
  ~CQuorvaneApp();

  // The arguments after the program name, before InitInstance.
  void SetArguments(std::vector<std::string> args) { m_arguments = std::move(args); }
  void SetFrameFactory(FrameFactory factory) { m_frameFactory = std::move(factory); }
  // The first-start wizard, run modally by step 20; none in service mode.
  void SetStartWizard(std::function<void()> wizard) { m_startWizard = std::move(wizard); }

  bool InitInstance();
  int ExitInstance();

  bool ParseAppCommandLine();
  bool CheckSingleInstance();
  void ShowTrayIcon(bool show);
  bool UpdateAutoRun(bool forceRead);
  void StartUpdateCheck(bool enable);
  bool UpdateCheckEnabled() const { return m_bUpdateCheck; }
  bool SaveConfiguration(const std::wstring& path);
  static std::wstring GetVersionText() { return kTarnwickVersionText; }

  // Step 15 on its own, for the chosen file of step 14; false ends the start.
  bool RunLoadLoop();
  // Step 20: the wizard for an empty configuration never offered before;
  // "StartWizard" is 1 afterwards in every case.
  void RunStartWizardStep();

  CAppFrame* Frame() const { return m_frame.get(); }
  ERunMode RunMode() const { return m_nRunMode; }
  const STrayIconData& TrayIcon() const { return m_nid; }
  CAutoRun& AutoRun() { return m_autoRun; }
  void SetConfigFromCommandLine(const std::wstring& path) { m_strConfigFromCommandLine = path; }
  // For tests: a run mode without a command line.
  void SetRunModeForTesting(ERunMode mode) { m_nRunMode = mode; }

  // Where this copy's lock and socket live.
  std::filesystem::path LockFile() const;
  std::filesystem::path InstanceSocket() const;

 private:
  void StartLogWriter();
  void ChooseConfigurationPath();
  void ListenForInstances();

  STrayIconData m_nid;
  CAutoRun m_autoRun;
  bool m_bUpdateCheck = false;
  // Read by other threads (the DNS-cache flush) through the run-mode hook.
  std::atomic<ERunMode> m_nRunMode{RunModeNormal};
  std::thread m_logWriterThread;
  bool m_bDriverStarted = false;
  std::wstring m_strConfigFromCommandLine;
  SLogWriterControl m_logWriter;

  std::vector<std::string> m_arguments;
  FrameFactory m_frameFactory;
  std::function<void()> m_startWizard;
  std::unique_ptr<CAppFrame> m_frame;
  CInstanceLock m_runningLock;
  CInstanceChannel m_channel;
  std::unique_ptr<QSocketNotifier> m_channelNotifier;
  std::unique_ptr<QSocketNotifier> m_stopNotifier;
};

extern CQuorvaneApp theApp;

// The run-mode hook the foundation reads.
ERunMode TheAppRunMode();

// Loads path as the new running configuration (see the .cc for the road).
bool ImportConfigurationFile(const std::wstring& path, bool silent);
// The configuration folder with a trailing "/": $XDG_CONFIG_HOME/Tarnwick/,
// the service's ServiceDataFolder()/. Created when missing.
std::wstring GetConfigFolder();
