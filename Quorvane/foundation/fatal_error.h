// The one way foundation code reports an error it cannot continue from. The
// application installs its crash reporter here at start-up; until then (and
// in tests that install nothing) the text goes to standard error and, with
// terminate, the process ends with exit code 1. Any thread.
#pragma once

#include <string>

using FatalErrorHook = void (*)(const std::wstring& text, bool terminate);

// nullptr restores the default.
void SetFatalErrorHook(FatalErrorHook hook);
void ReportFatalError(const std::wstring& text, bool terminate);
