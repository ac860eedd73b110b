#include "Quorvane/ngtcp2/quic_client.h"

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdarg>
#include <cstring>
#include <sstream>

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/system_errors.h"

// The callback table lives beside the packet paths.
extern const ngtcp2_callbacks kQuicClientCallbacks;

namespace {

constexpr size_t kTxBufferSize = 65536;

// GnuTLS credentials are not reference-counted: one set for the process,
// never freed. The server's certificate is checked by the client itself.
gnutls_certificate_credentials_t ClientCredentials() {
  static gnutls_certificate_credentials_t credentials = [] {
    gnutls_certificate_credentials_t made = nullptr;
    if (gnutls_certificate_allocate_credentials(&made) != GNUTLS_E_SUCCESS) return made = nullptr;
    return made;
  }();
  return credentials;
}

// The GnuTLS group name of each name the groups list may hold.
const char* GnutlsGroup(const std::string& name) {
  if (name == "X25519") return "GROUP-X25519";
  if (name == "X448") return "GROUP-X448";
  if (name == "P-256") return "GROUP-SECP256R1";
  if (name == "P-384") return "GROUP-SECP384R1";
  if (name == "P-521") return "GROUP-SECP521R1";
  return nullptr;
}

// TLS 1.3 only, the listed groups only, no compatibility mode (QUIC has no
// ChangeCipherSpec). False for an unknown or empty list.
bool MakePriority(const std::string& groups, gnutls_priority_t& priority) {
  std::string text = "NORMAL:-VERS-ALL:+VERS-TLS1.3:-GROUP-ALL";
  std::stringstream list(groups);
  std::string name;
  bool any = false;
  while (std::getline(list, name, ':')) {
    const char* group = GnutlsGroup(name);
    if (!group) return false;
    text += ":+";
    text += group;
    any = true;
  }
  if (!any) return false;
  text += ":%DISABLE_TLS13_COMPAT_MODE";
  return gnutls_priority_init(&priority, text.c_str(), nullptr) == GNUTLS_E_SUCCESS;
}

uint64_t NowNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// The library's own debug lines go to standard error, which the program does
// not show; off unless asked for, they would flood test output.
void LibraryLog(void*, const char* format, ...) {
  static const bool enabled = std::getenv("TARNWICK_NGTCP2_LOG") != nullptr;
  if (!enabled) return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fputc('\n', stderr);
}

ngtcp2_conn* ConnFromRef(ngtcp2_crypto_conn_ref* ref) {
  return static_cast<ngtcp2_conn*>(ref->user_data);
}

std::wstring WinsockText(uint32_t code) {
  std::wstring text = L"(" + std::to_wstring(code) + L") ";
  return text + platform::SystemErrorMessage(code);
}

socklen_t FamilyLength(int family) {
  return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace

ClientBase::~ClientBase() {
  // The session first: it points into the connection through its conn_ref.
  if (m_session) gnutls_deinit(m_session);
  m_conn.reset();
  if (m_priority) gnutls_priority_deinit(m_priority);
}

std::shared_ptr<CQuicClientShadow> CQuicClient::Create(
    const std::shared_ptr<CSafeSocket>& socket, const std::shared_ptr<CQuicClientShadowSocketInterface>& face,
    const std::wstring& hostName, const sockaddr_storage& server) {
  CQuicClientConfig config;
  QuicClientConfigDefaults(config);
  if (!ClientCredentials()) {
    CLogMessage().Append(LogError, L"SSL_CTX_new: ").Append(LogError, "credentials cannot be allocated");
    CLogMessage().Append(LogError, L"TLS context cannot be created");
    return nullptr;
  }
  gnutls_priority_t priority = nullptr;
  if (!MakePriority(config.groups, priority)) {
    CLogMessage().Append(LogError, L"SSL_CTX_set1_curves_list failed");
    CLogMessage().Append(LogError, L"TLS context cannot be created");
    return nullptr;
  }
  if (GenerateStaticSecret(config.staticSecret, sizeof(config.staticSecret)) != 0) {
    CLogMessage().Append(LogError, L"Unable to generate static secret");
    gnutls_priority_deinit(priority);
    return nullptr;
  }
  config.maxStreamsBidi = 100;
  auto client = std::make_shared<CQuicClient>(config, 1, face, priority);
  if (client->Connect(socket, server, hostName) != 0) return nullptr;
  return client;
}

CQuicClient::CQuicClient(const CQuicClientConfig& config, uint32_t version,
                         const std::shared_ptr<CQuicClientShadowSocketInterface>& face, gnutls_priority_t priority)
    : m_socket(face), m_version(version), m_originalVersion(version), m_txBuffer(kTxBufferSize) {
  m_config = config;
  m_priority = priority;
  std::memset(&m_closeError, 0, sizeof(m_closeError));
  ngtcp2_connection_close_error_default(&m_closeError);
  m_addressChangeTimer = CSafeTimer::Create(0, 0, &CQuicClient::OnUnusedTimer, this);
  m_delayedStreamTimer = CSafeTimer::Create(0, 0, &CQuicClient::OnUnusedTimer, this);
  m_keyUpdateTimer =
      CSafeTimer::Create(static_cast<int64_t>(m_config.keyUpdateDelay / 1'000'000), 0, &CQuicClient::OnKeyUpdateTimer, this);
  m_expiryTimer = CSafeTimer::Create(1'000'000, 100'000, &CQuicClient::OnExpiryTimer, this);
  m_expiryTimer->Start();
}

CQuicClient::~CQuicClient() {
  Disconnect();
  bool closed = true;
  for (auto* timer : {&m_expiryTimer, &m_addressChangeTimer, &m_keyUpdateTimer, &m_delayedStreamTimer}) {
    if (*timer && !(*timer)->CloseTimer()) closed = false;
  }
  if (!closed) CLogMessage().Append(LogError, L"Timer cannot be closed");
  // Deliveries queued by the last Disconnect are out; the rest is dropped.
  m_streams.clear();
  m_requests.clear();
  m_endpoints.clear();
}

int CQuicClient::Connect(const std::shared_ptr<CSafeSocket>& socket, const sockaddr_storage& server,
                         const std::wstring& hostName) {
  SQuicAddress remote;
  remote.address = server;
  remote.length = FamilyLength(server.ss_family);
  if (::connect(socket->Handle(), reinterpret_cast<const sockaddr*>(&remote.address), remote.length) != 0) {
    CLogMessage().Append(LogError, L"connect: ").Append(LogError, WinsockText(platform::WSAGetLastError()));
    return -1;
  }
  SQuicAddress local;
  local.length = sizeof(local.address);
  if (::getsockname(socket->Handle(), reinterpret_cast<sockaddr*>(&local.address), &local.length) != 0) {
    CLogMessage().Append(LogError, L"getsockname: ").Append(LogError, WinsockText(platform::WSAGetLastError()));
    return -1;
  }
  return Init(socket, local, remote, hostName);
}

int CQuicClient::Init(const std::shared_ptr<CSafeSocket>& socket, const SQuicAddress& local,
                      const SQuicAddress& remote, const std::wstring& hostName) {
  CClientLock lock(this);
  m_endpoints.push_back({local, socket});
  m_remoteAddress = remote;
  m_hostName = hostName;
  m_hostNameUtf8 = WideToUtf8(hostName);

  uint8_t bytes[NGTCP2_MAX_CIDLEN];
  ngtcp2_cid scid, dcid;
  if (!QuicRandomBytes(bytes, 17)) {
    CLogMessage().Append(LogError, L"Could not generate source connection ID");
    return -1;
  }
  ngtcp2_cid_init(&scid, bytes, 17);
  if (!QuicRandomBytes(bytes, 18)) {
    CLogMessage().Append(LogError, L"Could not generate destination connection ID");
    return -1;
  }
  ngtcp2_cid_init(&dcid, bytes, 18);

  ngtcp2_settings settings;
  ngtcp2_settings_default(&settings);
  settings.log_printf = &LibraryLog;
  settings.cc_algo = NGTCP2_CC_ALGO_CUBIC;
  settings.initial_ts = NowNs();
  settings.initial_rtt = m_config.initialRtt;
  settings.max_tx_udp_payload_size = m_config.maxUdpPayloadSize;
  settings.no_tx_udp_payload_size_shaping = 1;
  settings.handshake_timeout = m_config.handshakeTimeout;
  settings.no_pmtud = m_config.pathMtuDiscovery ? 0 : 1;
  settings.original_version = m_originalVersion;

  ngtcp2_transport_params params;
  ngtcp2_transport_params_default(&params);
  params.initial_max_stream_data_bidi_local = m_config.maxStreamDataBidiLocal;
  params.initial_max_stream_data_bidi_remote = m_config.maxStreamDataBidiRemote;
  params.initial_max_stream_data_uni = m_config.maxStreamDataUni;
  params.initial_max_data = m_config.maxData;
  params.initial_max_streams_bidi = m_config.maxStreamsBidi;
  params.initial_max_streams_uni = 65535;
  params.max_idle_timeout = m_config.idleTimeout;
  params.max_udp_payload_size = 1200;
  params.active_connection_id_limit = 7;

  sockaddr_storage localAddress = local.address;
  ngtcp2_path path = Path(localAddress, local.length);
  ngtcp2_conn* conn = nullptr;
  int rv = ngtcp2_conn_client_new(&conn, &dcid, &scid, &path, m_version, &kQuicClientCallbacks, &settings,
                                  &params, nullptr, this);
  if (rv != 0) {
    CLogMessage().Append(LogError, L"ngtcp2_conn_client_new: ").Append(LogError, ngtcp2_strerror(rv));
    return -1;
  }
  m_conn = std::shared_ptr<ngtcp2_conn>(conn, &ngtcp2_conn_del);
  if (InitTls() != 0) return -1;
  ngtcp2_conn_set_tls_native_handle(conn, m_session);
  return 0;
}

int CQuicClient::InitTls() {
  int rv = gnutls_init(&m_session, GNUTLS_CLIENT | GNUTLS_ENABLE_EARLY_DATA | GNUTLS_NO_END_OF_EARLY_DATA |
                                       GNUTLS_NO_TICKETS);
  if (rv != GNUTLS_E_SUCCESS) {
    m_session = nullptr;
    CLogMessage().Append(LogError, L"SSL_new: ").Append(LogError, gnutls_strerror(rv));
    return -1;
  }
  // The session finds its connection through the conn_ref, never the client.
  m_connRef.get_conn = &ConnFromRef;
  m_connRef.user_data = m_conn.get();
  gnutls_session_set_ptr(m_session, &m_connRef);
  if (ngtcp2_crypto_gnutls_configure_client_session(m_session) != 0 ||
      gnutls_priority_set(m_session, m_priority) != GNUTLS_E_SUCCESS ||
      gnutls_credentials_set(m_session, GNUTLS_CRD_CERTIFICATE, ClientCredentials()) != GNUTLS_E_SUCCESS) {
    CLogMessage().Append(LogError, L"SSL_new: ").Append(LogError, "session cannot be configured");
    return -1;
  }
  gnutls_datum_t alpn{reinterpret_cast<unsigned char*>(const_cast<char*>("doq")), 3};
  gnutls_alpn_set_protocols(m_session, &alpn, 1, 0);
  if (!m_hostNameUtf8.empty()) {
    gnutls_server_name_set(m_session, GNUTLS_NAME_DNS, m_hostNameUtf8.data(), m_hostNameUtf8.size());
  }
  return 0;
}

ngtcp2_path CQuicClient::Path(sockaddr_storage& local, socklen_t localLength) {
  ngtcp2_path path{};
  path.local.addr = reinterpret_cast<ngtcp2_sockaddr*>(&local);
  path.local.addrlen = std::min<socklen_t>(localLength, FamilyLength(local.ss_family));
  path.remote.addr = reinterpret_cast<ngtcp2_sockaddr*>(&m_remoteAddress.address);
  path.remote.addrlen = m_remoteAddress.length;
  return path;
}

void CQuicClient::OnRandom(uint8_t* dest, size_t length, const ngtcp2_rand_ctx*) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::lock_guard lock(g_QuicRandomMutex);
  for (size_t i = 0; i < length; ++i) dest[i] = static_cast<uint8_t>(byte(g_QuicRandom));
}

uint32_t CQuicClient::KeyUpdates() {
  CClientLock lock(this);
  return m_keyUpdates;
}
