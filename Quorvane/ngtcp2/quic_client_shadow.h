// The two faces between a DNS-over-QUIC connection and its QUIC client. The
// connection owns the client through CQuicClientShadow; the client reaches
// the connection's UDP socket only through CQuicClientShadowSocketInterface,
// held weakly, so a connection that is gone is never touched.
//
// Threads: the socket's completions arrive on the engine's worker, queries on
// dispatching threads, timers on the thread pool; the client serialises them.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Quorvane/foundation/safe_socket.h"
#include "Quorvane/platform/system_errors.h"
#include "Quorvane/foundation/safe_timer.h"
#include "Quorvane/transports/protocol_data_processor.h"

// Results of Receive and Send.
constexpr int kQuicSocketOk = 0;            // sent; for Receive: one was already posted
constexpr int kQuicSocketWouldBlock = platform::WSAEWOULDBLOCK;  // Receive: posted now; Send: a send is in flight
constexpr int kQuicSocketShutDown = 676;    // the socket is shut down
constexpr int kQuicSocketMessageSize = platform::WSAEMSGSIZE;
constexpr int kQuicSocketShutdownError = platform::WSAESHUTDOWN;

class CQuicClientShadowSocketInterface {
 public:
  virtual ~CQuicClientShadowSocketInterface() = default;
  // Posts the one receive; the datagram comes back through the client's
  // OnDataReceived, never inside this call.
  virtual int Receive() = 0;
  // Sends one datagram; its completion comes back through the client's
  // OnSendCompleted, never inside this call. Any other result is a Winsock
  // error number.
  virtual int Send(const uint8_t* data, int length) = 0;
  // Ends pending I/O: the posted receive fails and the connection aborts.
  virtual void Shutdown() = 0;
};

class CQuicClientShadow {
 public:
  virtual ~CQuicClientShadow() = default;
  // source is not read. True when the datagram was taken.
  virtual bool OnDataReceived(const std::shared_ptr<CSafeSocket>& socket, const uint8_t* data, size_t length,
                              const sockaddr_storage* source) = 0;
  // Writes what waited behind the finished send.
  virtual bool OnSendCompleted() = 0;
  // Fails every query given to the client with the text, then disconnects.
  virtual bool Abort(const std::wstring& text) = 0;
  virtual bool SendPending() = 0;
  // False once the client is disconnecting.
  virtual bool SendRequest(const std::vector<uint8_t>& query, std::shared_ptr<CProtocolDataProcessor> handler) = 0;
  virtual std::shared_ptr<CSafeTimer> GetTimer() = 0;
  virtual bool Close() = 0;
  virtual void Disconnect() = 0;
};
