// The "Advanced Network Interface" dialog (162): a Qt view over
// CNetInterfaceModel. On OK the caller's choice is the index of the
// rule-action list entry to use; the list may have grown by one. UI thread.
#pragma once

#include <QDialog>
#include <vector>

#include "Quorvane/ui/net_interface_model.h"
#include "Quorvane/ui/rule_model.h"

class QComboBox;

class CNetInterfaceDlg : public QDialog {
 public:
  // hooks: the machine's scan, networks and lookup; defaults are the real ones.
  CNetInterfaceDlg(std::vector<SNetInterface>* list, int* choice, QWidget* parent = nullptr,
                   CNetInterfaceModel::SHooks hooks = {});

  // IDOK or IDCANCEL.
  int DoModal();
  QComboBox* Attributes() const { return m_attributes; }
  QComboBox* Values() const { return m_values; }

  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FillValues();

  int* m_choice;
  CNetInterfaceModel m_model;
  QComboBox* m_attributes = nullptr;
  QComboBox* m_values = nullptr;
  bool m_opened = false;
};

// "[more options]": runs the dialog over list, owned by parent.
MoreOptionsRunner InterfaceDialogRunner(std::vector<SNetInterface>& list, QWidget* parent);
