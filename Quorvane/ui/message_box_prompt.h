// The application's message boxes as QMessageBox, and the crash reporter's
// box, which the program shows as a process of its own
// (`tarnwick --crash-box DUMP MESSAGE`). UI thread.
#pragma once

#include <QMessageBox>
#include <memory>

#include "Quorvane/app/message_box.h"

class CMessageBoxPrompt : public CPrompt {
 public:
  int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override;
};

// A box for text with the type's buttons and icon; not shown yet.
std::unique_ptr<QMessageBox> MakeMessageBox(const std::wstring& text, const std::wstring& caption, unsigned type);
std::unique_ptr<QMessageBox> MakeCrashBox(const std::string& message);

// The --crash-box mode: opens the dump's folder and shows the box.
int RunCrashBox(const std::string& dump, const std::string& message);
