// The application layer's message boxes. AppMessageBox shows its text in a
// box (the prompt the user interface installs) and returns the answer; in
// service mode nobody could answer, so the text is logged as one line
// "Service message: ..." and the answer is No. ShowMessageBox is the same
// for the boxes dialogs, the import and the save show directly, with their
// caption. Without an installed prompt (tests that install none) the text
// goes to standard error and the answer is No. UI thread.
#pragma once

#include <string>

// Message-box types and answers, with their Windows numbers.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr unsigned MB_DEFBUTTON2 = 0x100;
constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

class CPrompt {
 public:
  virtual ~CPrompt() = default;
  // Shows text and returns the answer (IDOK, IDYES, IDNO).
  virtual int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) = 0;
};

// nullptr restores the default. Not owned.
void SetPrompt(CPrompt* prompt);

int AppMessageBox(const std::wstring& text, unsigned type);
int ShowMessageBox(const std::wstring& text, const std::wstring& caption, unsigned type);

// "Service message: " + text with carriage returns removed and line feeds
// turned into blanks, logged as an error line.
void AppendServiceMessage(const std::wstring& text);
