// The connection's side of a QUIC client for tests: a connected UDP socket
// with one thread of its own. Like the engine's DoQ connection it posts one
// receive at a time, keeps one send in flight, copies each datagram it is
// given, and reports every completion from its thread, never inside the
// call that started it. A script may decide a send's result in its place.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Quorvane/foundation/safe_socket.h"
#include "Quorvane/ngtcp2/quic_client_shadow.h"

class CUdpShadowSocket : public CQuicClientShadowSocketInterface {
 public:
  // The socket is made for the server's family and left unconnected: the
  // client connects it. Null when no socket can be made.
  static std::shared_ptr<CUdpShadowSocket> Create(const sockaddr_storage& server, std::wstring serverText);
  ~CUdpShadowSocket() override;

  // The client, held as the connection holds it; Attach before the first receive.
  void Attach(std::shared_ptr<CQuicClientShadow> client);
  std::shared_ptr<CQuicClientShadow> Client();
  // Releases the client (the connection dropping it).
  void Detach();
  const std::shared_ptr<CSafeSocket>& Socket() const { return m_socket; }

  int Receive() override;
  int Send(const uint8_t* data, int length) override;
  void Shutdown() override;

  // Called for every Send with its number (from 0); a value is returned as
  // the result without sending, and 0 then still completes later, as a
  // send in flight does. Set before the client exists.
  std::function<std::optional<int>(size_t index)> sendScript;
  // Runs at the start of every Shutdown, on the caller's thread; may be set
  // while the client runs.
  void SetShutdownHook(std::function<void()> hook);

  size_t Sends() const { return m_sends; }
  // Every datagram given to Send, in order, refused ones included.
  std::vector<std::vector<uint8_t>> Attempts() const;
  size_t SendsAfterShutdown() const { return m_sendsAfterShutdown; }
  bool IsShutDown() const;

  struct SState;

 private:
  CUdpShadowSocket(std::shared_ptr<CSafeSocket> socket, std::wstring serverText);

  std::shared_ptr<CSafeSocket> m_socket;
  std::shared_ptr<SState> m_state;
  std::thread m_thread;
  std::atomic<size_t> m_sends{0};
  std::atomic<size_t> m_sendsAfterShutdown{0};
};
