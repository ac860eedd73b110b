#include "Quorvane/ui/filtered_edit.h"

#include <QMimeData>
#include <QMouseEvent>
#include <QTextBlock>
#include <QTextLayout>

namespace {

std::u16string Units(const QString& text) { return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), text.size()); }

}  // namespace

CFilterHighlighter::CFilterHighlighter(QTextDocument* document, const SCharFilter& filter)
    : QSyntaxHighlighter(document), m_filter(filter) {}

void CFilterHighlighter::highlightBlock(const QString& text) {
  QTextCharFormat mark;
  mark.setBackground(CFilteredEdit::kMarkColour);
  for (int position : ForbiddenPositions(Units(text), m_filter)) setFormat(position, 1, mark);
}

CFilteredEdit::CFilteredEdit(QWidget* parent) : QPlainTextEdit(parent) {
  m_highlighter = new CFilterHighlighter(document(), m_filter);
}

void CFilteredEdit::SetFilter(SCharFilter filter) {
  m_filter = std::move(filter);
  m_highlighter->rehighlight();
}

bool CFilteredEdit::IsMarked(int position) const {
  const QTextBlock block = document()->findBlock(position);
  const int offset = position - block.position();
  for (const QTextLayout::FormatRange& range : block.layout()->formats())
    if (offset >= range.start && offset < range.start + range.length && range.format.background().color() == kMarkColour)
      return true;
  return false;
}

void CFilteredEdit::insertFromMimeData(const QMimeData* source) {
  if (source && source->hasText()) insertPlainText(source->text());
}

void CFilteredEdit::mouseReleaseEvent(QMouseEvent* event) {
  QPlainTextEdit::mouseReleaseEvent(event);
  if (event->button() != Qt::LeftButton || !onLink) return;
  const QTextCursor at = cursorForPosition(event->position().toPoint());
  const QTextBlock block = at.block();
  const int offset = at.positionInBlock();
  for (const auto& [start, end] : FindLinks(Units(block.text())))
    if (offset >= start && offset < end) {
      onLink(block.text().mid(start, end - start));
      return;
    }
}
