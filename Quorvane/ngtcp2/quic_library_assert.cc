#include "Quorvane/ngtcp2/quic_library_assert.h"

#include <cstring>
#include <string>

#include "Quorvane/foundation/fatal_error.h"

QuicLibraryAssertHandler g_pfnQuicAssertHandler = nullptr;

namespace {

const bool g_handlerInstalled = [] {
  SetQuicLibraryAssertHandler(&OnQuicLibraryAssert);
  return true;
}();

}  // namespace

void SetQuicLibraryAssertHandler(QuicLibraryAssertHandler handler) { g_pfnQuicAssertHandler = handler; }

int QuicLibraryAssert(const wchar_t* expression, const wchar_t* file, unsigned line) {
  (void)g_handlerInstalled;
  if (!g_pfnQuicAssertHandler) return 0;
  g_pfnQuicAssertHandler(expression, file, line);
  return 0;
}

void OnQuicLibraryAssert(const wchar_t* expression, const wchar_t* file, unsigned line) {
  std::wstring text = L"ASSERT: ";
  text += expression ? expression : L"";
  text += L" ; ";
  text += file ? file : L"";
  text += L" : ";
  text += std::to_wstring(line);
  ReportFatalError(text, true);
}

bool IsQuicLibraryFile(const char* file) {
  if (!file) return false;
  const char* base = std::strrchr(file, '/');
  base = base ? base + 1 : file;
  size_t length = std::strlen(base);
  return std::strncmp(base, "ngtcp2_", 7) == 0 && length > 2 && std::strcmp(base + length - 2, ".c") == 0;
}
