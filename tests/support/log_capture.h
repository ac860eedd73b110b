// Screen log lines committed while a test runs, at a level the test picks.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "Quorvane/foundation/log.h"

namespace testsupport {

class LogCapture {
 public:
  explicit LogCapture(int screenLevel = LogNormal) {
    std::list<SLogLine> drop;
    SwapLogQueue(drop, true);
    g_LogLevelScreen = screenLevel;
    g_LogLevelFile = 0;
  }
  ~LogCapture() { g_LogLevelScreen = LogNormal; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void SetLevel(int screenLevel) { g_LogLevelScreen = screenLevel; }

  // The lines committed since the last call, oldest first.
  std::vector<SLogLine> Take() {
    std::list<SLogLine> lines;
    SwapLogQueue(lines, true);
    return {lines.begin(), lines.end()};
  }
  std::vector<std::wstring> TakeTexts() {
    std::vector<std::wstring> texts;
    for (const SLogLine& line : Take()) texts.push_back(line.text);
    return texts;
  }
};

}  // namespace testsupport
