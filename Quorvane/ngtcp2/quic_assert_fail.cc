// glibc's assertion entry, replaced for the whole executable; see
// quic_library_assert.h. Only compiled into executables, never into a library.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/ngtcp2/quic_library_assert.h"

namespace {

using AssertFail = void (*)(const char*, const char*, unsigned, const char*);

[[noreturn]] void GlibcAssertFail(const char* expression, const char* file, unsigned line, const char* function) {
  // glibc's own text and abort.
  auto next = reinterpret_cast<AssertFail>(dlsym(RTLD_NEXT, "__assert_fail"));
  if (next) next(expression, file, line, function);
  std::fprintf(stderr, "%s:%u: %s%sAssertion `%s' failed.\n", file, line, function ? function : "",
               function ? ": " : "", expression);
  std::abort();
}

}  // namespace

extern "C" [[noreturn]] void __assert_fail(const char* expression, const char* file, unsigned int line,
                                           const char* function) noexcept {
  if (IsQuicLibraryFile(file)) {
    std::wstring wideExpression = ToWide(expression, false);
    std::wstring wideFile = ToWide(file, false);
    QuicLibraryAssert(wideExpression.c_str(), wideFile.c_str(), line);
  }
  // No handler, or one that returned: the process still ends here.
  GlibcAssertFail(expression, file, line, function);
}
