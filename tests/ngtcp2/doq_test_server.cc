#include "tests/ngtcp2/doq_test_server.h"

#include <arpa/inet.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <map>
#include <set>

namespace testsupport {

namespace {

constexpr size_t kScidLength = 18;

uint64_t NowNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

void Random(uint8_t* data, size_t length) { gnutls_rnd(GNUTLS_RND_NONCE, data, length); }

std::string CidKey(const uint8_t* data, size_t length) { return std::string(reinterpret_cast<const char*>(data), length); }

socklen_t FamilyLength(int family) { return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in); }

std::vector<uint8_t> DefaultAnswer(const std::vector<uint8_t>& query) {
  std::vector<uint8_t> answer = query;
  if (answer.size() >= 4) answer[2] |= 0x80;  // QR
  return answer;
}

}  // namespace

struct SServerStream {
  int64_t id = -1;
  std::vector<uint8_t> received;
  std::deque<std::vector<uint8_t>> chunks;  // answer parts still to write
  size_t taken = 0;                          // of the first chunk, already with ngtcp2
  bool finQueued = false;                    // FIN goes with the last chunk
  uint64_t dueNs = 0;                        // the answer waits until then
  // ngtcp2 writes from the bytes it was given until they are acknowledged:
  // chunks it has taken, each with the stream offset where it ends. A
  // vector's buffer stays where it is when the vector moves.
  uint64_t offset = 0;  // bytes handed to ngtcp2
  std::deque<std::pair<uint64_t, std::vector<uint8_t>>> unacked;

  // The first chunk, taken as far as ngtcp2 has taken it, waits for its ack.
  void RetireFront() {
    unacked.emplace_back(offset, std::move(chunks.front()));
    chunks.pop_front();
    taken = 0;
  }
};

struct SServerConnection {
  CDoqTestServer::SState* server = nullptr;
  ngtcp2_conn* conn = nullptr;
  gnutls_session_t session = nullptr;
  ngtcp2_crypto_conn_ref ref{};
  sockaddr_storage peer{};
  socklen_t peerLength = 0;
  std::vector<std::string> cids;
  std::map<int64_t, SServerStream> streams;
  bool closed = false;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(65536);

  ~SServerConnection() {
    if (session) gnutls_deinit(session);
    if (conn) ngtcp2_conn_del(conn);
  }
};

struct CDoqTestServer::SState {
  SDoqServerOptions options;
  int socket = -1;
  int wake = -1;
  sockaddr_storage local{};
  socklen_t localLength = 0;
  std::atomic<bool> stop{false};
  gnutls_certificate_credentials_t credentials = nullptr;
  gnutls_priority_t priority = nullptr;
  std::vector<std::unique_ptr<SServerConnection>> connections;
  std::map<std::string, SServerConnection*> byCid;
  size_t dropped = 0;

  std::mutex mutex;
  std::condition_variable changed;
  SDoqRecords records;  // under mutex

  template <typename F>
  void Record(F&& change) {
    {
      std::lock_guard lock(mutex);
      change(records);
    }
    changed.notify_all();
  }

  ~SState() {
    connections.clear();
    if (priority) gnutls_priority_deinit(priority);
    if (credentials) gnutls_certificate_free_credentials(credentials);
    if (socket >= 0) ::close(socket);
    if (wake >= 0) ::close(wake);
  }

  void Run();
  void OnDatagram(const uint8_t* data, size_t length, const sockaddr_storage& peer, socklen_t peerLength);
  SServerConnection* Accept(const uint8_t* data, size_t length, const sockaddr_storage& peer, socklen_t peerLength);
  void Write(SServerConnection& c);
  void Send(SServerConnection& c, const uint8_t* data, size_t length);
  void Finish(SServerConnection& c, int64_t id);
  void Drop(SServerConnection* c);
};

namespace {

SServerConnection* Conn(void* user) { return static_cast<SServerConnection*>(user); }

ngtcp2_conn* GetConn(ngtcp2_crypto_conn_ref* ref) { return Conn(ref->user_data)->conn; }

void RandCb(uint8_t* dest, size_t length, const ngtcp2_rand_ctx*) { Random(dest, length); }

int NewCid(ngtcp2_conn*, ngtcp2_cid* cid, uint8_t* token, size_t length, void* user) {
  SServerConnection* c = Conn(user);
  uint8_t bytes[NGTCP2_MAX_CIDLEN];
  Random(bytes, length);
  ngtcp2_cid_init(cid, bytes, length);
  Random(token, NGTCP2_STATELESS_RESET_TOKENLEN);
  c->cids.push_back(CidKey(bytes, length));
  c->server->byCid[c->cids.back()] = c;
  return 0;
}

int RecvStreamData(ngtcp2_conn* conn, uint32_t flags, int64_t id, uint64_t, const uint8_t* data, size_t length,
                   void* user, void*) {
  SServerConnection* c = Conn(user);
  ngtcp2_conn_extend_max_stream_offset(conn, id, length);
  ngtcp2_conn_extend_max_offset(conn, length);
  SServerStream& stream = c->streams[id];
  stream.id = id;
  stream.received.insert(stream.received.end(), data, data + length);
  if (flags & NGTCP2_STREAM_DATA_FLAG_FIN) c->server->Finish(*c, id);
  return 0;
}

int AckedStreamData(ngtcp2_conn*, int64_t id, uint64_t offset, uint64_t length, void* user, void*) {
  auto found = Conn(user)->streams.find(id);
  if (found == Conn(user)->streams.end()) return 0;
  auto& unacked = found->second.unacked;
  while (!unacked.empty() && unacked.front().first <= offset + length) unacked.pop_front();
  return 0;
}

int StreamClose(ngtcp2_conn* conn, uint32_t, int64_t id, uint64_t, void* user, void*) {
  SServerConnection* c = Conn(user);
  c->streams.erase(id);
  if (c->server->options.grantStreams && !(id & 0x2)) ngtcp2_conn_extend_max_streams_bidi(conn, 1);
  return 0;
}

int HandshakeCompleted(ngtcp2_conn*, void* user) {
  SServerConnection* c = Conn(user);
  char name[256] = {};
  size_t nameLength = sizeof(name) - 1;
  unsigned type = 0;
  std::string sni;
  if (gnutls_server_name_get(c->session, name, &nameLength, &type, 0) == GNUTLS_E_SUCCESS) sni.assign(name, nameLength);
  gnutls_datum_t alpn{nullptr, 0};
  std::string selected;
  if (gnutls_alpn_get_selected_protocol(c->session, &alpn) == GNUTLS_E_SUCCESS) {
    selected.assign(reinterpret_cast<const char*>(alpn.data), alpn.size);
  }
  c->server->Record([&](SDoqRecords& r) {
    ++r.handshakes;
    r.sni.push_back(sni);
    r.alpn.push_back(selected);
  });
  return 0;
}

int UpdateKey(ngtcp2_conn* conn, uint8_t* rxSecret, uint8_t* txSecret, ngtcp2_crypto_aead_ctx* rxAeadCtx,
              uint8_t* rxIv, ngtcp2_crypto_aead_ctx* txAeadCtx, uint8_t* txIv, const uint8_t* currentRxSecret,
              const uint8_t* currentTxSecret, size_t secretLength, void* user) {
  uint8_t rxKey[64], txKey[64];
  if (ngtcp2_crypto_update_key(conn, rxSecret, txSecret, rxAeadCtx, rxKey, rxIv, txAeadCtx, txKey, txIv,
                               currentRxSecret, currentTxSecret, secretLength) != 0) {
    return NGTCP2_ERR_CALLBACK_FAILURE;
  }
  Conn(user)->server->Record([](SDoqRecords& r) { ++r.keyUpdates; });
  return 0;
}

// The peer's CONNECTION_CLOSE is only visible in the library's frame log:
// "... frm rx ... CONNECTION_CLOSE(0x1c) error_code=NAME(0x...) ...".
void LibraryLog(void* user, const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof(line), format, arguments);
  va_end(arguments);
  if (std::getenv("TARNWICK_DOQ_SERVER_LOG")) std::fprintf(stderr, "server: %s\n", line);
  if (!std::strstr(line, " rx ") || !std::strstr(line, "CONNECTION_CLOSE(")) return;
  const char* code = std::strstr(line, "error_code=");
  if (!code) return;
  const char* hex = std::strstr(code, "(0x");
  if (!hex) return;
  uint64_t value = std::strtoull(hex + 3, nullptr, 16);
  Conn(user)->server->Record([&](SDoqRecords& r) { r.closeCodes.push_back(value); });
}

// In place of ngtcp2's handshake output: the same, but with the last byte
// of the CertificateVerify signature flipped, so that the client's TLS
// fails the handshake itself.
int SubmitWithBadSignature(gnutls_session_t session, gnutls_record_encryption_level_t level,
                           gnutls_handshake_description_t type, const void* data, size_t length) {
  if (type == GNUTLS_HANDSHAKE_CHANGE_CIPHER_SPEC) return 0;
  std::vector<uint8_t> bytes(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
  if (type == GNUTLS_HANDSHAKE_CERTIFICATE_VERIFY && !bytes.empty()) bytes.back() ^= 0x01;
  auto* ref = static_cast<ngtcp2_crypto_conn_ref*>(gnutls_session_get_ptr(session));
  ngtcp2_conn* conn = ref->get_conn(ref);
  int rv = ngtcp2_conn_submit_crypto_data(conn, ngtcp2_crypto_gnutls_from_gnutls_record_encryption_level(level),
                                          bytes.data(), bytes.size());
  if (rv != 0) ngtcp2_conn_set_tls_error(conn, rv);
  return rv == 0 ? 0 : -1;
}

constexpr ngtcp2_callbacks kServerCallbacks = {
    .client_initial = nullptr,
    .recv_client_initial = ngtcp2_crypto_recv_client_initial_cb,
    .recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb,
    .handshake_completed = HandshakeCompleted,
    .recv_version_negotiation = nullptr,
    .encrypt = ngtcp2_crypto_encrypt_cb,
    .decrypt = ngtcp2_crypto_decrypt_cb,
    .hp_mask = ngtcp2_crypto_hp_mask_cb,
    .recv_stream_data = RecvStreamData,
    .acked_stream_data_offset = AckedStreamData,
    .stream_open = nullptr,
    .stream_close = StreamClose,
    .recv_stateless_reset = nullptr,
    .recv_retry = nullptr,
    .extend_max_local_streams_bidi = nullptr,
    .extend_max_local_streams_uni = nullptr,
    .rand = RandCb,
    .get_new_connection_id = NewCid,
    .remove_connection_id = nullptr,
    .update_key = UpdateKey,
    .path_validation = nullptr,
    .select_preferred_addr = nullptr,
    .stream_reset = nullptr,
    .extend_max_remote_streams_bidi = nullptr,
    .extend_max_remote_streams_uni = nullptr,
    .extend_max_stream_data = nullptr,
    .dcid_status = nullptr,
    .handshake_confirmed = nullptr,
    .recv_new_token = nullptr,
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

}  // namespace

void CDoqTestServer::SState::Finish(SServerConnection& c, int64_t id) {
  SServerStream& stream = c.streams[id];
  Record([&](SDoqRecords& r) { r.streams.push_back({stream.received, true}); });
  if (options.resetCode != 0) {
    ngtcp2_conn_shutdown_stream(c.conn, id, options.resetCode);
    return;
  }
  std::vector<uint8_t> query;
  if (stream.received.size() >= 2) query.assign(stream.received.begin() + 2, stream.received.end());
  std::vector<uint8_t> message = options.answer ? options.answer(query) : DefaultAnswer(query);
  std::vector<uint8_t> wire;
  if (!options.missingAnswers) {
    const size_t prefix = options.rawAnswers ? 0 : 2;
    wire.resize(prefix + message.size());
    if (prefix) {
      wire[0] = static_cast<uint8_t>(message.size() >> 8);
      wire[1] = static_cast<uint8_t>(message.size());
    }
    std::copy(message.begin(), message.end(), wire.begin() + prefix);
    wire.resize(wire.size() - std::min(options.shortAnswerBy, wire.size()));
  }
  size_t parts = std::max<size_t>(1, std::min(options.answerChunks, wire.size()));
  size_t at = 0;
  for (size_t i = 0; i < parts; ++i) {
    size_t size = (wire.size() - at) / (parts - i);
    stream.chunks.emplace_back(wire.begin() + at, wire.begin() + at + size);
    at += size;
  }
  stream.finQueued = true;
  stream.dueNs = NowNs() + static_cast<uint64_t>(options.answerDelayMs) * 1'000'000;
}

void CDoqTestServer::SState::Send(SServerConnection& c, const uint8_t* data, size_t length) {
  ::sendto(socket, data, length, 0, reinterpret_cast<const sockaddr*>(&c.peer), c.peerLength);
}

void CDoqTestServer::SState::Write(SServerConnection& c) {
  if (c.closed) return;
  ngtcp2_path_storage storage;
  ngtcp2_path_storage_zero(&storage);
  ngtcp2_pkt_info info{};
  const uint64_t now = NowNs();
  for (int packets = 0; packets < 64; ++packets) {
    SServerStream* stream = nullptr;
    for (auto& [id, s] : c.streams) {
      if (!s.chunks.empty() && s.dueNs <= now) {
        stream = &s;
        break;
      }
    }
    ngtcp2_vec data{};
    uint32_t flags = 0;
    int64_t id = -1;
    if (stream) {
      id = stream->id;
      data.base = stream->chunks.front().data() + stream->taken;
      data.len = stream->chunks.front().size() - stream->taken;
      if (stream->chunks.size() == 1 && stream->finQueued) flags |= NGTCP2_WRITE_STREAM_FLAG_FIN;
    }
    ngtcp2_ssize accepted = -1;
    ngtcp2_ssize written = ngtcp2_conn_writev_stream(c.conn, &storage.path, &info, c.buffer.data(), 1200, &accepted,
                                                     flags, id, stream ? &data : nullptr, stream ? 1 : 0, now);
    // A callback inside the write may have closed the stream.
    if (stream) {
      auto found = c.streams.find(id);
      stream = found == c.streams.end() ? nullptr : &found->second;
    }
    if (written < 0) {
      if (written == NGTCP2_ERR_STREAM_DATA_BLOCKED || written == NGTCP2_ERR_STREAM_SHUT_WR) {
        if (stream) {
          // What ngtcp2 already holds of the first chunk stays; the rest goes.
          if (stream->taken > 0) stream->RetireFront();
          stream->chunks.clear();
        }
        continue;
      }
      c.closed = true;
      return;
    }
    if (stream && accepted >= 0) {
      stream->taken += static_cast<size_t>(accepted);
      stream->offset += static_cast<uint64_t>(accepted);
      // A chunk is done when taken whole; an empty FIN-only chunk too.
      if (stream->taken == stream->chunks.front().size()) stream->RetireFront();
    }
    if (written == 0) break;
    Send(c, c.buffer.data(), static_cast<size_t>(written));
  }
  ngtcp2_conn_update_pkt_tx_time(c.conn, now);
}

SServerConnection* CDoqTestServer::SState::Accept(const uint8_t* data, size_t length, const sockaddr_storage& peer,
                                                   socklen_t peerLength) {
  ngtcp2_pkt_hd header;
  if (ngtcp2_accept(&header, data, length) != 0) return nullptr;
  auto c = std::make_unique<SServerConnection>();
  c->server = this;
  c->peer = peer;
  c->peerLength = peerLength;

  uint8_t scidBytes[kScidLength];
  Random(scidBytes, sizeof(scidBytes));
  ngtcp2_cid scid;
  ngtcp2_cid_init(&scid, scidBytes, sizeof(scidBytes));

  ngtcp2_settings settings;
  ngtcp2_settings_default(&settings);
  settings.initial_ts = NowNs();
  settings.log_printf = &LibraryLog;
  settings.max_tx_udp_payload_size = 1200;
  ngtcp2_transport_params params;
  ngtcp2_transport_params_default(&params);
  params.initial_max_stream_data_bidi_remote = 256 * 1024;
  params.initial_max_stream_data_bidi_local = 256 * 1024;
  params.initial_max_data = 1024 * 1024;
  params.initial_max_streams_bidi = options.streamCredit;
  params.initial_max_streams_uni = 0;
  params.max_idle_timeout = 30ull * 1'000'000'000;
  params.original_dcid = header.dcid;

  ngtcp2_path path{};
  path.local.addr = reinterpret_cast<ngtcp2_sockaddr*>(&local);
  path.local.addrlen = localLength;
  path.remote.addr = reinterpret_cast<ngtcp2_sockaddr*>(&c->peer);
  path.remote.addrlen = peerLength;
  if (ngtcp2_conn_server_new(&c->conn, &header.scid, &scid, &path, header.version, &kServerCallbacks, &settings,
                             &params, nullptr, c.get()) != 0) {
    return nullptr;
  }
  if (gnutls_init(&c->session, GNUTLS_SERVER | GNUTLS_ENABLE_EARLY_DATA | GNUTLS_NO_END_OF_EARLY_DATA) != 0) {
    c->session = nullptr;
    return nullptr;
  }
  c->ref.get_conn = &GetConn;
  c->ref.user_data = c.get();
  gnutls_session_set_ptr(c->session, &c->ref);
  if (ngtcp2_crypto_gnutls_configure_server_session(c->session) != 0 ||
      gnutls_priority_set(c->session, priority) != 0 ||
      gnutls_credentials_set(c->session, GNUTLS_CRD_CERTIFICATE, credentials) != 0) {
    return nullptr;
  }
  if (options.badSignature) gnutls_handshake_set_read_function(c->session, SubmitWithBadSignature);
  if (!options.alpn.empty()) {
    gnutls_datum_t alpn{reinterpret_cast<unsigned char*>(options.alpn.data()),
                        static_cast<unsigned>(options.alpn.size())};
    gnutls_alpn_set_protocols(c->session, &alpn, 1, GNUTLS_ALPN_MANDATORY);
  }
  ngtcp2_conn_set_tls_native_handle(c->conn, c->session);

  c->cids.push_back(CidKey(scidBytes, sizeof(scidBytes)));
  c->cids.push_back(CidKey(header.dcid.data, header.dcid.datalen));
  for (const std::string& cid : c->cids) byCid[cid] = c.get();
  Record([](SDoqRecords& r) { ++r.connections; });
  connections.push_back(std::move(c));
  return connections.back().get();
}

void CDoqTestServer::SState::Drop(SServerConnection* c) {
  c->closed = true;
  for (const std::string& cid : c->cids) byCid.erase(cid);
}

void CDoqTestServer::SState::OnDatagram(const uint8_t* data, size_t length, const sockaddr_storage& peer,
                                        socklen_t peerLength) {
  Record([](SDoqRecords& r) { ++r.datagrams; });
  if (dropped < options.dropFirst) {
    ++dropped;
    return;
  }
  ngtcp2_version_cid vc;
  if (ngtcp2_pkt_decode_version_cid(&vc, data, length, kScidLength) != 0) return;
  SServerConnection* c = nullptr;
  auto found = byCid.find(CidKey(vc.dcid, vc.dcidlen));
  if (found != byCid.end()) {
    c = found->second;
  } else {
    c = Accept(data, length, peer, peerLength);
    if (!c) return;
  }
  ngtcp2_path path{};
  path.local.addr = reinterpret_cast<ngtcp2_sockaddr*>(&local);
  path.local.addrlen = localLength;
  path.remote.addr = reinterpret_cast<ngtcp2_sockaddr*>(const_cast<sockaddr_storage*>(&peer));
  path.remote.addrlen = peerLength;
  ngtcp2_pkt_info info{};
  int rv = ngtcp2_conn_read_pkt(c->conn, &path, &info, data, length, NowNs());
  if (rv != 0) {
    if (rv != NGTCP2_ERR_DRAINING && rv != NGTCP2_ERR_CLOSING) {
      // Tell the client why, as a real server would.
      ngtcp2_connection_close_error error;
      ngtcp2_connection_close_error_default(&error);
      if (rv == NGTCP2_ERR_CRYPTO) {
        ngtcp2_connection_close_error_set_transport_error_tls_alert(&error, ngtcp2_conn_get_tls_alert(c->conn),
                                                                    nullptr, 0);
      } else {
        ngtcp2_connection_close_error_set_transport_error_liberr(&error, rv, nullptr, 0);
      }
      ngtcp2_path_storage storage;
      ngtcp2_path_storage_zero(&storage);
      ngtcp2_ssize n = ngtcp2_conn_write_connection_close(c->conn, &storage.path, &info, c->buffer.data(), 1200,
                                                          &error, NowNs());
      if (n > 0) Send(*c, c->buffer.data(), static_cast<size_t>(n));
    }
    Drop(c);
    return;
  }
  Write(*c);
}

void CDoqTestServer::SState::Run() {
  std::vector<uint8_t> buffer(65536);
  while (!stop) {
    uint64_t now = NowNs();
    uint64_t next = now + 50'000'000;
    for (auto& c : connections) {
      if (c->closed) continue;
      next = std::min<uint64_t>(next, ngtcp2_conn_get_expiry(c->conn));
      for (auto& [id, s] : c->streams) {
        if (!s.chunks.empty()) next = std::min(next, s.dueNs);
      }
    }
    int timeoutMs = next > now ? static_cast<int>((next - now) / 1'000'000) : 0;
    pollfd fds[2] = {{socket, POLLIN, 0}, {wake, POLLIN, 0}};
    ::poll(fds, 2, timeoutMs);
    if (stop) break;
    if (fds[0].revents & POLLIN) {
      for (;;) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof(peer);
        ssize_t n = ::recvfrom(socket, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer),
                               &peerLength);
        if (n <= 0) break;
        OnDatagram(buffer.data(), static_cast<size_t>(n), peer, peerLength);
      }
    }
    now = NowNs();
    for (auto& c : connections) {
      if (c->closed) continue;
      if (ngtcp2_conn_get_expiry(c->conn) <= now) {
        if (ngtcp2_conn_handle_expiry(c->conn, now) != 0) {
          Drop(c.get());
          continue;
        }
      }
      Write(*c);
    }
  }
}

CDoqTestServer::CDoqTestServer(SDoqServerOptions options) : m_state(std::make_shared<SState>()) {
  m_state->options = std::move(options);
}

CDoqTestServer::~CDoqTestServer() { Stop(); }

bool CDoqTestServer::Start(const std::string& address, uint16_t port, std::string& error) {
  SState& s = *m_state;
  if (gnutls_certificate_allocate_credentials(&s.credentials) != 0) {
    error = "credentials";
    return false;
  }
  gnutls_datum_t certificate{reinterpret_cast<unsigned char*>(s.options.certificatePem.data()),
                             static_cast<unsigned>(s.options.certificatePem.size())};
  gnutls_datum_t key{reinterpret_cast<unsigned char*>(s.options.keyPem.data()),
                     static_cast<unsigned>(s.options.keyPem.size())};
  int rv = gnutls_certificate_set_x509_key_mem(s.credentials, &certificate, &key, GNUTLS_X509_FMT_PEM);
  if (rv < 0) {
    error = std::string("certificate: ") + gnutls_strerror(rv);
    return false;
  }
  std::string priority = "NORMAL:-VERS-ALL:+VERS-TLS1.3";
  if (!s.options.groups.empty()) priority += ":-GROUP-ALL:" + s.options.groups;
  priority += ":%DISABLE_TLS13_COMPAT_MODE";
  const char* where = nullptr;
  if (gnutls_priority_init(&s.priority, priority.c_str(), &where) != 0) {
    error = "priority: " + std::string(where ? where : "");
    return false;
  }
  sockaddr_storage bind{};
  if (inet_pton(AF_INET, address.c_str(), &reinterpret_cast<sockaddr_in*>(&bind)->sin_addr) == 1) {
    bind.ss_family = AF_INET;
    reinterpret_cast<sockaddr_in*>(&bind)->sin_port = htons(port);
  } else if (inet_pton(AF_INET6, address.c_str(), &reinterpret_cast<sockaddr_in6*>(&bind)->sin6_addr) == 1) {
    bind.ss_family = AF_INET6;
    reinterpret_cast<sockaddr_in6*>(&bind)->sin6_port = htons(port);
  } else {
    error = "bad address " + address;
    return false;
  }
  s.socket = ::socket(bind.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s.socket < 0 || ::bind(s.socket, reinterpret_cast<sockaddr*>(&bind), FamilyLength(bind.ss_family)) != 0) {
    error = std::string("bind: ") + std::strerror(errno);
    return false;
  }
  s.localLength = sizeof(s.local);
  ::getsockname(s.socket, reinterpret_cast<sockaddr*>(&s.local), &s.localLength);
  m_address = s.local;
  m_port = ntohs(s.local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&s.local)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&s.local)->sin_port);
  s.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m_thread = std::thread([state = m_state] { state->Run(); });
  return true;
}

void CDoqTestServer::Stop() {
  if (!m_thread.joinable()) return;
  m_state->stop = true;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(m_state->wake, &one, sizeof(one));
  m_thread.join();
}

SDoqRecords CDoqTestServer::Records() {
  std::lock_guard lock(m_state->mutex);
  return m_state->records;
}

bool CDoqTestServer::WaitFor(const std::function<bool(const SDoqRecords&)>& done, int timeoutMs) {
  std::unique_lock lock(m_state->mutex);
  return m_state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(m_state->records); });
}

}  // namespace testsupport
