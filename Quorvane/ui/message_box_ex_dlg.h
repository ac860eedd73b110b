// A message box with a check box (dialog 355). Yes/No boxes have no close
// button and Escape answers as button 2; when the box is ticked the answer
// is written under "MessageBoxEx" with the key of caption + message. UI
// thread.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QLabel;
class QPushButton;

constexpr int IDCANCEL = 2;

class CMessageBoxExDlg : public QDialog {
 public:
  CMessageBoxExDlg(std::wstring caption, std::wstring message, unsigned flags, std::wstring checkText,
                   QWidget* parent = nullptr);

  // IDYES/IDNO for MB_YESNO, else IDOK/IDCANCEL.
  int DoModal();
  bool Checked() const { return m_checkValue; }
  const std::wstring& Key() const { return m_key; }
  QPushButton* Button(int number) const { return number == 1 ? m_button1 : m_button2; }
  QCheckBox* CheckBox() const { return m_check; }

  // Ends the box as button 1 or 2 would.
  void Press(int number);

 protected:
  void reject() override { Press(2); }

 private:
  std::wstring m_caption;
  std::wstring m_message;
  std::wstring m_key;
  unsigned m_flags;
  bool m_checkValue = false;
  QLabel* m_icon = nullptr;
  QPushButton* m_button1 = nullptr;
  QPushButton* m_button2 = nullptr;
  QCheckBox* m_check = nullptr;
};
