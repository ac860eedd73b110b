#include "Quorvane/foundation/fatal_error.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "Quorvane/foundation/text_utils.h"

namespace {

void DefaultFatalError(const std::wstring& text, bool terminate) {
  std::fprintf(stderr, "%s\n", ToNarrow(text, false).c_str());
  std::fflush(stderr);
  // No static destructors: other threads may still hold what they would free.
  if (terminate) std::_Exit(1);
}

std::atomic<FatalErrorHook> g_fatalErrorHook{&DefaultFatalError};

}  // namespace

void SetFatalErrorHook(FatalErrorHook hook) { g_fatalErrorHook = hook ? hook : &DefaultFatalError; }

void ReportFatalError(const std::wstring& text, bool terminate) { g_fatalErrorHook.load()(text, terminate); }
