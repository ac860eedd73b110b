#include "Quorvane/ui/frame_dialogs.h"

#include <QTimer>

#include "Quorvane/app/message_box.h"
#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/ui/about_dlg.h"
#include "Quorvane/ui/advanced_dlg.h"
#include "Quorvane/ui/server_list_dlg.h"

bool CDesktopDialogs::RunServerList(std::vector<CDnsServer>& servers, std::vector<CDnsPool>& pools,
                                    const std::vector<CRule>& rules) {
  CServerListDlg dialog(&servers, &pools, &rules, dynamic_cast<QWidget*>(theApp.Frame()));
  m_serverList = &dialog;
  if (onServerListShown) QTimer::singleShot(0, &dialog, [this, &dialog] { onServerListShown(dialog); });
  const bool ok = dialog.DoModal() == IDOK;
  m_serverList = nullptr;
  return ok;
}

platform::HWND CDesktopDialogs::ServerListWindow() const { return m_serverList ? m_serverList->Handle() : 0; }
#include "Quorvane/ui/main_frame.h"
#include "Quorvane/ui/rule_list_dlg.h"
#include "Quorvane/ui/server_import_dlg.h"
#include "Quorvane/ui/start_wizard_dlg.h"

bool CDesktopDialogs::RunRules(std::vector<CRule>& rules, const std::vector<CDnsServer>& servers,
                               const std::vector<CDnsPool>& pools, bool& ignoreRuleIfInterfaceDown) {
  CRuleListDlg dialog(&rules, &servers, &pools, &ignoreRuleIfInterfaceDown, m_frame);
  return dialog.DoModal() == IDOK;
}

void CDesktopDialogs::RunAdvanced() {
  CAdvancedDlg dialog;
  dialog.exec();
}

void CDesktopDialogs::RunWizard() { RunStartWizard(m_frame); }

void CDesktopDialogs::RunAbout() {
  CAboutDlg dialog;
  dialog.exec();
}

void RunStartWizard(QWidget* parent) {
  SStartWizardHooks hooks;
  hooks.importDialog = [](QWidget* owner) -> std::optional<std::vector<CDnsServer>> {
    CServerImportDlg dialog(owner);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.m_result;
  };
  hooks.rulesCommand = [] {
    if (auto* frame = dynamic_cast<CMainFrame*>(theApp.Frame())) frame->Controller().OnCommand(ID_RULES);
  };
  CStartWizardDlg dialog(parent, std::move(hooks));
  dialog.DoModal();
}
