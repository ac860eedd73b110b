// The program's command line. Linux hands over argv, not one text: the raw
// command line is argv[1..] joined by blanks, and a switch counts only as a
// whole argument, so a path that holds "/ShowWnd" is no switch. A command
// line with a blank (more than one argument, or one with a blank in it)
// is looked at only for "/SilentLoad" after the first argument.
#pragma once

#include <string>
#include <vector>

#include "Quorvane/foundation/run_mode.h"

struct SAppCommandLine {
  ERunMode runMode = RunModeNormal;
  std::wstring configFile;  // the first argument that is no switch; empty when none
};

// args without the program name.
SAppCommandLine ParseAppCommandLine(const std::vector<std::string>& args);
