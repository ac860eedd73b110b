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

void CDesktopDialogs::RunAdvanced() {
  CAdvancedDlg dialog;
  dialog.exec();
}

void CDesktopDialogs::RunAbout() {
  CAboutDlg dialog;
  dialog.exec();
}
