#include "Quorvane/foundation/safe_socket.h"

#include <sys/socket.h>
#include <unistd.h>

namespace {

std::atomic<SocketPurgeHook> g_socketPurgeHook{nullptr};

}  // namespace

void SetSocketPurgeHook(SocketPurgeHook hook) { g_socketPurgeHook = hook; }

void CloseSocketHandle(SOCKET socket) {
  ::shutdown(socket, SHUT_RDWR);
  if (SocketPurgeHook hook = g_socketPurgeHook.load()) hook(socket);
  ::close(socket);
}

std::shared_ptr<CSafeSocket> CSafeSocket::Create(int family, int type, int protocol) {
  SOCKET s = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (s == INVALID_SOCKET) return nullptr;
  return std::make_shared<CSafeSocket>(s);
}

CSafeSocket::~CSafeSocket() {
  if (!m_closed.exchange(true)) {
    CloseSocketHandle(m_socket.exchange(INVALID_SOCKET));
  }
}
