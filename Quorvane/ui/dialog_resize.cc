#include "Quorvane/ui/dialog_resize.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/app_profile.h"

namespace {

constexpr wchar_t kUi[] = L"UI";

SRect ToRect(const QRect& r) { return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()}; }

QRect DesktopOf(const QWidget& widget) {
  QScreen* screen = widget.screen() ? widget.screen() : QGuiApplication::primaryScreen();
  return screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
}

}  // namespace

CDialogResize::CDialogResize(QWidget* parent) : QDialog(parent) { setSizeGripEnabled(true); }

void CDialogResize::SetGrowthFactors(double width, double height) {
  m_maxWidthFactor = width;
  m_maxHeightFactor = height;
}

void CDialogResize::showEvent(QShowEvent* event) {
  if (!m_size.captured) {
    RestoreDialogSize(m_size, *this, SizeKey());
    const QRect desktop = DesktopOf(*this);
    SSize max = GetMaxDialogSize({m_size.designWidth, m_size.designHeight}, {desktop.width(), desktop.height()});
    if (m_maxWidthFactor != 0) max.width = int(m_size.designWidth * m_maxWidthFactor);
    if (m_maxHeightFactor != 0) max.height = int(m_size.designHeight * m_maxHeightFactor);
    setMinimumSize(m_size.designWidth, m_size.designHeight);
    setMaximumSize(std::max(max.width, width()), std::max(max.height, height()));
  }
  QDialog::showEvent(event);
}

void CDialogResize::done(int result) {
  SaveDialogSize(*this, SizeKey(), 0);
  QDialog::done(result);
}

void RestoreDialogSize(SDialogSize& size, QDialog& dialog, const std::wstring& key) {
  size.captured = true;
  size.designWidth = dialog.width();
  size.designHeight = dialog.height();
  if (key.empty()) return;
  const SSize saved{platform::GetProfileInt(kUi, key + L".width", 0), platform::GetProfileInt(kUi, key + L".height", 0)};
  const QRect desktop = DesktopOf(dialog);
  const QWidget* parent = dialog.parentWidget();
  const QRect over = parent ? parent->frameGeometry() : desktop;
  const SRect r = ComputeDialogRect({size.designWidth, size.designHeight}, saved, ToRect(over), ToRect(desktop));
  dialog.setGeometry(r.left, r.top, r.Width(), r.Height());
}

void SaveDialogSize(const QDialog& dialog, const std::wstring& key, int extraHeight) {
  if (key.empty()) return;
  platform::WriteProfileInt(kUi, key + L".width", dialog.width());
  platform::WriteProfileInt(kUi, key + L".height", dialog.height() + extraHeight);
}

void ShowControls(const std::vector<QWidget*>& controls, bool show) {
  for (QWidget* control : controls)
    if (control) control->setVisible(show);
}

void EnableControls(const std::vector<QWidget*>& controls, bool enable) {
  for (QWidget* control : controls)
    if (control) control->setEnabled(enable);
}

void MoveControls(const std::vector<QWidget*>& controls, int dy) {
  for (QWidget* control : controls) {
    if (!control) continue;
    control->move(control->x(), control->y() + dy);
    control->update();
  }
}

void CListColumnRatios::Apply(bool noRedraw) {
  if (!m_header) return;
  m_header->setUpdatesEnabled(false);
  m_busy = true;
  const int width = m_header->viewport()->width();
  for (size_t i = 0; i < m_ratios.size() && int(i) < m_header->count(); ++i)
    m_header->resizeSection(int(i), int(width * m_ratios[i]));
  m_busy = false;
  m_header->setUpdatesEnabled(true);
  if (!noRedraw) m_header->viewport()->update();
}

void CListColumnRatios::Capture() {
  if (!m_header || m_busy) return;
  const int width = m_header->viewport()->width();
  if (width <= 0) return;
  m_ratios.resize(m_header->count());
  for (int i = 0; i < m_header->count(); ++i) m_ratios[i] = double(m_header->sectionSize(i)) / width;
}

int RunModal(QDialog& dialog) { return dialog.exec() == QDialog::Accepted ? 1 : 2; }

void DDX_TextString(bool save, QLineEdit* control, std::string& value) {
  std::wstring wide = ToWide(value, false);
  DDX_TextWString(save, control, wide);
  if (save) value = ToNarrow(wide, false);
}

void DDX_TextWString(bool save, QLineEdit* control, std::wstring& value) {
  if (!control) return;
  if (save) {
    value = control->text().toStdWString();
  } else {
    control->setText(QString::fromStdWString(value));
  }
}
