// A socket shared by several owners and closed exactly once, when the last
// owner lets go. Always held by std::shared_ptr.
//
// Every close goes through CloseSocketHandle. Linux reuses a descriptor
// number at once, so the completion port installs a purge hook there (at
// start-up, before any socket exists) that drops the socket's pending
// operations before close(); without a hook the socket is just closed.
#pragma once

#include <atomic>
#include <memory>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;

// Called with the descriptor after its shutdown and right before close().
using SocketPurgeHook = void (*)(SOCKET socket);
// nullptr removes the hook.
void SetSocketPurgeHook(SocketPurgeHook hook);
// shutdown(SHUT_RDWR), the purge hook, close().
void CloseSocketHandle(SOCKET socket);

class CSafeSocket {
 public:
  // Empty when socket() fails; errno tells why.
  static std::shared_ptr<CSafeSocket> Create(int family, int type, int protocol);
  explicit CSafeSocket(SOCKET socket) : m_socket(socket) {}
  ~CSafeSocket();
  CSafeSocket(const CSafeSocket&) = delete;
  CSafeSocket& operator=(const CSafeSocket&) = delete;

  // Owners may shutdown() it to end pending I/O early; only the destructor closes it.
  SOCKET Handle() const { return m_socket; }

 private:
  std::atomic<SOCKET> m_socket;
  std::atomic<bool> m_closed{false};
};
