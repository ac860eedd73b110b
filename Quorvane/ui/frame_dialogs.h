// The desktop's dialogs behind the main window's commands: Advanced
// Settings and About run their dialogs; the commands whose dialogs live
// elsewhere answer Cancel here until they are filled in. UI thread.
#pragma once

#include "Quorvane/ui/main_frame_controller.h"

class CDesktopDialogs : public CCancelDialogs {
 public:
  void RunAdvanced() override;  // modal, no owner
  void RunAbout() override;
};
