// The program tarnwick: a Qt Widgets desktop program, or with /ServiceMode a
// headless service on QCoreApplication.
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Quorvane/app/command_line.h"
#include "Quorvane/app/crash_reporter.h"
#include "Quorvane/app/message_box.h"
#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/app/service_mode.h"
#include "Quorvane/config/hooks.h"
#include "Quorvane/engine/captive_portal_detector.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/foundation/fatal_error.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/ui/dns_server_dlg.h"
#include "Quorvane/ui/frame_dialogs.h"
#include "Quorvane/ui/main_frame.h"
#include "Quorvane/ui/message_box_prompt.h"
#include "Quorvane/ui/server_list_ctrl.h"
#include "Quorvane/ui/service_frame.h"
#include "tarnwick_version.h"

namespace {

// Pool monitoring waits for the DNSCrypt library's first result.
bool DnsCryptResultSeen() { return g_DnsEngine.DnsCrypt().ResultSeen(); }

}  // namespace

int main(int argc, char** argv) {
  InitTextLocale();
  std::vector<std::string> args(argv + 1, argv + argc);

  // Before Qt: it must work without a display, as packaging checks do.
  if (args.size() == 1 && args[0] == "--version") {
    std::printf("Tarnwick %s\n", kTarnwickVersion);
    return 0;
  }

  if (args.size() == 3 && args[0] == "--crash-box") {
    QApplication application(argc, argv);
    return RunCrashBox(args[1], args[2]);
  }

  const bool service = ParseAppCommandLine(args).runMode == RunModeService;
  InstallCrashHandlers(!service);
  // Before any thread starts, so that every thread inherits the handlers.
  InstallStopSignals();
  SetRunModeHook(&TheAppRunMode);
  SetConfigEngineHooks(&g_DnsEngine.ConfigHooks());
  SetCaptivePortalHooks(&CCaptivePortalDetector::Hooks());

  std::unique_ptr<QCoreApplication> application;
  CMessageBoxPrompt prompt;
  // Lives past the frame: _exit below runs no destructors anyway.
  static CDesktopDialogs dialogs;
  if (service) {
    application = std::make_unique<QCoreApplication>(argc, argv);
    theApp.SetFrameFactory([](bool) -> std::unique_ptr<CAppFrame> { return std::make_unique<CServiceFrame>(nullptr, DnsCryptResultSeen); });
  } else {
    application = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    SetPrompt(&prompt);
    // A double-click on an imported server edits it in the server dialog.
    SetServerEditor(EditServerInDialog);
    theApp.SetFrameFactory([](bool) -> std::unique_ptr<CAppFrame> {
      auto frame = std::make_unique<CMainFrame>(&dialogs, DnsCryptResultSeen);
      dialogs.SetFrame(frame.get());
      return frame;
    });
    // At start-up the wizard has no owner.
    theApp.SetStartWizard([] { RunStartWizard(nullptr); });
  }
  theApp.SetArguments(args);

  int status = 0;
  if (theApp.InitInstance() && !theApp.Frame()->IsClosed()) status = application->exec();
  theApp.ExitInstance();
  // No static destructors: the engine's detached threads may still run.
  _exit(status);
}
