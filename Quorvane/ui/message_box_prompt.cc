#include "Quorvane/ui/message_box_prompt.h"

#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/shell.h"
#include "Quorvane/ui/main_frame.h"

std::unique_ptr<QMessageBox> MakeMessageBox(const std::wstring& text, const std::wstring& caption, unsigned type) {
  auto box = std::make_unique<QMessageBox>();
  box->setWindowTitle(QString::fromStdString(WideToUtf8(caption)));
  box->setText(QString::fromStdString(WideToUtf8(text)));
  box->setWindowIcon(ApplicationIcon());
  switch (type & 0xF0) {
    case MB_ICONERROR: box->setIcon(QMessageBox::Critical); break;
    case MB_ICONEXCLAMATION: box->setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box->setIcon(QMessageBox::Information); break;
    default: break;
  }
  if ((type & 0xF) == MB_YESNO) {
    box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton((type & MB_DEFBUTTON2) ? QMessageBox::No : QMessageBox::Yes);
  } else {
    box->setStandardButtons(QMessageBox::Ok);
  }
  return box;
}

int CMessageBoxPrompt::Ask(const std::wstring& text, const std::wstring& caption, unsigned type) {
  // After a stop or an exit during the start-up's boxes nobody is left to
  // answer the next one: it ends as No at once.
  if (const CAppFrame* frame = theApp.Frame(); frame && frame->IsClosed())
    return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
  auto box = MakeMessageBox(text, caption, type);
  int answer = box->exec();
  if (answer == QMessageBox::Yes) return IDYES;
  if (answer == QMessageBox::No) return IDNO;
  return IDOK;
}

std::unique_ptr<QMessageBox> MakeCrashBox(const std::string& message) {
  auto box = MakeMessageBox(Utf8ToWide(message), L"Tarnwick Crash Reporter", MB_OK | MB_ICONERROR);
  box->setWindowFlag(Qt::WindowStaysOnTopHint);
  return box;
}

int RunCrashBox(const std::string& dump, const std::string& message) {
  if (!dump.empty()) platform::ShowInFileManager(dump);
  MakeCrashBox(message)->exec();
  return 0;
}
