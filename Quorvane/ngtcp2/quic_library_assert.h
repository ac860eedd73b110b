// ngtcp2's failed assertions end the process through the crash reporter
// (ReportFatalError) with "ASSERT: " + expression + " ; " + file + " : " + line.
//
// Linux difference: the library calls glibc's __assert_fail. Every
// executable that links the client carries our own __assert_fail
// (quic_assert_fail.cc, added to each such executable's link), which sends
// assertions raised in libngtcp2's files to QuicLibraryAssert and gives every
// other one glibc's text and abort, as before. Any thread.
#pragma once

using QuicLibraryAssertHandler = void (*)(const wchar_t* expression, const wchar_t* file, unsigned line);

// Written once before main, read afterwards.
extern QuicLibraryAssertHandler g_pfnQuicAssertHandler;

void SetQuicLibraryAssertHandler(QuicLibraryAssertHandler handler);
// 0 when no handler is installed.
int QuicLibraryAssert(const wchar_t* expression, const wchar_t* file, unsigned line);
void OnQuicLibraryAssert(const wchar_t* expression, const wchar_t* file, unsigned line);
// True for a source file of ngtcp2 itself (any folder, "ngtcp2_*.c").
bool IsQuicLibraryFile(const char* file);
