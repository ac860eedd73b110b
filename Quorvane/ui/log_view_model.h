// The log view's refresh, apart from the widget: it takes the queued screen
// lines and appends them in colour runs, follows the end when the view is at
// it, keeps a scrolled-up user's selection and view, and trims the oldest
// 1000 lines above 5000 without moving the visible text. The widget is a
// CLogSurface; lines, positions and characters count as the widget does
// (the Qt view: blocks and UTF-16 code units). UI thread.
#pragma once

#include <list>
#include <string>

#include "Quorvane/foundation/log.h"

class CLogSurface {
 public:
  virtual ~CLogSurface() = default;
  struct SScroll {
    int pos = 0, page = 0, max = 0;  // in lines
  };
  virtual SScroll GetScroll() const = 0;
  // Character positions, start <= end; equal for none.
  virtual void GetSelection(int& start, int& end) const = 0;
  virtual void SetSelection(int start, int end) = 0;
  virtual int LineCount() const = 0;
  virtual int FirstVisibleLine() const = 0;
  virtual int LineStart(int line) const = 0;
  virtual void DeleteText(int start, int end) = 0;
  virtual void ScrollLines(int lines) = 0;
  virtual void SetRedraw(bool on) = 0;
  // Appends at the end: text in the error or the normal colour.
  virtual void AppendRun(const std::wstring& text, bool error) = 0;
  virtual void ScrollToBottom() = 0;
  virtual void RedrawScrollStrip() = 0;
};

class LogViewModel {
 public:
  static constexpr int kMaxLines = 5000;
  static constexpr int kTrimLines = 1000;

  // Nothing in service mode or while the left button is held: the lines
  // stay queued for a later refresh.
  void Refresh(CLogSurface& surface, bool service, bool leftButtonHeld);
  // The lines in hand, as Refresh appends them after taking the queue.
  void Append(CLogSurface& surface, std::list<SLogLine>& lines);
  // After a resize: the next refresh compares against a fresh maximum.
  void ResetScrollMax() { m_nLastScrollMax = 0; }

  // "[%m.%d %H:%M:%S] " in local time.
  static std::wstring Stamp(int64_t time);

 private:
  int m_nLastScrollMax = 0;
};
