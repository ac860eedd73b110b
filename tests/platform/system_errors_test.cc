#include "Quorvane/platform/system_errors.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace platform;

TEST(SystemErrors, MapsErrnoToBothColumns) {
  struct Case { const char* name; int error; uint32_t winsock, win32; };
  const Case cases[] = {
      {"refused", ECONNREFUSED, 10061, 1225},
      {"reset", ECONNRESET, 10054, 64},
      {"message_size", EMSGSIZE, 10040, 234},
      {"invalid", EINVAL, 10022, 87},
      {"would_block", EAGAIN, 10035, 997},
      {"canceled", ECANCELED, 10022, 995},  // no Winsock row: falls back to 10022
      {"timed_out", ETIMEDOUT, 10060, 121},
      {"unknown", 4095, 10022, 87},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WinsockErrorFromErrno(c.error), c.winsock);
    EXPECT_EQ(Win32ErrorFromErrno(c.error), c.win32);
  }
}

TEST(SystemErrors, WSAGetLastErrorReadsErrno) {
  errno = EADDRINUSE;
  EXPECT_EQ(WSAGetLastError(), 10048u);
}

TEST(SystemErrors, MessagesForBothKindsOfNumber) {
  EXPECT_EQ(SystemErrorMessage(10061), L"Connection refused");
  EXPECT_EQ(SystemErrorMessage(1225), L"Connection refused");
  EXPECT_EQ(SystemErrorMessage(1234), L"Connection refused");
  EXPECT_EQ(SystemErrorMessage(234), L"Message too long");
  EXPECT_EQ(SystemErrorMessage(64), L"Connection reset by peer");
  EXPECT_EQ(SystemErrorMessage(258), L"The wait operation timed out");
  EXPECT_EQ(SystemErrorMessage(0), L"Success");
  EXPECT_EQ(SystemErrorMessage(0xdeadbeef), L"");
}

}  // namespace
