#include "Quorvane/ui/desktop_dialogs.h"

#include "Quorvane/app/message_box.h"
#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/ui/main_frame.h"
#include "Quorvane/ui/rule_list_dlg.h"
#include "Quorvane/ui/start_wizard_dlg.h"

bool CDesktopDialogs::RunRules(std::vector<CRule>& rules, const std::vector<CDnsServer>& servers,
                               const std::vector<CDnsPool>& pools, bool& ignoreRuleIfInterfaceDown) {
  CRuleListDlg dialog(&rules, &servers, &pools, &ignoreRuleIfInterfaceDown, m_frame);
  return dialog.DoModal() == IDOK;
}

void CDesktopDialogs::RunWizard() { RunStartWizard(m_frame); }

void RunStartWizard(QWidget* parent) {
  SStartWizardHooks hooks;
  hooks.rulesCommand = [] {
    if (auto* frame = dynamic_cast<CMainFrame*>(theApp.Frame())) frame->Controller().OnCommand(ID_RULES);
  };
  CStartWizardDlg dialog(parent, std::move(hooks));
  dialog.DoModal();
}
