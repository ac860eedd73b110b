#include "tests/ngtcp2/udp_shadow_socket.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

struct CUdpShadowSocket::SState {
  std::mutex mutex;
  std::shared_ptr<CQuicClientShadow> client;  // under mutex
  std::shared_ptr<CSafeSocket> socket;
  std::wstring serverText;
  int wake = -1;
  bool receivePosted = false;                 // under mutex
  bool sendBusy = false;                      // under mutex
  bool closed = false;                        // under mutex
  bool stop = false;                          // under mutex
  std::vector<std::vector<uint8_t>> attempts; // under mutex
  std::function<void()> shutdownHook;         // under mutex

  void Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof(one));
  }
  void Run();
};

void CUdpShadowSocket::SState::Run() {
  std::vector<uint8_t> buffer(2048);
  for (;;) {
    bool wantRead, haveSend, shutDown;
    {
      std::lock_guard lock(mutex);
      if (stop) return;
      wantRead = receivePosted && !closed;
      haveSend = sendBusy;
      shutDown = closed && receivePosted;
    }
    std::shared_ptr<CQuicClientShadow> target;
    {
      std::lock_guard lock(mutex);
      target = client;
    }
    if (shutDown) {
      // The posted receive fails, and the connection aborts its queries.
      {
        std::lock_guard lock(mutex);
        receivePosted = false;
      }
      if (target) target->Abort(L"Could not receive data from " + serverText + L" with error 64");
      continue;
    }
    if (haveSend) {
      {
        std::lock_guard lock(mutex);
        sendBusy = false;
      }
      if (target) target->OnSendCompleted();
      continue;
    }
    pollfd fds[2] = {{wake, POLLIN, 0}, {wantRead ? socket->Handle() : -1, POLLIN, 0}};
    ::poll(fds, 2, 1000);
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(wake, &count, sizeof(count));
    }
    if (wantRead && (fds[1].revents & (POLLIN | POLLERR))) {
      ssize_t n = ::recv(socket->Handle(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      {
        std::lock_guard lock(mutex);
        receivePosted = false;
      }
      if (n <= 0) {
        // A refused datagram (ICMP) fails the receive, as on the engine's socket.
        if (target) target->Abort(L"Could not receive data from " + serverText + L" with error 1234");
        continue;
      }
      if (target) target->OnDataReceived(socket, buffer.data(), static_cast<size_t>(n), nullptr);
    }
  }
}

std::shared_ptr<CUdpShadowSocket> CUdpShadowSocket::Create(const sockaddr_storage& server, std::wstring serverText) {
  auto socket = CSafeSocket::Create(server.ss_family, SOCK_DGRAM, IPPROTO_UDP);
  if (!socket) return nullptr;
  return std::shared_ptr<CUdpShadowSocket>(new CUdpShadowSocket(std::move(socket), std::move(serverText)));
}

CUdpShadowSocket::CUdpShadowSocket(std::shared_ptr<CSafeSocket> socket, std::wstring serverText)
    : m_socket(std::move(socket)), m_state(std::make_shared<SState>()) {
  m_state->socket = m_socket;
  m_state->serverText = std::move(serverText);
  m_state->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m_thread = std::thread([state = m_state] { state->Run(); });
}

CUdpShadowSocket::~CUdpShadowSocket() {
  std::shared_ptr<CQuicClientShadow> client;
  {
    std::lock_guard lock(m_state->mutex);
    m_state->stop = true;
    client.swap(m_state->client);
  }
  m_state->Wake();
  // Released last on our own thread: that thread ends by itself.
  if (m_thread.get_id() == std::this_thread::get_id()) {
    m_thread.detach();
  } else {
    m_thread.join();
  }
  client.reset();
  ::close(m_state->wake);
}

void CUdpShadowSocket::Attach(std::shared_ptr<CQuicClientShadow> client) {
  std::lock_guard lock(m_state->mutex);
  m_state->client = std::move(client);
}

std::shared_ptr<CQuicClientShadow> CUdpShadowSocket::Client() {
  std::lock_guard lock(m_state->mutex);
  return m_state->client;
}

void CUdpShadowSocket::Detach() {
  std::shared_ptr<CQuicClientShadow> client;
  std::lock_guard lock(m_state->mutex);
  client.swap(m_state->client);
}

int CUdpShadowSocket::Receive() {
  std::lock_guard lock(m_state->mutex);
  if (m_state->closed) return kQuicSocketShutDown;
  if (m_state->receivePosted) return kQuicSocketOk;
  m_state->receivePosted = true;
  m_state->Wake();
  return kQuicSocketWouldBlock;
}

int CUdpShadowSocket::Send(const uint8_t* data, int length) {
  size_t index = m_sends++;
  std::lock_guard lock(m_state->mutex);
  m_state->attempts.emplace_back(data, data + length);
  if (m_state->closed) {
    ++m_sendsAfterShutdown;
    return kQuicSocketShutDown;
  }
  if (m_state->sendBusy) return kQuicSocketWouldBlock;
  std::optional<int> scripted = sendScript ? sendScript(index) : std::nullopt;
  if (scripted && *scripted != kQuicSocketOk) return *scripted;
  m_state->sendBusy = true;
  // The kernel copies the datagram at once; only the completion is deferred.
  if (!scripted) ::send(m_socket->Handle(), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  m_state->Wake();
  return kQuicSocketOk;
}

void CUdpShadowSocket::SetShutdownHook(std::function<void()> hook) {
  std::lock_guard lock(m_state->mutex);
  m_state->shutdownHook = std::move(hook);
}

void CUdpShadowSocket::Shutdown() {
  std::function<void()> hook;
  {
    std::lock_guard lock(m_state->mutex);
    hook = m_state->shutdownHook;
  }
  if (hook) hook();
  std::lock_guard lock(m_state->mutex);
  if (m_state->closed) return;
  m_state->closed = true;
  ::shutdown(m_socket->Handle(), SHUT_RDWR);
  m_state->Wake();
}

bool CUdpShadowSocket::IsShutDown() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->closed;
}

std::vector<std::vector<uint8_t>> CUdpShadowSocket::Attempts() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->attempts;
}
