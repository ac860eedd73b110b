// The "Rule" dialog (141): a resizable Qt view over CRuleForm. The host
// names are a filtered edit whose "file://" links show their copies in the
// file manager; From File... copies a hosts file beside the running
// conf-file. On OK the caller's rule holds the edits. UI thread.
#pragma once

#include <QDialog>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Quorvane/ui/dialog_resize.h"
#include "Quorvane/ui/rule_model.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class CFilteredEdit;

// What the rules dialogs take from the machine; a null member is the real one.
struct SRuleDlgHooks {
  MoreOptionsRunner moreOptions;  // the interface dialog
  std::function<std::optional<std::wstring>()> pickHostsFile;           // the open-file dialog
  std::function<void(const std::filesystem::path&)> showInFileManager;  // platform::ShowInFileManager
  std::function<std::vector<sockaddr_storage>()> systemDns;             // GetSystemDnsServers
  std::optional<std::wstring> confPath;                                 // g_Configuration.path
};

class CRuleDlg : public CDialogResize {
 public:
  CRuleDlg(CRule* rule, std::vector<SNetInterface>* list, const std::vector<CDnsServer>* servers,
           const std::vector<CDnsPool>* pools, bool isDefault, QWidget* parent = nullptr, SRuleDlgHooks hooks = {});

  std::wstring SizeKey() const override { return L"classCRuleDlg"; }
  int DoModal();
  void accept() override;

  // The widgets, for tests that drive the dialog.
  QCheckBox* Enabled() const { return m_enabled; }
  QLineEdit* Name() const { return m_name; }
  CFilteredEdit* Hostnames() const { return m_hostnames; }
  QComboBox* Action() const { return m_action; }
  QComboBox* Target() const { return m_target; }
  QCheckBox* BlockZero() const { return m_blockZero; }
  QCheckBox* RejectUnsigned() const { return m_rejectUnsigned; }
  QCheckBox* LocalValidation() const { return m_localValidation; }
  QPushButton* FromFile() const { return m_fromFile; }
  // 1031, 1033, 1032, 1036.
  QLabel* Description(int index) const { return m_descriptions[index]; }

 private:
  void Read();
  void FillChoices();
  void OnActionChange(int choice);
  void OnFromFile();
  void OnLink(const QString& link);

  CRule* m_rule;
  std::vector<SNetInterface>* m_list;
  SRuleDlgHooks m_hooks;
  CRuleForm m_form;
  std::wstring m_confPath;
  bool m_filling = false;
  QCheckBox* m_enabled = nullptr;
  QLineEdit* m_name = nullptr;
  CFilteredEdit* m_hostnames = nullptr;
  QPushButton* m_fromFile = nullptr;
  QComboBox* m_action = nullptr;
  QComboBox* m_target = nullptr;
  QLabel* m_descriptions[4] = {};
  QCheckBox* m_blockZero = nullptr;
  QCheckBox* m_rejectUnsigned = nullptr;
  QCheckBox* m_localValidation = nullptr;
};

// The rule's text with line breaks as the edit shows them, and back.
QString HostnamesToEdit(const std::wstring& hostnames);
std::wstring HostnamesFromEdit(const QString& text);
