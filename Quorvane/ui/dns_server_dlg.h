// Dialog 131 "DNS Server" and dialog 135 "DNS Stamp": thin Qt views over
// CDnsServerForm and CDnsStampForm (server_form.h). The server dialog
// touches its record only on OK; its single check runs on its own checker,
// which reports to the dialog's window and stops when the dialog goes.
// UI thread.
#pragma once

#include <QDialog>
#include <QTimer>
#include <map>
#include <memory>

#include "Quorvane/ui/dialog_resize.h"
#include "Quorvane/ui/window_binding.h"
#include "Quorvane/ui/server_form.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class CDnsStampDlg : public QDialog {
 public:
  CDnsStampDlg(CDnsServer* server, QWidget* parent = nullptr);
  // IDOK (1) or IDCANCEL (2).
  int DoModal();
  bool Replaced() const { return m_form.Replaced(); }
  QLineEdit* StampEdit() const { return m_edit; }

 protected:
  void accept() override;

 private:
  CDnsStampForm m_form;
  std::string m_stamp;
  QLineEdit* m_edit = nullptr;
};

class CDnsServerDlg : public CDialogResize {
 public:
  // engine: the checker's engine; null for the running one.
  CDnsServerDlg(CDnsServer* server, QWidget* parent = nullptr, CServerCheckEngine* engine = nullptr);
  ~CDnsServerDlg() override;

  std::wstring SizeKey() const override { return L"classCDnsServerDlg"; }
  int DoModal();

  // The control with a dialog id (the table of server_form.h, and 1009, 1034).
  QWidget* Control(int id) const;
  QComboBox* ProtocolList() const { return m_protocol; }
  CDnsServerForm& Form() { return m_form; }
  CDnsServerChecker& Checker() { return m_checker; }
  platform::HWND Handle() const { return m_window.Handle(); }
  // The stamp dialog's runner; tests replace it.
  StampDialogRunner stampRunner;

  // Exchanges the fields with the controls; save reads the controls.
  void DoDataExchange(bool save);
  void ShowPane();

 protected:
  void accept() override;

 private:
  void OnCheck();
  void OnStamp();
  intptr_t OnMessage(const platform::SWindowMessage& message);

  CDnsServer* m_server;
  CDnsServerForm m_form;
  CDnsServerChecker m_checker;
  std::map<int, QWidget*> m_controls;
  QLineEdit* m_name = nullptr;
  QComboBox* m_protocol = nullptr;
  QGroupBox* m_group = nullptr;
  QLabel* m_status = nullptr;
  QPushButton* m_checkButton = nullptr;
  QTimer m_timer;
  bool m_loading = false;
  CWindowBinding m_window;
};

// The DNS server dialog on a server, for the lists that edit one on a
// double-click (SetServerEditor); true on OK.
bool EditServerInDialog(QWidget* parent, CDnsServer& server);
