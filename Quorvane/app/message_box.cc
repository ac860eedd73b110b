#include "Quorvane/app/message_box.h"

#include <atomic>
#include <cstdio>

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/run_mode.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

std::atomic<CPrompt*> g_prompt{nullptr};

}  // namespace

void SetPrompt(CPrompt* prompt) { g_prompt = prompt; }

void AppendServiceMessage(const std::wstring& text) {
  std::wstring line;
  for (wchar_t c : text) {
    if (c == L'\r') continue;
    line += c == L'\n' ? L' ' : c;
  }
  CLogMessage().SetError().Append(LogError, L"Service message: ").Append(LogError, line);
}

int ShowMessageBox(const std::wstring& text, const std::wstring& caption, unsigned type) {
  if (CurrentRunMode() == RunModeService) {
    AppendServiceMessage(text);
    return IDNO;
  }
  if (CPrompt* prompt = g_prompt.load()) return prompt->Ask(text, caption, type);
  std::fprintf(stderr, "%s\n", ToNarrow(text, false).c_str());
  return IDNO;
}

int AppMessageBox(const std::wstring& text, unsigned type) { return ShowMessageBox(text, L"Tarnwick", type); }
