// The desktop's dialog seams of the main window: the dialogs that exist are
// opened over the frame, the others still answer Cancel. UI thread.
#pragma once

#include "Quorvane/ui/main_frame_controller.h"

class CServerListDlg;

class CDesktopDialogs : public CCancelDialogs {
 public:
  bool RunServerList(std::vector<CDnsServer>& servers, std::vector<CDnsPool>& pools,
                     const std::vector<CRule>& rules) override;
  platform::HWND ServerListWindow() const override;

  // Runs an open server list; tests drive it here.
  std::function<void(CServerListDlg& dialog)> onServerListShown;

 private:
  CServerListDlg* m_serverList = nullptr;
};
