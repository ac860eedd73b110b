// Dialog 154 "Pool Type" and dialog 156 "Redundancy Pool Options": thin Qt
// views over CPoolForm and CPoolRedundancyForm (pool_form.h). The options
// are written into the pool at once, even when Pool Type is cancelled.
// UI thread.
#pragma once

#include <QDialog>

#include "Quorvane/ui/pool_form.h"

class QLineEdit;
class QPushButton;
class QRadioButton;

class CPoolRedundancyDlg : public QDialog {
 public:
  CPoolRedundancyDlg(CPoolRedundancyForm& form, QWidget* parent = nullptr);
  int DoModal();
  QLineEdit* TestHostEdit() const { return m_host; }
  QLineEdit* RecheckEdit() const { return m_recheck; }

 protected:
  void accept() override;

 private:
  void DoDataExchange(bool save);

  CPoolRedundancyForm& m_form;
  QLineEdit* m_host = nullptr;
  QLineEdit* m_recheck = nullptr;
};

class CPoolDlg : public QDialog {
 public:
  CPoolDlg(CDnsPool* pool, QWidget* parent = nullptr);
  int DoModal();
  QRadioButton* Choice(int index) const { return index == 0 ? m_redundancy : m_balancing; }
  QPushButton* OptionsButton() const { return m_options; }
  QLineEdit* NameEdit() const { return m_name; }
  // The options dialog's runner; tests replace it.
  RedundancyDialogRunner optionsRunner;

 protected:
  void accept() override;

 private:
  void DoDataExchange(bool save);

  CPoolForm m_form;
  QRadioButton* m_redundancy = nullptr;
  QRadioButton* m_balancing = nullptr;
  QPushButton* m_options = nullptr;
  QLineEdit* m_name = nullptr;
};
