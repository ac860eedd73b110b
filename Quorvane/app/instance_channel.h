// One running copy per user, and the way a second copy reaches it: in place
// of the named mutex, FindWindow and SendMessage/WM_COPYDATA.
//
// The lock is flock(LOCK_EX|LOCK_NB) on a file that stays open for the life
// of the process, so the kernel drops it when the process dies, however it
// dies. The file is opened without O_CREAT first: with fs.protected_regular
// the kernel refuses O_CREAT on another user's file in a sticky folder such
// as /run/lock, even when the file would open. Only ENOENT creates it
// (O_EXCL, mode 0666, so any user's copy can take the lock later).
//
// The "window" is a Unix socket "instance.sock" in a folder of mode 0700;
// the socket is 0600 and the server also checks the peer's uid. One request
// per connection: a fixed header and at most kMaxPayload bytes, answered
// with the handler's result. A client that gets no answer within 5 s takes
// it as 0. The server binds only while it holds the lock, so a socket file
// it finds there is a leftover of a copy that died: it is unlinked first.
// Server calls run on the UI thread; the client on any.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

constexpr unsigned WM_COPYDATA = 0x4A;
constexpr unsigned WM_ACTIVATE_INSTANCE = 0x400 + 0x6E;
constexpr uint32_t COPYDATA_LOAD_CONFIG_SHOW = 1911;
constexpr uint32_t COPYDATA_LOAD_CONFIG_SILENT = 1912;

class CInstanceLock {
 public:
  enum class EResult { Taken, Held, Failed };

  CInstanceLock() = default;
  ~CInstanceLock();
  CInstanceLock(const CInstanceLock&) = delete;
  CInstanceLock& operator=(const CInstanceLock&) = delete;

  // Failed leaves the errno in Error().
  EResult Take(const std::filesystem::path& file);
  int Error() const { return m_error; }

 private:
  int m_fd = -1;
  int m_error = 0;
};

// A request as the receiving window sees it.
struct SInstanceRequest {
  uint32_t message = 0;  // WM_ACTIVATE_INSTANCE or WM_COPYDATA
  uint64_t wParam = 0;
  uint32_t dwData = 0;           // WM_COPYDATA only
  std::vector<uint8_t> payload;  // WM_COPYDATA only: cbData bytes
};

class CInstanceChannel {
 public:
  static constexpr uint32_t kMaxPayload = 65536;
  static constexpr int kReplyWaitMs = 5000;

  using Handler = std::function<int64_t(const SInstanceRequest&)>;

  ~CInstanceChannel();

  // Sends one request. No value when no copy listens on socket (no such
  // "window"); else its reply, or 0 when none came in time.
  static std::optional<int64_t> Send(const std::filesystem::path& socket, const SInstanceRequest& request);

  // Creates the folder (0700), unlinks a leftover socket and listens. False
  // with errno on failure.
  bool Listen(const std::filesystem::path& socket);
  // The listening descriptor, for the UI loop's notifier; -1 when none.
  int Descriptor() const { return m_listen; }
  // Accepts and serves the connections that wait; bounded reads.
  void ServePending(const Handler& handler);
  void Close();

 private:
  int m_listen = -1;
  std::filesystem::path m_path;
};

// The wide path as WM_COPYDATA carries it: UTF-16LE with its terminator.
std::vector<uint8_t> EncodeCopyDataPath(const std::wstring& path);
// The text up to its terminator within payload (all of it when none).
std::wstring DecodeCopyDataPath(const std::vector<uint8_t>& payload);
