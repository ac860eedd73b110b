#include "Quorvane/app/command_line.h"

#include <utility>

#include "Quorvane/foundation/text_utils.h"

namespace {

const std::pair<const char*, ERunMode> kSwitches[] = {
    {"/ShowWnd", RunModeShowWindow},
    {"/ForceExit", RunModeForceExit},
    {"/ServiceMode", RunModeService},
    {"/AutoRun", RunModeAutoRun},
};

bool IsSwitch(const std::string& arg) {
  if (arg == "/SilentLoad") return true;
  for (const auto& [name, mode] : kSwitches)
    if (arg == name) return true;
  return false;
}

}  // namespace

SAppCommandLine ParseAppCommandLine(const std::vector<std::string>& args) {
  SAppCommandLine result;
  for (const std::string& arg : args) {
    if (!IsSwitch(arg)) {
      result.configFile = Utf8ToWide(arg);
      break;
    }
  }
  bool blank = args.size() > 1;
  for (const std::string& arg : args) blank = blank || arg.find(' ') != std::string::npos;
  if (blank) {
    for (size_t i = 1; i < args.size(); ++i)
      if (args[i] == "/SilentLoad") result.runMode = RunModeSilentLoad;
    return result;
  }
  if (args.empty()) return result;
  for (const auto& [name, mode] : kSwitches) {
    if (args[0] == name) {
      result.runMode = mode;
      break;
    }
  }
  return result;
}
