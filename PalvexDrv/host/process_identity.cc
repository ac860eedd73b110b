#include "PalvexDrv/host/process_identity.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The inode of a "socket:[N]" link target, else 0.
uint64_t SocketInode(const char* target) {
  constexpr std::string_view prefix = "socket:[";
  if (std::strncmp(target, prefix.data(), prefix.size()) != 0) return 0;
  return std::strtoull(target + prefix.size(), nullptr, 10);
}

// The socket inode behind a descriptor entry of an fd folder, else 0.
uint64_t EntrySocketInode(int folder, const char* name) {
  char target[64];
  ssize_t n = readlinkat(folder, name, target, sizeof(target) - 1);
  if (n <= 0) return 0;
  target[n] = 0;
  return SocketInode(target);
}

template <typename Visit>
void ForEachSocket(const std::filesystem::path& fdFolder, Visit visit) {
  DIR* folder = opendir(fdFolder.c_str());
  if (!folder) return;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    if (uint64_t inode = EntrySocketInode(dirfd(folder), entry->d_name)) {
      if (!visit(inode)) break;
    }
  }
  closedir(folder);
}

void PutUtf16(std::vector<uint8_t>& out, uint32_t unit) {
  out.push_back(static_cast<uint8_t>(unit));
  out.push_back(static_cast<uint8_t>(unit >> 8));
}

}  // namespace

std::vector<uint8_t> UnixUserSid(uint32_t uid) {
  std::vector<uint8_t> sid = {1, 2, 0, 0, 0, 0, 0, 22};
  PutU32(sid, 1);
  PutU32(sid, uid);
  return sid;
}

std::vector<uint8_t> Utf16LeWithNul(std::string_view utf8) {
  std::vector<uint8_t> out;
  size_t i = 0;
  while (i < utf8.size()) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(utf8[k]); };
    uint8_t lead = byte(i);
    size_t count = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 9;
    uint32_t code = count == 0 ? lead : count == 1 ? lead & 0x1F : count == 2 ? lead & 0x0F : lead & 0x07;
    bool valid = count <= 3;
    for (size_t k = 1; valid && k <= count; ++k) {
      if (i + k >= utf8.size() || (byte(i + k) & 0xC0) != 0x80) valid = false;
      else code = code << 6 | (byte(i + k) & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (valid && (code < kMin[count] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) valid = false;
    if (!valid) {
      PutUtf16(out, 0xFFFD);
      ++i;
      continue;
    }
    i += count + 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      PutUtf16(out, 0xD800 | (code >> 10));
      PutUtf16(out, 0xDC00 | (code & 0x3FF));
    } else {
      PutUtf16(out, code);
    }
  }
  PutUtf16(out, 0);
  return out;
}

std::optional<std::string> ProcessImagePath(pid_t pid, const std::filesystem::path& proc) {
  std::string link = (proc / std::to_string(pid) / "exe").string();
  char target[PATH_MAX];
  ssize_t n = readlink(link.c_str(), target, sizeof(target));
  if (n <= 0 || n == static_cast<ssize_t>(sizeof(target))) return std::nullopt;
  return std::string(target, static_cast<size_t>(n));
}

bool CSocketOwnerFinder::ProcessHolds(pid_t pid, uint64_t inode) const {
  bool found = false;
  ForEachSocket(m_proc / std::to_string(pid) / "fd", [&](uint64_t held) {
    found = held == inode;
    return !found;
  });
  return found;
}

bool CSocketOwnerFinder::HintHolds(pid_t pid, uint64_t inode) {
  if (pid != m_hintPid) {
    m_hintFds.clear();
    m_hintPid = pid;
  }
  DIR* folder = opendir((m_proc / std::to_string(pid) / "fd").c_str());
  if (!folder) return false;
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch()).count();
  auto holds = [&](int fd, const char* name) {
    uint64_t held = EntrySocketInode(dirfd(folder), name);
    auto [it, added] = m_hintFds.try_emplace(fd, SHintFd{held, now});
    if (!added && it->second.inode != held) it->second = {held, now};
    return held == inode;
  };
  std::vector<int> stable;
  bool found = false;
  while (!found) {
    dirent* entry = readdir(folder);
    if (!entry) break;
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    auto known = m_hintFds.find(fd);
    if (known != m_hintFds.end() && now - known->second.since >= m_stableMs) {
      stable.push_back(fd);
      continue;
    }
    found = holds(fd, entry->d_name);
  }
  for (size_t i = 0; !found && i < stable.size(); ++i) found = holds(stable[i], std::to_string(stable[i]).c_str());
  closedir(folder);
  return found;
}

void CSocketOwnerFinder::Rebuild() {
  m_cache.clear();
  ++m_rebuilds;
  DIR* proc = opendir(m_proc.c_str());
  if (!proc) return;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != 0 || pid <= 0) continue;
    ForEachSocket(m_proc / entry->d_name / "fd", [&](uint64_t inode) {
      m_cache.emplace(inode, static_cast<pid_t>(pid));
      return true;
    });
  }
  closedir(proc);
}

std::optional<pid_t> CSocketOwnerFinder::Find(uint64_t inode, pid_t hint) {
  std::lock_guard lock(m_mutex);
  if (hint > 0 && HintHolds(hint, inode)) return hint;
  auto cached = m_cache.find(inode);
  // A cached owner may have closed the socket since; trust it only while it
  // still holds the inode.
  if (cached != m_cache.end() && ProcessHolds(cached->second, inode)) return cached->second;
  Rebuild();
  cached = m_cache.find(inode);
  if (cached == m_cache.end()) return std::nullopt;
  return cached->second;
}

size_t CSocketOwnerFinder::Rebuilds() const {
  std::lock_guard lock(m_mutex);
  return m_rebuilds;
}
