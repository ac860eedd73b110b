#include "PalvexDrv/host/process_identity.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

TEST(UnixUserSid, IsRevision1WithAuthority22Then1AndTheUid) {
  std::vector<uint8_t> want = {1, 2, 0, 0, 0, 0, 0, 22, 1, 0, 0, 0, 0xE8, 0x03, 0, 0};
  EXPECT_EQ(UnixUserSid(1000), want);
  EXPECT_EQ(UnixUserSid(0).size(), 16u);
}

TEST(Utf16LeWithNul, EncodesEveryLengthAndReplacesBadBytes) {
  struct SCase {
    const char* name;
    std::string utf8;
    std::vector<uint8_t> want;
  };
  const SCase cases[] = {
      {"empty", "", {0, 0}},
      {"ascii", "/a", {'/', 0, 'a', 0, 0, 0}},
      {"two_bytes", "\xC3\xA9", {0xE9, 0, 0, 0}},
      {"three_bytes", "\xE2\x82\xAC", {0xAC, 0x20, 0, 0}},
      {"surrogate_pair", "\xF0\x9F\x98\x80", {0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
      {"lone_continuation", "\x80z", {0xFD, 0xFF, 'z', 0, 0, 0}},
      {"cut_short", "\xE2\x82", {0xFD, 0xFF, 0xFD, 0xFF, 0, 0}},
      {"overlong", "\xC0\xAF", {0xFD, 0xFF, 0xFD, 0xFF, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf16LeWithNul(c.utf8), c.want);
  }
}

TEST(ProcessImagePath, IsTheExeLinkAndNothingForAGoneProcess) {
  EXPECT_EQ(ProcessImagePath(getpid()), std::filesystem::read_symlink("/proc/self/exe").string());
  EXPECT_FALSE(ProcessImagePath(0x7FFFFFF0).has_value());
}

uint64_t InodeOf(int fd) {
  struct stat info;
  fstat(fd, &info);
  return info.st_ino;
}

TEST(SocketOwnerFinder, FindsTheHintWithoutReadingAllOfProcThenFallsBackToTheCache) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  uint64_t inode = InodeOf(fd);
  CSocketOwnerFinder finder;
  EXPECT_EQ(finder.Find(inode, getpid()), getpid());
  EXPECT_EQ(finder.Rebuilds(), 0u);
  EXPECT_EQ(finder.Find(inode, 1 << 30), getpid());  // a wrong hint
  EXPECT_EQ(finder.Rebuilds(), 1u);
  EXPECT_EQ(finder.Find(inode, 0), getpid());  // from the cache
  EXPECT_EQ(finder.Rebuilds(), 1u);
  close(fd);
  EXPECT_FALSE(finder.Find(inode, getpid()).has_value());  // closed: the cache does not vouch for it
}

// With every known descriptor taken as long-lived, a socket that reuses
// one is found in the second pass; one that is gone is not vouched for.
TEST(SocketOwnerFinder, ASocketOnAReusedDescriptorIsStillFoundInTheHint) {
  for (int64_t stableMs : {int64_t{0}, CSocketOwnerFinder::kStableMs}) {
    SCOPED_TRACE(stableMs);
    CSocketOwnerFinder finder("/proc", stableMs);
    int first = socket(AF_INET6, SOCK_DGRAM, 0);
    ASSERT_GE(first, 0);
    const uint64_t firstInode = InodeOf(first);
    EXPECT_EQ(finder.Find(firstInode, getpid()), getpid());
    close(first);
    int second = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(second, first) << "the lowest free descriptor is reused";
    EXPECT_EQ(finder.Find(InodeOf(second), getpid()), getpid());
    EXPECT_EQ(finder.Rebuilds(), 0u);
    EXPECT_FALSE(finder.Find(firstInode, getpid()).has_value());
    close(second);
  }
}

}  // namespace
