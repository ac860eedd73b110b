// The desktop's dialogs behind the main window's seams; the ones not built
// yet still answer Cancel. UI thread.
#pragma once

#include "Quorvane/ui/main_frame_controller.h"

class CMainFrame;
class QWidget;

class CDesktopDialogs : public CCancelDialogs {
 public:
  // The owner of the dialogs, once it exists.
  void SetFrame(CMainFrame* frame) { m_frame = frame; }

  bool RunRules(std::vector<CRule>& rules, const std::vector<CDnsServer>& servers,
                const std::vector<CDnsPool>& pools, bool& ignoreRuleIfInterfaceDown) override;
  void RunWizard() override;

 private:
  CMainFrame* m_frame = nullptr;
};

// The first-start wizard owned by parent (none at start-up), its Rules
// command sent to theApp's frame.
void RunStartWizard(QWidget* parent);
