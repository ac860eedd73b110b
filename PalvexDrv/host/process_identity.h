// Who is behind a socket: the process that holds its inode, that process's
// image path as the platform's application id, and the user's SID.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The binary SID of a Unix user as the platform writes it: revision 1, two
// sub-authorities, authority 22, then 1 and the uid ("S-1-22-1-uid").
std::vector<uint8_t> UnixUserSid(uint32_t uid);

// UTF-8 as UTF-16LE bytes with a terminating NUL (two zero bytes). A byte
// that starts no valid sequence becomes U+FFFD.
std::vector<uint8_t> Utf16LeWithNul(std::string_view utf8);

// The target of <proc>/<pid>/exe; nothing when the process is gone or the
// link cannot be read.
std::optional<std::string> ProcessImagePath(pid_t pid, const std::filesystem::path& proc = "/proc");

// Finds the process holding a socket inode: first in the hinted process
// (the program opens one upstream socket per query, so its sockets are the
// common case), then in a cache of every process's sockets, rebuilt once
// on a miss. Safe from any thread.
// In the hinted process a new socket is looked for first among descriptors
// that are new or changed lately; those that have held the same thing for
// kStableMs come last, so its long-lived descriptors are read only when the
// socket is not elsewhere. The answer is the same either way.
class CSocketOwnerFinder {
 public:
  static constexpr int64_t kStableMs = 2000;

  explicit CSocketOwnerFinder(std::filesystem::path proc = "/proc", int64_t stableMs = kStableMs)
      : m_proc(std::move(proc)), m_stableMs(stableMs) {}
  std::optional<pid_t> Find(uint64_t inode, pid_t hint);
  size_t Rebuilds() const;  // how often the whole of /proc was read

 private:
  // What a descriptor of the hinted process held when last read.
  struct SHintFd {
    uint64_t inode;  // its socket's inode; 0 for anything else
    int64_t since;   // steady milliseconds since when it has held that
  };

  bool ProcessHolds(pid_t pid, uint64_t inode) const;
  bool HintHolds(pid_t pid, uint64_t inode);
  void Rebuild();

  const std::filesystem::path m_proc;
  const int64_t m_stableMs;
  mutable std::mutex m_mutex;  // everything below
  std::unordered_map<uint64_t, pid_t> m_cache;
  size_t m_rebuilds = 0;
  pid_t m_hintPid = 0;
  std::unordered_map<int, SHintFd> m_hintFds;  // by descriptor, of m_hintPid
};
