#include "Quorvane/ui/log_view_model.h"

#include <time.h>

void LogViewModel::Refresh(CLogSurface& surface, bool service, bool leftButtonHeld) {
  if (service || leftButtonHeld) return;
  std::list<SLogLine> lines;
  SwapLogQueue(lines, true);
  if (!lines.empty()) Append(surface, lines);
}

std::wstring LogViewModel::Stamp(int64_t time) {
  const time_t t = static_cast<time_t>(time);
  tm local{};
  localtime_r(&t, &local);
  wchar_t text[32] = {};
  wcsftime(text, 32, L"[%m.%d %H:%M:%S] ", &local);
  return text;
}

void LogViewModel::Append(CLogSurface& surface, std::list<SLogLine>& lines) {
  const CLogSurface::SScroll scroll = surface.GetScroll();
  const bool stick = scroll.pos + scroll.page >= scroll.max - 3 || scroll.max <= m_nLastScrollMax;
  if (scroll.max != m_nLastScrollMax) m_nLastScrollMax = scroll.max;

  int selStart = 0, selEnd = 0;
  surface.GetSelection(selStart, selEnd);
  bool keep = !stick && selStart != selEnd;

  bool redrawOff = false;
  if (surface.LineCount() > kMaxLines) {
    const int firstVisible = surface.FirstVisibleLine();
    const int cut = surface.LineStart(kTrimLines);
    surface.DeleteText(0, cut);
    m_nLastScrollMax = 0;
    surface.ScrollLines(firstVisible - surface.FirstVisibleLine() - kTrimLines);
    if (selStart != selEnd) {
      selStart = std::max(0, selStart - cut);
      selEnd = std::max(0, selEnd - cut);
    }
    keep = false;
  } else if (keep) {
    surface.SetRedraw(false);
    redrawOff = true;
  }

  std::wstring run;
  bool runError = lines.front().error;
  for (const SLogLine& line : lines) {
    if (line.error != runError && !run.empty()) {
      surface.AppendRun(run, runError);
      run.clear();
    }
    runError = line.error;
    run += Stamp(line.time) + line.text + L"\n";
  }
  if (!run.empty()) surface.AppendRun(run, runError);

  if (selStart != selEnd) surface.SetSelection(selStart, selEnd);
  if (stick) {
    surface.ScrollToBottom();
  } else if (redrawOff) {
    surface.SetRedraw(true);
    surface.RedrawScrollStrip();
  }
}
