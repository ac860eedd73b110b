// Packets, timers and streams of CQuicClient, and its callback table.
#include <ngtcp2/ngtcp2_crypto.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <iostream>
#include <chrono>
#include <cstring>
#include <thread>

#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/ngtcp2/quic_client.h"
#include "Quorvane/platform/system_errors.h"

namespace {

constexpr int kSendLater = -11;   // keep the datagram, the send is busy or the socket gone
constexpr int kSendFailed = -10;
constexpr size_t kMaxDatagramsPerWrite = 10;
constexpr size_t kCloseBufferSize = 1200;
// ngtcp2 reports "no expiry" as UINT64_MAX; the timer takes at most a day.
constexpr int64_t kMaxTimerMs = 86'400'000;

// Set while a thread runs one of the client's timer callbacks.
thread_local bool t_inTimerCallback = false;

struct CTimerScope {
  CTimerScope() { t_inTimerCallback = true; }
  ~CTimerScope() { t_inTimerCallback = false; }
};

uint64_t NowNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

std::wstring WinsockText(uint32_t code) {
  std::wstring message = platform::SystemErrorMessage(code);
  std::wstring text = L"(" + std::to_wstring(code) + L") ";
  return message.empty() ? std::to_wstring(code) : text + message;
}

CQuicClient* Client(void* userData) { return static_cast<CQuicClient*>(userData); }

// A developer's trace on standard output, which the program does not show.
void SummariseQuery(const std::vector<uint8_t>& query) {
  SDnsMessageInfo info;
  std::vector<SDnsAnswerAddress> addresses;
  std::string text;
  if (ParseDnsReply(query.data(), query.size(), DnsAnyKind, info, addresses, text) != DnsParseOk) return;
  std::cout << "Request name " << info.name.name << " answers " << info.rrCount << "\n";
  for (const SDnsAnswerAddress& address : addresses) {
    char buffer[INET6_ADDRSTRLEN] = {};
    const void* bytes = address.address.ss_family == AF_INET6
                            ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&address.address)->sin6_addr)
                            : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&address.address)->sin_addr);
    inet_ntop(address.address.ss_family, bytes, buffer, sizeof(buffer));
    std::cout << "Answer " << buffer << "\n";
  }
}

int Callback(int result) { return result == 0 ? 0 : NGTCP2_ERR_CALLBACK_FAILURE; }

// Trampolines: cast, call the member, map failure.
int HandshakeCompleted(ngtcp2_conn*, void* user) { return Callback(Client(user)->OnHandshakeCompleted()); }
int HandshakeConfirmed(ngtcp2_conn*, void* user) { return Callback(Client(user)->OnHandshakeConfirmed()); }
int RecvVersionNegotiation(ngtcp2_conn*, const ngtcp2_pkt_hd*, const uint32_t* sv, size_t nsv, void* user) {
  return Callback(Client(user)->OnVersionNegotiation(sv, nsv));
}
int HpMask(uint8_t* dest, const ngtcp2_crypto_cipher* hp, const ngtcp2_crypto_cipher_ctx* hpCtx,
           const uint8_t* sample) {
  return Callback(ngtcp2_crypto_hp_mask_cb(dest, hp, hpCtx, sample));
}
int RecvStreamData(ngtcp2_conn*, uint32_t flags, int64_t id, uint64_t, const uint8_t* data, size_t length,
                   void* user, void*) {
  return Callback(Client(user)->OnStreamData(flags, id, data, length));
}
int AckedStreamDataOffset(ngtcp2_conn*, int64_t, uint64_t, uint64_t, void*, void*) { return 0; }
int StreamClose(ngtcp2_conn*, uint32_t flags, int64_t id, uint64_t code, void* user, void*) {
  return Callback(Client(user)->OnStreamClose(flags, id, code));
}
int ExtendMaxLocalStreamsBidi(ngtcp2_conn*, uint64_t, void* user) {
  return Callback(Client(user)->OnExtendMaxLocalStreams());
}
int GetNewConnectionId(ngtcp2_conn*, ngtcp2_cid* cid, uint8_t* token, size_t length, void* user) {
  return Callback(Client(user)->OnNewConnectionId(cid, token, length));
}
int RemoveConnectionId(ngtcp2_conn*, const ngtcp2_cid*, void*) { return 0; }
int UpdateKey(ngtcp2_conn*, uint8_t* rxSecret, uint8_t* txSecret, ngtcp2_crypto_aead_ctx* rxAeadCtx, uint8_t* rxIv,
              ngtcp2_crypto_aead_ctx* txAeadCtx, uint8_t* txIv, const uint8_t* currentRxSecret,
              const uint8_t* currentTxSecret, size_t secretLength, void* user) {
  return Callback(Client(user)->OnKeyUpdate(rxSecret, txSecret, rxAeadCtx, rxIv, txAeadCtx, txIv, currentRxSecret,
                                            currentTxSecret, secretLength));
}
int PathValidation(ngtcp2_conn*, uint32_t flags, const ngtcp2_path* path, ngtcp2_path_validation_result result,
                   void* user) {
  return Callback(Client(user)->OnPathValidation(flags, path, result));
}
int ExtendMaxStreamData(ngtcp2_conn*, int64_t id, uint64_t, void* user, void*) {
  return Callback(Client(user)->OnExtendMaxStreamData(id));
}
int RecvNewToken(ngtcp2_conn*, const ngtcp2_vec*, void*) { return 0; }

}  // namespace

// In 0.12.1's field order. select_preferred_addr stays empty: the client
// keeps its path, since every datagram goes through the connection's one
// socket anyway.
extern const ngtcp2_callbacks kQuicClientCallbacks;
constexpr ngtcp2_callbacks kQuicClientCallbacks = {
    .client_initial = ngtcp2_crypto_client_initial_cb,
    .recv_client_initial = nullptr,
    .recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb,
    .handshake_completed = HandshakeCompleted,
    .recv_version_negotiation = RecvVersionNegotiation,
    .encrypt = ngtcp2_crypto_encrypt_cb,
    .decrypt = ngtcp2_crypto_decrypt_cb,
    .hp_mask = HpMask,
    .recv_stream_data = RecvStreamData,
    .acked_stream_data_offset = AckedStreamDataOffset,
    .stream_open = nullptr,
    .stream_close = StreamClose,
    .recv_stateless_reset = nullptr,
    .recv_retry = ngtcp2_crypto_recv_retry_cb,
    .extend_max_local_streams_bidi = ExtendMaxLocalStreamsBidi,
    .extend_max_local_streams_uni = nullptr,
    .rand = &CQuicClient::OnRandom,
    .get_new_connection_id = GetNewConnectionId,
    .remove_connection_id = RemoveConnectionId,
    .update_key = UpdateKey,
    .path_validation = PathValidation,
    .select_preferred_addr = nullptr,
    .stream_reset = nullptr,
    .extend_max_remote_streams_bidi = nullptr,
    .extend_max_remote_streams_uni = nullptr,
    .extend_max_stream_data = ExtendMaxStreamData,
    .dcid_status = nullptr,
    .handshake_confirmed = HandshakeConfirmed,
    .recv_new_token = RecvNewToken,
    .delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb,
    .delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb,
    .recv_datagram = nullptr,
    .ack_datagram = nullptr,
    .lost_datagram = nullptr,
    .get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb,
    .stream_stop_sending = nullptr,
    .version_negotiation = ngtcp2_crypto_version_negotiation_cb,
    .recv_rx_key = nullptr,
    .recv_tx_key = nullptr,
    .early_data_rejected = nullptr,
};

// ---- lock and deliveries ----

void CQuicClient::Lock() {
  m_mutex.lock();
  ++m_lockDepth;
}

void CQuicClient::Unlock() {
  if (--m_lockDepth > 0 || m_delivering || m_deliveries.empty()) {
    m_mutex.unlock();
    return;
  }
  // One thread hands out, in queue order, what every thread queued.
  m_delivering = true;
  while (!m_deliveries.empty()) {
    std::deque<SDelivery> batch;
    batch.swap(m_deliveries);
    m_mutex.unlock();
    for (SDelivery& delivery : batch) Deliver(delivery);
    batch.clear();
    m_mutex.lock();
  }
  m_delivering = false;
  m_mutex.unlock();
}

void CQuicClient::Deliver(SDelivery& delivery) {
  if (delivery.error) {
    delivery.handler->OnError(delivery.text);
    return;
  }
  CProcessingResultCode result;
  delivery.handler->ProcessAnswer(result, delivery.bytes.data(), delivery.bytes.size(), true, true);
  if (result.code == CProcessingResultCode::Error) delivery.handler->OnError(result.message);
}

void CQuicClient::QueueAnswer(const std::shared_ptr<CProtocolDataProcessor>& handler, std::vector<uint8_t> bytes) {
  if (handler) m_deliveries.push_back({handler, std::move(bytes), false, L""});
}

void CQuicClient::QueueError(const std::shared_ptr<CProtocolDataProcessor>& handler, const std::wstring& text) {
  if (handler) m_deliveries.push_back({handler, {}, true, text});
}

std::shared_ptr<CQuicClientShadowSocketInterface> CQuicClient::LockSocket() { return m_socket.lock(); }

void CQuicClient::ReleaseSocket(std::shared_ptr<CQuicClientShadowSocketInterface>& face) {
  if (t_inTimerCallback && face && face.use_count() == 1) {
    std::thread([last = std::move(face)]() mutable { last.reset(); }).detach();
    return;
  }
  face.reset();
}

// ---- the shadow face ----

bool CQuicClient::OnDataReceived(const std::shared_ptr<CSafeSocket>& socket, const uint8_t* data, size_t length,
                                 const sockaddr_storage*) {
  CClientLock lock(this);
  int result = OnRead(socket, data, length);
  if (result == 0) OnWrite();
  return result == 0;
}

bool CQuicClient::OnSendCompleted() {
  CClientLock lock(this);
  return OnWrite() == 0;
}

bool CQuicClient::Abort(const std::wstring& text) {
  CClientLock lock(this);
  for (const SRequest& request : m_requests) QueueError(request.handler, text);
  DisconnectLocked();
  return true;
}

bool CQuicClient::SendRequest(const std::vector<uint8_t>& query, std::shared_ptr<CProtocolDataProcessor> handler) {
  CClientLock lock(this);
  if (m_closing || m_disconnectWanted) return false;
  m_requests.push_back({query, std::move(handler)});
  if (m_handshakeCompleted) OpenStreams();
  return true;
}

bool CQuicClient::Close() {
  Disconnect();
  return true;
}

void CQuicClient::Disconnect() {
  CClientLock lock(this);
  DisconnectLocked();
}

// ---- read and write paths ----

void CQuicClient::RecordError(int liberr) {
  if (liberr == NGTCP2_ERR_CRYPTO && m_conn) {
    ngtcp2_connection_close_error_set_transport_error_tls_alert(&m_closeError,
                                                                ngtcp2_conn_get_tls_alert(m_conn.get()), nullptr, 0);
  } else {
    ngtcp2_connection_close_error_set_transport_error_liberr(&m_closeError, liberr, nullptr, 0);
  }
  m_errorRecorded = true;
}

void CQuicClient::AfterLibraryCall() {
  if (m_libraryDepth > 0) return;
  if (m_disconnectWanted) {
    m_disconnectWanted = false;
    m_writeWanted = false;
    DisconnectLocked();
  }
}

int CQuicClient::OnRead(const std::shared_ptr<CSafeSocket>& socket, const uint8_t* data, size_t length) {
  if (m_closing || !m_conn) return -1;
  if (length > 0) {
    sockaddr_storage local{};
    socklen_t localLength = sizeof(local);
    if (!socket || ::getsockname(socket->Handle(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
      if (m_endpoints.empty()) return -1;
      local = m_endpoints.front().local.address;
      localLength = m_endpoints.front().local.length;
    }
    ngtcp2_path path = Path(local, localLength);
    ngtcp2_pkt_info info{};
    ++m_libraryDepth;
    int rv = ngtcp2_conn_read_pkt(m_conn.get(), &path, &info, data, length, NowNs());
    --m_libraryDepth;
    if (rv != 0) {
      if (rv != NGTCP2_ERR_CLOSING) {
        CLogMessage().Append(LogError, L"ngtcp2_conn_read_pkt: ").Append(LogError, ngtcp2_strerror(rv));
      }
      bool always = rv == NGTCP2_ERR_TRANSPORT_PARAM || rv == NGTCP2_ERR_MALFORMED_TRANSPORT_PARAM ||
                    rv == NGTCP2_ERR_REQUIRED_TRANSPORT_PARAM || rv == NGTCP2_ERR_PROTO;
      if (always || !m_errorRecorded) RecordError(rv);
      m_disconnectWanted = false;
      DisconnectLocked();
      return -1;
    }
    AfterLibraryCall();
    if (m_closing) return 0;
  }
  if (auto face = LockSocket()) {
    int posted = face->Receive();
    ReleaseSocket(face);
    if (posted != kQuicSocketOk && posted != kQuicSocketWouldBlock) {
      CLogMessage().Append(LogError, L"recvmsg: ").Append(LogError, WinsockText(static_cast<uint32_t>(posted)));
      DisconnectLocked();
      return 0;
    }
  }
  UpdateTimer();
  return 0;
}

int CQuicClient::OnWrite() {
  if (m_libraryDepth > 0) {
    m_writeWanted = true;
    return 0;
  }
  if (m_closing) {
    // The CONNECTION_CLOSE met a busy send: it goes now.
    if (m_sendBlocked && m_closeBlocked && SendPacket(m_txBuffer.data(), m_blockedLength, true) != kSendLater) {
      m_sendBlocked = m_closeBlocked = false;
      ShutdownSocket();
    }
    return 0;
  }
  m_writeWanted = false;
  if (m_sendBlocked) {
    int result = ResendBlocked();
    if (result != 0) return result;
    if (m_sendBlocked) return 0;
  }
  int result = WriteStreams();
  if (result != 0) return result;
  UpdateTimer();
  return 0;
}

int CQuicClient::WriteStreams() {
  ngtcp2_conn* conn = m_conn.get();
  if (!conn) return -1;
  ngtcp2_path_storage storage;
  ngtcp2_path_storage_zero(&storage);
  ngtcp2_pkt_info info{};
  const size_t maxPayload = std::min(ngtcp2_conn_get_max_tx_udp_payload_size(conn), m_txBuffer.size());
  const uint64_t now = NowNs();
  for (size_t sent = 0; sent < kMaxDatagramsPerWrite;) {
    SStream* stream = nullptr;
    if (!m_sendQueue.empty() && ngtcp2_conn_get_max_data_left(conn) != 0) {
      auto found = m_streams.find(*m_sendQueue.begin());
      if (found == m_streams.end()) {
        m_sendQueue.erase(m_sendQueue.begin());
        continue;
      }
      stream = &found->second;
    }
    ngtcp2_vec data{};
    uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_MORE;
    int64_t streamId = -1;
    if (stream) {
      streamId = stream->id;
      data.base = stream->toSend.data() + stream->sent;
      data.len = stream->toSend.size() - stream->sent;
      flags |= NGTCP2_WRITE_STREAM_FLAG_FIN;  // the query is the whole stream
    }
    ngtcp2_ssize accepted = -1;
    ++m_libraryDepth;
    ngtcp2_ssize written = ngtcp2_conn_writev_stream(conn, &storage.path, &info, m_txBuffer.data(), maxPayload,
                                                     &accepted, flags, streamId, stream ? &data : nullptr,
                                                     stream ? 1 : 0, now);
    --m_libraryDepth;
    if (m_disconnectWanted) {
      AfterLibraryCall();
      return -1;
    }
    if (written < 0) {
      switch (written) {
        case NGTCP2_ERR_WRITE_MORE:
          stream->sent += static_cast<size_t>(accepted);
          if (stream->sent >= stream->toSend.size()) m_sendQueue.erase(streamId);
          continue;
        case NGTCP2_ERR_STREAM_DATA_BLOCKED:
        case NGTCP2_ERR_STREAM_SHUT_WR:
          m_sendQueue.erase(streamId);
          continue;
        case NGTCP2_ERR_CLOSING:
          RecordError(static_cast<int>(written));
          DisconnectLocked();
          return -1;
        default:
          CLogMessage()
              .Append(LogError, L"ngtcp2_conn_write_stream: ")
              .Append(LogError, ngtcp2_strerror(static_cast<int>(written)));
          RecordError(static_cast<int>(written));
          DisconnectLocked();
          return -1;
      }
    }
    if (stream && accepted >= 0) {
      stream->sent += static_cast<size_t>(accepted);
      if (stream->sent >= stream->toSend.size()) m_sendQueue.erase(streamId);
    }
    if (written == 0) {
      ngtcp2_conn_update_pkt_tx_time(conn, now);
      return 0;
    }
    if (m_closing) return 0;
    int result = SendPacket(m_txBuffer.data(), static_cast<size_t>(written));
    if (result == 0) {
      ++sent;
      continue;
    }
    if (result == kSendLater) {
      ngtcp2_conn_update_pkt_tx_time(conn, now);
      m_blockedLength = static_cast<size_t>(written);
      m_sendBlocked = true;
      return 0;
    }
    RecordError(NGTCP2_ERR_INTERNAL);
    DisconnectLocked();
    return result;
  }
  ngtcp2_conn_update_pkt_tx_time(conn, now);
  return 0;
}

int CQuicClient::SendPacket(const uint8_t* data, size_t length, bool closing) {
  if (m_closing && !closing) return 0;
  auto face = LockSocket();
  if (!face) return kSendLater;
  int result = face->Send(data, static_cast<int>(length));
  ReleaseSocket(face);
  if (result == kQuicSocketOk) return 0;
  if (result == kQuicSocketWouldBlock) return kSendLater;
  if (result == kQuicSocketShutdownError) {
    CLogMessage().Append(LogDebug, L"sendmsg: ").Append(LogDebug, WinsockText(static_cast<uint32_t>(result)));
    return kSendFailed;
  }
  CLogMessage().Append(LogError, L"sendmsg: ").Append(LogError, WinsockText(static_cast<uint32_t>(result)));
  return result == kQuicSocketMessageSize ? 0 : kSendFailed;
}

int CQuicClient::ResendBlocked() {
  int result = SendPacket(m_txBuffer.data(), m_blockedLength);
  if (result == 0) {
    m_sendBlocked = false;
    return 0;
  }
  if (result == kSendLater) return 0;
  RecordError(NGTCP2_ERR_INTERNAL);
  DisconnectLocked();
  return result;
}

void CQuicClient::UpdateTimer() {
  if (m_closing || !m_conn) return;
  const uint64_t expiry = ngtcp2_conn_get_expiry(m_conn.get());
  const uint64_t now = NowNs();
  // An expiry at or before now fires at once, not at a stale due time.
  int64_t dueMs = 0;
  if (expiry > now) dueMs = static_cast<int64_t>(std::min<uint64_t>((expiry - now) / 1'000'000, kMaxTimerMs));
  m_expiryTimer->m_due = dueMs;
  m_expiryTimer->m_period = 0;
  m_expiryTimer->Start();
}

void CQuicClient::OnExpiryTimer(void* argument) {
  CTimerScope scope;
  auto* self = static_cast<CQuicClient*>(argument);
  {
    CClientLock lock(self);
    if (self->m_closing || !self->m_conn) return;
    ++self->m_libraryDepth;
    int rv = ngtcp2_conn_handle_expiry(self->m_conn.get(), NowNs());
    --self->m_libraryDepth;
    if (rv != 0) {
      CLogMessage().Append(LogDebug, L"ngtcp2_conn_handle_expiry: ").Append(LogDebug, ngtcp2_strerror(rv));
      self->RecordError(rv);
      self->m_disconnectWanted = false;
      self->DisconnectLocked();
      return;
    }
    self->AfterLibraryCall();
  }
  CClientLock lock(self);
  self->OnWrite();
}

int CQuicClient::OnHandshakeConfirmed() {
  m_handshakeConfirmed = true;
  m_keyUpdateTimer->m_due = static_cast<int64_t>(m_config.keyUpdateDelay / 1'000'000);
  m_keyUpdateTimer->m_period = 0;
  m_keyUpdateTimer->Start();
  return 0;
}

void CQuicClient::OnKeyUpdateTimer(void* argument) {
  CTimerScope scope;
  auto* self = static_cast<CQuicClient*>(argument);
  CClientLock lock(self);
  if (self->m_closing || !self->m_conn) return;
  CLogMessage().Append(LogDebug, L"Initiate key update");
  ++self->m_libraryDepth;
  int rv = ngtcp2_conn_initiate_key_update(self->m_conn.get(), NowNs());
  --self->m_libraryDepth;
  if (rv != 0) {
    CLogMessage().Append(LogError, L"ngtcp2_conn_initiate_key_update: ").Append(LogError, ngtcp2_strerror(rv));
    self->DisconnectLocked();
    return;
  }
  self->AfterLibraryCall();
}

int CQuicClient::OnKeyUpdate(uint8_t* rxSecret, uint8_t* txSecret, ngtcp2_crypto_aead_ctx* rxAeadCtx, uint8_t* rxIv,
                             ngtcp2_crypto_aead_ctx* txAeadCtx, uint8_t* txIv, const uint8_t* currentRxSecret,
                             const uint8_t* currentTxSecret, size_t secretLength) {
  CClientLock lock(this);
  CLogMessage().Append(LogDebug, L"Updating traffic key");
  ++m_keyUpdates;
  uint8_t rxKey[64], txKey[64];
  return ngtcp2_crypto_update_key(m_conn.get(), rxSecret, txSecret, rxAeadCtx, rxKey, rxIv, txAeadCtx, txKey, txIv,
                                  currentRxSecret, currentTxSecret, secretLength) == 0
             ? 0
             : -1;
}

int CQuicClient::OnVersionNegotiation(const uint32_t* versions, size_t count) {
  CClientLock lock(this);
  m_offeredVersions.assign(versions, versions + count);
  return 0;
}

int CQuicClient::OnNewConnectionId(ngtcp2_cid* cid, uint8_t* token, size_t length) {
  CClientLock lock(this);
  uint8_t bytes[NGTCP2_MAX_CIDLEN];
  if (length > sizeof(bytes) || !QuicRandomBytes(bytes, length)) return -1;
  ngtcp2_cid_init(cid, bytes, length);
  return ngtcp2_crypto_generate_stateless_reset_token(token, m_config.staticSecret, sizeof(m_config.staticSecret),
                                                      cid) == 0
             ? 0
             : -1;
}

int CQuicClient::OnPathValidation(uint32_t flags, const ngtcp2_path* path, ngtcp2_path_validation_result) {
  CClientLock lock(this);
  if ((flags & NGTCP2_PATH_VALIDATION_FLAG_PREFERRED_ADDR) && path &&
      path->remote.addrlen <= sizeof(m_remoteAddress.address)) {
    m_remoteAddress.address = sockaddr_storage{};
    std::memcpy(&m_remoteAddress.address, path->remote.addr, path->remote.addrlen);
    m_remoteAddress.length = static_cast<socklen_t>(path->remote.addrlen);
  }
  return 0;
}

// ---- streams ----

int CQuicClient::OnExtendMaxLocalStreams() {
  CClientLock lock(this);
  return OpenStreams();
}

int CQuicClient::OpenStreams() {
  if (m_closing || m_disconnectWanted || !m_conn) return 0;
  bool entered = false;
  while (m_nextRequest < m_requests.size()) {
    entered = true;
    int64_t id = -1;
    if (ngtcp2_conn_open_bidi_stream(m_conn.get(), &id, nullptr) != 0) break;  // no stream credit yet
    const SRequest& request = m_requests[m_nextRequest];
    SStream stream;
    stream.query = request.query;
    stream.handler = request.handler;
    stream.id = id;
    if (SubmitRequest(stream) != 0) break;
    m_streams.emplace(id, std::move(stream));
    ++m_nextRequest;
  }
  if (entered) OnWrite();
  return 0;
}

int CQuicClient::SubmitRequest(SStream& stream) {
  if (stream.query.size() > 65535 || !stream.handler) return -1;
  CProcessingResultCode result;
  stream.handler->ProcessOutgoingData(result, stream.query, stream.toSend);
  if (result.code != CProcessingResultCode::Ok || stream.toSend.empty()) return -1;
  stream.sent = 0;
  m_sendQueue.insert(stream.id);
  SummariseQuery(stream.query);
  return 0;
}

int CQuicClient::OnStreamData(uint32_t flags, int64_t streamId, const uint8_t* data, size_t length) {
  CClientLock lock(this);
  ngtcp2_conn_extend_max_stream_offset(m_conn.get(), streamId, length);
  ngtcp2_conn_extend_max_offset(m_conn.get(), length);
  auto found = m_streams.find(streamId);
  if (found == m_streams.end()) return 0;
  if (length > 0) found->second.received.insert(found->second.received.end(), data, data + length);
  if (flags & NGTCP2_STREAM_DATA_FLAG_FIN) found->second.finished = true;
  return 0;
}

int CQuicClient::OnStreamClose(uint32_t flags, int64_t streamId, uint64_t errorCode) {
  CClientLock lock(this);
  m_sendQueue.erase(streamId);
  auto found = m_streams.find(streamId);
  if (found == m_streams.end()) return 0;
  SStream& stream = found->second;
  // The answer is what came before the server's FIN; a reset stream has none.
  if (stream.finished) {
    QueueAnswer(stream.handler, std::move(stream.received));
  } else {
    QueueError(stream.handler, L"DNS answer is incomplete");
  }
  ++m_closedStreams;
  if (streamId & 0x2) ngtcp2_conn_extend_max_streams_uni(m_conn.get(), 1);
  CLogMessage()
      .Append(LogDebug, L"QUIC stream ")
      .Append(LogDebug, static_cast<long long>(streamId))
      .Append(LogDebug, L" closed with error code ")
      .Append(LogDebug, static_cast<unsigned long long>((flags & NGTCP2_STREAM_CLOSE_FLAG_APP_ERROR_CODE_SET) ? errorCode : 0));
  m_streams.erase(found);
  return 0;
}

int CQuicClient::OnExtendMaxStreamData(int64_t streamId) {
  CClientLock lock(this);
  auto found = m_streams.find(streamId);
  if (found != m_streams.end() && found->second.sent < found->second.toSend.size()) m_sendQueue.insert(streamId);
  return 0;
}

// ---- close ----

void CQuicClient::DisconnectLocked() {
  if (m_closing) return;
  if (m_libraryDepth > 0) {
    m_disconnectWanted = true;
    return;
  }
  m_disconnectWanted = false;
  // The close goes out before m_closing stops every send.
  if (!m_closeBlocked) m_sendBlocked = false;
  WriteConnectionClose();
  m_closing = true;
  // A close still waiting for its send shuts the socket once it is out.
  if (!m_closeBlocked) ShutdownSocket();
  m_endpoints.clear();
}

void CQuicClient::ShutdownSocket() {
  if (auto face = LockSocket()) {
    face->Shutdown();
    ReleaseSocket(face);
  }
}

int CQuicClient::WriteConnectionClose() {
  ngtcp2_conn* conn = m_conn.get();
  if (!conn || ngtcp2_conn_is_in_closing_period(conn) || ngtcp2_conn_is_in_draining_period(conn)) return 0;
  ngtcp2_path_storage storage;
  ngtcp2_path_storage_zero(&storage);
  ngtcp2_pkt_info info{};
  uint8_t buffer[kCloseBufferSize];
  ++m_libraryDepth;
  ngtcp2_ssize written =
      ngtcp2_conn_write_connection_close(conn, &storage.path, &info, buffer, sizeof(buffer), &m_closeError, NowNs());
  --m_libraryDepth;
  if (written < 0) {
    CLogMessage()
        .Append(LogError, L"ngtcp2_conn_write_connection_close: ")
        .Append(LogError, ngtcp2_strerror(static_cast<int>(written)));
    return -1;
  }
  if (written == 0) return 0;
  if (SendPacket(buffer, static_cast<size_t>(written), true) == kSendLater) {
    // A send is in flight: the close waits for its completion.
    std::memcpy(m_txBuffer.data(), buffer, static_cast<size_t>(written));
    m_blockedLength = static_cast<size_t>(written);
    m_sendBlocked = m_closeBlocked = true;
  }
  return 0;
}
