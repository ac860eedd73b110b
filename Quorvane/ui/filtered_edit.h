// An edit that marks, light red, each character outside its allowed set,
// except inside links ("file:" up to ";" or white space); a left-button
// release on a link reports it. Pastes are plain text; the cue is the
// placeholder. Positions are UTF-16 code units, as the widget counts. UI
// thread.
#pragma once

#include <QPlainTextEdit>
#include <QSyntaxHighlighter>
#include <functional>

#include "Quorvane/ui/dialog_logic.h"

class CFilteredEdit;

class CFilterHighlighter : public QSyntaxHighlighter {
 public:
  CFilterHighlighter(QTextDocument* document, const SCharFilter& filter);

 protected:
  void highlightBlock(const QString& text) override;

 private:
  const SCharFilter& m_filter;
};

class CFilteredEdit : public QPlainTextEdit {
 public:
  static inline const QColor kMarkColour{255, 160, 160};

  explicit CFilteredEdit(QWidget* parent = nullptr);

  // Set by the owner before use.
  void SetFilter(SCharFilter filter);
  void SetCue(const QString& cue) { setPlaceholderText(cue); }
  // Called with the link's text on a left-button release over it.
  std::function<void(const QString&)> onLink;

  // Whether the character at position is drawn marked.
  bool IsMarked(int position) const;

 protected:
  void insertFromMimeData(const QMimeData* source) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent*) override {}  // a right-button release does nothing

 private:
  SCharFilter m_filter;
  CFilterHighlighter* m_highlighter = nullptr;
};
