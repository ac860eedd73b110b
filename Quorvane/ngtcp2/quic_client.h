// CQuicClient: one DNS-over-QUIC connection on ngtcp2, its TLS 1.3 session on
// GnuTLS (through libngtcp2_crypto_gnutls) in place of BoringSSL. It owns no
// socket: datagrams go through the connection's socket interface.
//
// Start here: quic_client.cc makes the client (Create, Connect, Init,
// InitTls); quic_client_io.cc moves packets, timers and streams and holds the
// callback table; quic_client_tls.cc checks the server after its handshake.
//
// Linux differences: ngtcp2 0.12.1 gets the real sockaddr length, never 128,
// while the certificate-cache key keeps the 128 padded bytes; GnuTLS needs
// "doq" checked by us after the handshake.
//
// Threads: every entry takes the recursive m_mutex through CClientLock.
// Nothing re-enters ngtcp2 from its callbacks: they record a write or a
// disconnect, done once read_pkt, writev_stream or handle_expiry returns.
// Handlers are called only after the outermost release of m_mutex, in the
// order their deliveries were queued, so a handler may submit to this client
// or take a transport pool's lock.
#pragma once

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Quorvane/ngtcp2/quic_client_config.h"
#include "Quorvane/ngtcp2/quic_client_shadow.h"

// An address as the client stores it: the full 128-byte record, and the
// length of the family's real sockaddr.
struct SQuicAddress {
  socklen_t length = 0;
  sockaddr_storage address{};
  uint32_t interfaceIndex = 0;
};

// The parts freed last, after everything of CQuicClient.
class ClientBase {
 public:
  virtual ~ClientBase();

 protected:
  gnutls_session_t m_session = nullptr;
  gnutls_priority_t m_priority = nullptr;
  std::shared_ptr<ngtcp2_conn> m_conn;
  ngtcp2_connection_close_error m_closeError{};
  CQuicClientConfig m_config;
};

class CQuicClient : public ClientBase, public CQuicClientShadow {
 public:
  // Empty on any failure, after logging it.
  static std::shared_ptr<CQuicClientShadow> Create(const std::shared_ptr<CSafeSocket>& socket,
                                                   const std::shared_ptr<CQuicClientShadowSocketInterface>& face,
                                                   const std::wstring& hostName, const sockaddr_storage& server);

  CQuicClient(const CQuicClientConfig& config, uint32_t version,
              const std::shared_ptr<CQuicClientShadowSocketInterface>& face, gnutls_priority_t priority);
  ~CQuicClient() override;
  CQuicClient(const CQuicClient&) = delete;
  CQuicClient& operator=(const CQuicClient&) = delete;

  // CQuicClientShadow.
  bool OnDataReceived(const std::shared_ptr<CSafeSocket>& socket, const uint8_t* data, size_t length,
                      const sockaddr_storage* source) override;
  bool OnSendCompleted() override;
  bool Abort(const std::wstring& text) override;
  bool SendPending() override { return OnSendCompleted(); }
  bool SendRequest(const std::vector<uint8_t>& query, std::shared_ptr<CProtocolDataProcessor> handler) override;
  std::shared_ptr<CSafeTimer> GetTimer() override { return m_expiryTimer; }
  bool Close() override;
  void Disconnect() override;

  // 0 or -1: connects the socket to the server, then Init.
  int Connect(const std::shared_ptr<CSafeSocket>& socket, const sockaddr_storage& server,
              const std::wstring& hostName);
  // 0 or -1.
  int Init(const std::shared_ptr<CSafeSocket>& socket, const SQuicAddress& local, const SQuicAddress& remote,
           const std::wstring& hostName);
  int InitTls();

  // Library callbacks (quic_client_io.cc, quic_client_tls.cc): 0 or -502.
  int OnHandshakeCompleted();
  int OnHandshakeConfirmed();
  int OnVersionNegotiation(const uint32_t* versions, size_t count);
  int OnStreamData(uint32_t flags, int64_t streamId, const uint8_t* data, size_t length);
  int OnStreamClose(uint32_t flags, int64_t streamId, uint64_t errorCode);
  int OnExtendMaxStreamData(int64_t streamId);
  int OnNewConnectionId(ngtcp2_cid* cid, uint8_t* token, size_t length);
  int OnKeyUpdate(uint8_t* rxSecret, uint8_t* txSecret, ngtcp2_crypto_aead_ctx* rxAeadCtx, uint8_t* rxIv,
                  ngtcp2_crypto_aead_ctx* txAeadCtx, uint8_t* txIv, const uint8_t* currentRxSecret,
                  const uint8_t* currentTxSecret, size_t secretLength);
  int OnPathValidation(uint32_t flags, const ngtcp2_path* path, ngtcp2_path_validation_result result);
  int OnExtendMaxLocalStreams();
  static void OnRandom(uint8_t* dest, size_t length, const ngtcp2_rand_ctx* context);

  // The number of key updates the library installed.
  uint32_t KeyUpdates();

 private:
  friend class CClientLock;
  struct SRequest {
    std::vector<uint8_t> query;
    std::shared_ptr<CProtocolDataProcessor> handler;
  };
  struct SStream {
    std::vector<uint8_t> query;
    std::shared_ptr<CProtocolDataProcessor> handler;
    int64_t id = -1;
    std::vector<uint8_t> toSend;
    size_t sent = 0;                     // bytes of toSend the library took
    std::vector<uint8_t> received;       // the answer so far
    bool finished = false;               // the server's FIN arrived
  };
  // A handler call waiting for the outermost release of m_mutex.
  struct SDelivery {
    std::shared_ptr<CProtocolDataProcessor> handler;
    std::vector<uint8_t> bytes;
    bool error = false;  // OnError(text) instead of ProcessAnswer(bytes)
    std::wstring text;
  };
  struct SEndpoint {
    SQuicAddress local;
    std::shared_ptr<CSafeSocket> socket;
  };

  void Lock();
  void Unlock();

  int OnRead(const std::shared_ptr<CSafeSocket>& socket, const uint8_t* data, size_t length);
  int OnWrite();
  int WriteStreams();
  // closing: the CONNECTION_CLOSE, which still goes out while closing.
  int SendPacket(const uint8_t* data, size_t length, bool closing = false);
  void Deliver(SDelivery& delivery);
  int ResendBlocked();
  void UpdateTimer();
  int OpenStreams();
  int SubmitRequest(SStream& stream);
  void DisconnectLocked();
  void ShutdownSocket();
  int WriteConnectionClose();
  void RecordError(int liberr);
  // Runs what callbacks asked for once the library has returned.
  void AfterLibraryCall();
  void QueueAnswer(const std::shared_ptr<CProtocolDataProcessor>& handler, std::vector<uint8_t> bytes);
  void QueueError(const std::shared_ptr<CProtocolDataProcessor>& handler, const std::wstring& text);
  std::shared_ptr<CQuicClientShadowSocketInterface> LockSocket();
  // Drops a socket reference; inside a timer callback a last one goes to
  // another thread, whose destruction of the client may wait for this timer.
  static void ReleaseSocket(std::shared_ptr<CQuicClientShadowSocketInterface>& face);
  ngtcp2_path Path(sockaddr_storage& local, socklen_t localLength);

  static void OnExpiryTimer(void* argument);
  static void OnKeyUpdateTimer(void* argument);
  static void OnUnusedTimer(void*) {}

  // Certificate check (quic_client_tls.cc).
  bool CheckAlpn();
  void CheckServerCertificate();

  std::recursive_mutex m_mutex;
  int m_lockDepth = 0;                  // under m_mutex
  bool m_delivering = false;            // under m_mutex: one thread hands out deliveries
  std::deque<SDelivery> m_deliveries;   // under m_mutex
  std::weak_ptr<CQuicClientShadowSocketInterface> m_socket;
  std::vector<SRequest> m_requests;
  bool m_closing = false;
  std::vector<SEndpoint> m_endpoints;
  SQuicAddress m_remoteAddress;
  std::shared_ptr<CSafeTimer> m_expiryTimer;
  std::shared_ptr<CSafeTimer> m_addressChangeTimer;
  std::shared_ptr<CSafeTimer> m_keyUpdateTimer;
  std::shared_ptr<CSafeTimer> m_delayedStreamTimer;
  std::map<int64_t, SStream> m_streams;
  std::set<int64_t> m_sendQueue;
  std::vector<uint32_t> m_offeredVersions;
  std::string m_hostNameUtf8;
  std::wstring m_hostName;
  uint32_t m_nextRequest = 0;
  uint32_t m_closedStreams = 0;
  uint32_t m_keyUpdates = 0;
  uint32_t m_version;
  uint32_t m_originalVersion;
  bool m_handshakeConfirmed = false;
  bool m_handshakeCompleted = false;
  bool m_sendBlocked = false;
  size_t m_blockedLength = 0;           // the waiting datagram, at the start of m_txBuffer
  // Intents recorded inside library callbacks (see the header's note).
  int m_libraryDepth = 0;
  bool m_writeWanted = false;
  bool m_disconnectWanted = false;
  bool m_errorRecorded = false;         // m_closeError holds a failure
  bool m_closeBlocked = false;          // the waiting datagram is the CONNECTION_CLOSE
  ngtcp2_crypto_conn_ref m_connRef{};
  std::vector<uint8_t> m_txBuffer;      // 65536 bytes
};

// Holds the client's m_mutex; the outermost release hands out the queued
// deliveries.
class CClientLock {
 public:
  explicit CClientLock(CQuicClient* client) : m_client(client) { m_client->Lock(); }
  ~CClientLock() { m_client->Unlock(); }
  CClientLock(const CClientLock&) = delete;
  CClientLock& operator=(const CClientLock&) = delete;

 private:
  CQuicClient* m_client;
};
