// How the program was started. The application sets the hook at start-up;
// the foundation reads it (the log drops screen lines in service mode)
// without depending on the application.
#pragma once

enum ERunMode : int {
  RunModeNormal = 0,
  RunModeForceExit = 1,
  RunModeShowWindow = 2,
  RunModeService = 3,
  RunModeAutoRun = 4,
  RunModeSilentLoad = 5,
};

using RunModeHook = ERunMode (*)();
// nullptr restores the default, which answers RunModeNormal.
void SetRunModeHook(RunModeHook hook);
ERunMode CurrentRunMode();
