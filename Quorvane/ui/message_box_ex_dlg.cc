#include "Quorvane/ui/message_box_ex_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "Quorvane/app/message_box.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/ui/dialog_logic.h"

CMessageBoxExDlg::CMessageBoxExDlg(std::wstring caption, std::wstring message, unsigned flags, std::wstring checkText,
                                   QWidget* parent)
    : QDialog(parent), m_caption(std::move(caption)), m_message(std::move(message)), m_flags(flags) {
  m_key = MessageBoxKey(m_caption + m_message);
  setWindowTitle(QString::fromStdWString(m_caption));
  const bool yesNo = (m_flags & 0xF) == MB_YESNO;
  if (yesNo) setWindowFlags((windowFlags() | Qt::CustomizeWindowHint) & ~Qt::WindowCloseButtonHint);

  QStyle::StandardPixmap pixmap = QStyle::SP_MessageBoxWarning;
  if ((m_flags & 0xF0) == MB_ICONERROR) pixmap = QStyle::SP_MessageBoxCritical;
  if ((m_flags & 0xF0) == MB_ICONINFORMATION) pixmap = QStyle::SP_MessageBoxInformation;
  m_icon = new QLabel(this);
  m_icon->setPixmap(style()->standardIcon(pixmap).pixmap(32, 32));
  auto* text = new QLabel(QString::fromStdWString(m_message), this);
  text->setWordWrap(true);
  m_check = new QCheckBox(checkText.empty() ? QString("Do not show this message again") : QString::fromStdWString(checkText),
                          this);
  m_button1 = new QPushButton(yesNo ? "Yes" : "OK", this);
  m_button2 = new QPushButton(yesNo ? "No" : "Cancel", this);
  QObject::connect(m_button1, &QPushButton::clicked, [this] { Press(1); });
  QObject::connect(m_button2, &QPushButton::clicked, [this] { Press(2); });
  QPushButton* preferred = (m_flags & MB_DEFBUTTON2) ? m_button2 : m_button1;
  preferred->setDefault(true);
  preferred->setFocus();

  auto* top = new QHBoxLayout;
  top->addWidget(m_icon, 0, Qt::AlignTop);
  top->addWidget(text, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(m_check);
  buttons->addStretch(1);
  buttons->addWidget(m_button1);
  buttons->addWidget(m_button2);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(buttons);
}

void CMessageBoxExDlg::Press(int number) {
  const bool yesNo = (m_flags & 0xF) == MB_YESNO;
  const int value = number == 1 ? (yesNo ? IDYES : IDOK) : (yesNo ? IDNO : IDCANCEL);
  m_checkValue = m_check->isChecked();
  if (m_checkValue) platform::WriteProfileInt(L"MessageBoxEx", m_key, value);
  done(value);
}

int CMessageBoxExDlg::DoModal() {
  QApplication::beep();
  return exec();
}
