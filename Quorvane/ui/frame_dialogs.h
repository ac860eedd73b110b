// The desktop's dialogs behind the main window's commands: DNS Servers,
// Advanced Settings and About run their dialogs; the commands whose dialogs
// live elsewhere answer Cancel here until they are filled in. UI thread.
#pragma once

#include <functional>

#include "Quorvane/ui/main_frame_controller.h"

class CServerListDlg;

class CDesktopDialogs : public CCancelDialogs {
 public:
  // Over the frame; the frame's results go to it while it is open.
  bool RunServerList(std::vector<CDnsServer>& servers, std::vector<CDnsPool>& pools,
                     const std::vector<CRule>& rules) override;
  platform::HWND ServerListWindow() const override;
  void RunAdvanced() override;  // modal, no owner
  void RunAbout() override;

  // Called once the server list's loop runs; tests drive the dialog here.
  std::function<void(CServerListDlg& dialog)> onServerListShown;

 private:
  CServerListDlg* m_serverList = nullptr;
};
