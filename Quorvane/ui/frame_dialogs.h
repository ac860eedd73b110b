// The desktop's dialogs behind the main window's commands: DNS Servers,
// Rules, Advanced Settings, First Start Wizard and About run their dialogs;
// the commands whose dialogs live elsewhere answer Cancel here until they
// are filled in. UI thread.
#pragma once

#include <functional>

#include "Quorvane/ui/main_frame_controller.h"

class CMainFrame;
class CServerListDlg;
class QWidget;

class CDesktopDialogs : public CCancelDialogs {
 public:
  // The owner of the rules dialog and the wizard, once it exists.
  void SetFrame(CMainFrame* frame) { m_frame = frame; }

  // Over the frame; the frame's results go to it while it is open.
  bool RunServerList(std::vector<CDnsServer>& servers, std::vector<CDnsPool>& pools,
                     const std::vector<CRule>& rules) override;
  platform::HWND ServerListWindow() const override;
  bool RunRules(std::vector<CRule>& rules, const std::vector<CDnsServer>& servers,
                const std::vector<CDnsPool>& pools, bool& ignoreRuleIfInterfaceDown) override;
  void RunAdvanced() override;  // modal, no owner
  void RunWizard() override;
  void RunAbout() override;

  // Called once the server list's loop runs; tests drive the dialog here.
  std::function<void(CServerListDlg& dialog)> onServerListShown;

 private:
  CMainFrame* m_frame = nullptr;
  CServerListDlg* m_serverList = nullptr;
};

// The first-start wizard owned by parent (none at start-up); its import
// from the web runs CServerImportDlg, its Rules command goes to theApp's frame.
void RunStartWizard(QWidget* parent);
