// The desktop's dialogs behind the main window's commands: Rules, Advanced
// Settings, First Start Wizard and About run their dialogs; the commands
// whose dialogs live elsewhere answer Cancel here until they are filled in.
// UI thread.
#pragma once

#include "Quorvane/ui/main_frame_controller.h"

class CMainFrame;
class QWidget;

class CDesktopDialogs : public CCancelDialogs {
 public:
  // The owner of the rules dialog and the wizard, once it exists.
  void SetFrame(CMainFrame* frame) { m_frame = frame; }

  bool RunRules(std::vector<CRule>& rules, const std::vector<CDnsServer>& servers,
                const std::vector<CDnsPool>& pools, bool& ignoreRuleIfInterfaceDown) override;
  void RunAdvanced() override;  // modal, no owner
  void RunWizard() override;
  void RunAbout() override;

 private:
  CMainFrame* m_frame = nullptr;
};

// The first-start wizard owned by parent (none at start-up); its import
// from the web runs CServerImportDlg, its Rules command goes to theApp's frame.
void RunStartWizard(QWidget* parent);
