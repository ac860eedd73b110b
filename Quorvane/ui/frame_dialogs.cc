#include "Quorvane/ui/frame_dialogs.h"

#include "Quorvane/ui/about_dlg.h"
#include "Quorvane/ui/advanced_dlg.h"

void CDesktopDialogs::RunAdvanced() {
  CAdvancedDlg dialog;
  dialog.exec();
}

void CDesktopDialogs::RunAbout() {
  CAboutDlg dialog;
  dialog.exec();
}
