// The "First Start Wizard" dialog (152): a Qt view over CWizardModel with
// the server checker of its own. The dialog is a window of the message
// registry so that the checker's WM_DNSCHECK_RESULT reaches it; a result
// posted after the dialog is gone fails and its sender frees it. UI thread.
#pragma once

#include <QDialog>
#include <QTimer>
#include <functional>
#include <optional>
#include <vector>

#include "Quorvane/config/dns_pool.h"
#include "Quorvane/engine/server_check.h"
#include "Quorvane/ui/start_wizard_model.h"

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

struct SStartWizardHooks {
  // A null member of the model's hooks gets the running configuration's.
  CWizardModel::SHooks model;
  // Choice 4's import dialog: the marked servers after its OK, nothing on Cancel.
  std::function<std::optional<std::vector<CDnsServer>>(QWidget* parent)> importDialog;
  // The Rules command of the main window (choice 4 with several servers).
  std::function<void()> rulesCommand;
  // The main window's pool monitoring after choice 0; null: theApp's frame.
  std::function<void(const std::vector<CDnsServer>&, const std::vector<CDnsPool>&)> restartMonitoring;
  std::function<void(const std::string& url)> openUrl;  // platform::OpenUrl
  CServerCheckEngine* checkEngine = nullptr;            // null: g_DnsEngine
};

class CStartWizardDlg : public QDialog {
 public:
  using SHooks = SStartWizardHooks;

  static constexpr const char* kSignUpUrl = "https://my.nextdns.io/signup";

  explicit CStartWizardDlg(QWidget* parent = nullptr, SHooks hooks = {});
  ~CStartWizardDlg() override;

  int DoModal();
  platform::HWND Handle() const { return m_handle; }
  const CWizardModel& Model() const { return m_model; }

  // The widgets, for tests that drive the dialog.
  QRadioButton* Choice(int index) const;
  QPushButton* BackButton() const { return m_back; }
  QPushButton* NextButton() const { return m_next; }
  QLineEdit* ConfigurationId() const { return m_nextDnsId; }
  QLineEdit* DeviceName() const { return m_deviceName; }
  QCheckBox* UseCurrent() const { return m_useCurrent; }
  QLabel* StageText() const { return m_stageText; }
  QLabel* ResultText() const { return m_result; }
  QLabel* SignUpLink() const { return m_signUp; }

 private:
  CWizardModel::SHooks CompleteHooks(CWizardModel::SHooks hooks);
  void OnNext();
  void OnBack();
  void OnResultMessage(SServerCheckResult* result);
  void UpdateStage();
  bool ImportFromWeb();

  SHooks m_hooks;
  CDnsServerChecker m_checker;
  CWizardModel m_model;
  platform::HWND m_handle = 0;
  QTimer m_timer;
  bool m_done = false;  // "done!" after the stage text
  QButtonGroup* m_choices = nullptr;
  QLabel* m_stageText = nullptr;
  QLabel* m_result = nullptr;
  QLabel* m_signUp = nullptr;
  QLabel* m_deviceLabel = nullptr;
  QLineEdit* m_nextDnsId = nullptr;
  QLineEdit* m_deviceName = nullptr;
  QCheckBox* m_useCurrent = nullptr;
  QPushButton* m_back = nullptr;
  QPushButton* m_next = nullptr;
};

