// The QUIC client against the DoQ test server on loopback, through the
// test socket interface. Each test has a server on a port of its own, so
// certificate-cache entries never carry over between tests.
#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/abstract.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>
#include <ngtcp2/ngtcp2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "Quorvane/foundation/fatal_error.h"
#include "Quorvane/ngtcp2/quic_client.h"
#include "Quorvane/ngtcp2/quic_library_assert.h"
#include "Quorvane/platform/cert_verify.h"
#include "Quorvane/transports/certificate_cache.h"
#include "Quorvane/transports/dns_plain_protocol_processor.h"
#include "tests/support/log_capture.h"
#include "tests/ngtcp2/doq_test_server.h"
#include "tests/ngtcp2/udp_shadow_socket.h"
#include "tests/support/test_ca.h"
#include "tests/transports/capture_sink.h"
#include "tests/support/dns_messages.h"
#include "tests/support/bounded_wait.h"

// glibc's entry, which <cassert> leaves undeclared under NDEBUG.
extern "C" [[noreturn]] void __assert_fail(const char*, const char*, unsigned int, const char*) noexcept;

namespace {

using testsupport::CDoqTestServer;
using testsupport::SDoqRecords;
using testsupport::SDoqServerOptions;
using Bytes = std::vector<uint8_t>;

constexpr const char* kHost = "doq.test";
constexpr const wchar_t* kWideHost = L"doq.test";

struct STestCertificates {
  testsupport::CTestCa ca{"Tarnwick DoQ Test CA"};
  testsupport::SIssued leaf;       // doq.test and 127.0.0.1
  testsupport::SIssued wrongHost;  // another name only
  STestCertificates() {
    testsupport::SLeafOptions options;
    options.dnsNames = {kHost};
    options.ipAddresses = {"127.0.0.1"};
    leaf = ca.IssueLeaf(options);
    options.dnsNames = {"other.test"};
    options.ipAddresses = {};
    wrongHost = ca.IssueLeaf(options);
    std::string error;
    EXPECT_TRUE(platform::AddTrustedCertificates(ca.Certificate().certificatePem, error)) << error;
  }
};

STestCertificates& Certificates() {
  static auto* made = new STestCertificates();
  return *made;
}

Bytes PublicKeyOf(const testsupport::SIssued& leaf) {
  gnutls_x509_crt_t crt;
  gnutls_pubkey_t key;
  gnutls_datum_t der{const_cast<unsigned char*>(leaf.der.data()), static_cast<unsigned>(leaf.der.size())};
  gnutls_datum_t spki{nullptr, 0};
  gnutls_x509_crt_init(&crt);
  gnutls_x509_crt_import(crt, &der, GNUTLS_X509_FMT_DER);
  gnutls_pubkey_init(&key);
  gnutls_pubkey_import_x509(key, crt, 0);
  gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &spki);
  Bytes out(spki.data, spki.data + spki.size);
  gnutls_free(spki.data);
  gnutls_pubkey_deinit(key);
  gnutls_x509_crt_deinit(crt);
  return out;
}

Bytes AddressBytes(const sockaddr_storage& address) {
  const auto* p = reinterpret_cast<const uint8_t*>(&address);
  return Bytes(p, p + sizeof(address));
}

Bytes Framed(const Bytes& message) {
  Bytes out(message.size() + 2);
  out[0] = static_cast<uint8_t>(message.size() >> 8);
  out[1] = static_cast<uint8_t>(message.size());
  std::copy(message.begin(), message.end(), out.begin() + 2);
  return out;
}

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& part) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& l) { return l.find(part) != std::wstring::npos; });
}

// A client and the socket it talks through, as a DoQ connection holds them.
struct SConnection {
  std::shared_ptr<CUdpShadowSocket> socket;
  std::shared_ptr<CQuicClientShadow> client;
};

class QuicClientTest : public ::testing::Test {
 protected:
  ~QuicClientTest() override { SetQuicClientConfigForTesting(nullptr); }

  void StartServer(SDoqServerOptions options = {}, const testsupport::SIssued* leaf = nullptr,
                   const std::string& address = "127.0.0.1") {
    const testsupport::SIssued& served = leaf ? *leaf : Certificates().leaf;
    options.certificatePem = served.certificatePem + Certificates().ca.Certificate().certificatePem;
    options.keyPem = served.keyPem;
    m_served = &served;
    m_server = std::make_unique<CDoqTestServer>(std::move(options));
    std::string error;
    ASSERT_TRUE(m_server->Start(address, 0, error)) << error;
  }

  // As if an earlier connection had checked the served certificate.
  void SeedCache(const std::wstring& host = kWideHost) {
    GetCertificateCache().SetVerified(host, PublicKeyOf(*m_served), AddressBytes(m_server->Address()), "quic");
  }

  SConnection Connect(const std::wstring& host = kWideHost,
                      std::function<std::optional<int>(size_t)> script = nullptr) {
    SConnection c;
    c.socket = CUdpShadowSocket::Create(m_server->Address(), L"doq.test (127.0.0.1)");
    EXPECT_TRUE(c.socket);
    if (!c.socket) return c;
    c.socket->sendScript = std::move(script);
    c.client = CQuicClient::Create(c.socket->Socket(), c.socket, host, m_server->Address());
    EXPECT_TRUE(c.client);
    if (!c.client) return c;
    c.socket->Attach(c.client);
    c.socket->Receive();
    return c;
  }

  std::shared_ptr<CProtocolDataProcessor> Handler(uint64_t requestId) {
    auto handler = std::make_shared<CDnsPlainProtocolProcessor>(true);
    handler->m_requestId = requestId;
    handler->m_name = L"q" + std::to_wstring(requestId);
    return handler;
  }

  bool Send(SConnection& c, uint64_t requestId, Bytes query = {}) {
    if (query.empty()) query = dnstest::Query(static_cast<uint16_t>(requestId), "www.example.test", 1);
    bool taken = c.client->SendRequest(query, Handler(requestId));
    c.client->SendPending();
    return taken;
  }

  // The sink's calls of one kind, after waiting for count of them.
  std::vector<CCaptureSink::SCall> WaitCalls(const std::string& entry, size_t count, int timeoutMs = 5000) {
    std::vector<CCaptureSink::SCall> found;
    testsupport::WaitUntil(
        [&] {
          found.clear();
          for (auto& call : m_sink->Calls()) {
            if (call.entry == entry) found.push_back(call);
          }
          return found.size() >= count;
        },
        std::chrono::milliseconds(timeoutMs));
    return found;
  }

  // A seeded connection whose first query has been answered.
  SConnection ConnectAnswered() {
    SeedCache();
    SConnection c = Connect();
    EXPECT_TRUE(Send(c, 1));
    EXPECT_EQ(WaitCalls("answer", 1).size(), 1u);
    return c;
  }

  // Polls the log, at most timeoutMs, for a line holding part; the lines
  // read stay in m_lines.
  bool WaitLog(const std::wstring& part, int timeoutMs = 5000) {
    return testsupport::WaitUntil(
        [&] {
          for (auto& line : m_log.TakeTexts()) m_lines.push_back(line);
          return Contains(m_lines, part);
        },
        std::chrono::milliseconds(timeoutMs));
  }

  // The client has disconnected: its socket is shut and it takes no query.
  bool WaitShutDown(SConnection& c, int timeoutMs = 5000) {
    testsupport::WaitUntil([&] { return c.socket->IsShutDown(); }, std::chrono::milliseconds(timeoutMs));
    return c.socket->IsShutDown() && !c.client->SendRequest(dnstest::Query(99, "late.test", 1), Handler(99));
  }

  // Each case of a table starts with an empty capture. The case's connection
  // goes first: its socket's thread may still be inside a sink call.
  void EndCase(SConnection& c) {
    c.socket.reset();  // joins that thread
    c.client.reset();
    m_server.reset();
    m_sink.reset();
    m_sink = std::make_unique<CCaptureSink>();
  }

  std::unique_ptr<CCaptureSink> m_sink = std::make_unique<CCaptureSink>();
  testsupport::LogCapture m_log{LogDebug};
  std::unique_ptr<CDoqTestServer> m_server;
  std::vector<std::wstring> m_lines;
  const testsupport::SIssued* m_served = nullptr;
};

// ngtcp2 is given each family's real address length; the cache key keeps
// the whole 128-byte record.
TEST_F(QuicClientTest, SeededServerAnswersAndSeesLengthQueryAndFin) {
  for (const char* address : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(address);
    StartServer({}, nullptr, address);
    SeedCache();
    SConnection c = Connect();
    Bytes query = dnstest::Query(7, "www.example.test", 1);
    ASSERT_TRUE(Send(c, 7, query));
    auto answers = WaitCalls("answer", 1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].requestId, 7u);
    Bytes expected = query;
    expected[2] |= 0x80;
    EXPECT_EQ(answers[0].bytes, expected);
    SDoqRecords r = m_server->Records();
    ASSERT_EQ(r.streams.size(), 1u);
    EXPECT_EQ(r.streams[0].bytes, Framed(query));
    EXPECT_TRUE(r.streams[0].fin);
    ASSERT_EQ(r.sni.size(), 1u);
    EXPECT_EQ(r.sni[0], kHost);
    EXPECT_EQ(r.alpn[0], "doq");
    c.socket->Detach();
    EndCase(c);
  }
}

// The connection's failures reach every query given to the client.
TEST_F(QuicClientTest, AbortFailsEveryQueryAndDisconnects) {
  SDoqServerOptions options;
  options.answerDelayMs = 3000;
  StartServer(options);
  SeedCache();
  SConnection c = Connect();
  ASSERT_TRUE(Send(c, 1));
  ASSERT_TRUE(Send(c, 2));
  ASSERT_TRUE(m_server->WaitFor([](const SDoqRecords& r) { return r.streams.size() == 2; }));
  c.client->Abort(L"Could not receive data from doq.test (127.0.0.1) with error 64");
  // The shut socket's failed receive may abort them once more, as the
  // engine's connection does; the engine ignores a request already gone.
  auto errors = WaitCalls("pending-error", 2);
  ASSERT_GE(errors.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(errors[i].requestId, i + 1);
    EXPECT_EQ(errors[i].text, L"Could not receive data from doq.test (127.0.0.1) with error 64");
  }
  EXPECT_TRUE(WaitShutDown(c));
}

TEST_F(QuicClientTest, AnAddressTargetSendsItsTextAsServerName) {
  StartServer();
  SeedCache(L"127.0.0.1");
  SConnection c = Connect(L"127.0.0.1");
  ASSERT_TRUE(Send(c, 1));
  ASSERT_EQ(WaitCalls("answer", 1).size(), 1u);
  SDoqRecords r = m_server->Records();
  ASSERT_EQ(r.sni.size(), 1u);
  EXPECT_EQ(r.sni[0], "127.0.0.1");
}

// A server without "doq", or without a group the client offers, never
// carries a query: the handshake fails and the query with it.
TEST_F(QuicClientTest, HandshakeFailsWithoutDoqOrACommonGroup) {
  struct SCase {
    const char* name;
    std::string alpn, groups;
  };
  for (const SCase& c : {SCase{"h3", "h3", ""}, SCase{"no_alpn", "", ""},
                         SCase{"ffdhe_only", "doq", "+GROUP-FFDHE2048"}}) {
    SCOPED_TRACE(c.name);
    SDoqServerOptions options;
    options.alpn = c.alpn;
    options.groups = c.groups;
    StartServer(options);
    SeedCache();
    SConnection connection = Connect();
    ASSERT_TRUE(Send(connection, 3));
    EXPECT_TRUE(WaitShutDown(connection));
    EXPECT_TRUE(WaitLog(L"ngtcp2_conn_read_pkt: "));
    m_lines.clear();
    EXPECT_TRUE(WaitCalls("answer", 1, 100).empty());
    EXPECT_EQ(m_server->Records().handshakes, 0u);
    connection.socket->Detach();
    EndCase(connection);
  }
}

// The client's own TLS refuses the server's handshake: the close it sends
// carries the TLS alert as a crypto error (0x100 + the alert).
TEST_F(QuicClientTest, AHandshakeItsTlsRefusesIsClosedWithTheAlert) {
  SDoqServerOptions options;
  options.badSignature = true;
  StartServer(options);
  SeedCache();
  SConnection c = Connect();
  ASSERT_TRUE(Send(c, 1));
  EXPECT_TRUE(WaitShutDown(c));
  ASSERT_TRUE(m_server->WaitFor([](const SDoqRecords& r) { return !r.closeCodes.empty(); }));
  constexpr uint64_t kDecryptError = 51;
  EXPECT_EQ(m_server->Records().closeCodes, std::vector<uint64_t>{0x100 + kDecryptError});
  EXPECT_EQ(m_server->Records().handshakes, 0u);
  EXPECT_TRUE(WaitCalls("answer", 1, 100).empty());
}

TEST_F(QuicClientTest, AnUnknownGroupLeavesNoClient) {
  SetQuicClientConfigForTesting([](CQuicClientConfig& config) { config.groups = "P-999"; });
  StartServer();
  auto socket = CUdpShadowSocket::Create(m_server->Address(), L"s");
  EXPECT_FALSE(CQuicClient::Create(socket->Socket(), socket, kWideHost, m_server->Address()));
  auto lines = m_log.TakeTexts();
  EXPECT_TRUE(Contains(lines, L"SSL_CTX_set1_curves_list failed"));
  EXPECT_TRUE(Contains(lines, L"TLS context cannot be created"));
}

TEST_F(QuicClientTest, QueriesGivenBeforeTheHandshakeGoOutInOrderAfterIt) {
  SDoqServerOptions options;
  options.streamCredit = 1;  // then one more per closed stream
  StartServer(options);
  SeedCache();
  SConnection c = Connect();
  for (uint64_t id : {11, 12, 13}) ASSERT_TRUE(c.client->SendRequest(dnstest::Query(id, "x.test", 1), Handler(id)));
  c.client->SendPending();
  auto answers = WaitCalls("answer", 3);
  ASSERT_EQ(answers.size(), 3u);
  SDoqRecords r = m_server->Records();
  ASSERT_EQ(r.streams.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(r.streams[i].bytes, Framed(dnstest::Query(static_cast<uint16_t>(11 + i), "x.test", 1)));
    EXPECT_EQ(answers[i].requestId, 11 + i);
  }
}

// What the server sends on the stream decides what the handler gets.
TEST_F(QuicClientTest, AnswerShapes) {
  struct SCase {
    const char* name;
    std::function<void(SDoqServerOptions&)> knob;
    size_t answers;
    const wchar_t* error;    // the query's failure, or null
    const wchar_t* logLine;  // a line that must appear, or null
  };
  const SCase cases[] = {
      {"chunked_once", [](SDoqServerOptions& o) { o.answerChunks = 4; }, 1, nullptr, nullptr},
      {"delayed", [](SDoqServerOptions& o) { o.answerDelayMs = 200; }, 1, nullptr, nullptr},
      {"first_datagram_lost", [](SDoqServerOptions& o) { o.dropFirst = 1; }, 1, nullptr, nullptr},
      {"reset", [](SDoqServerOptions& o) { o.resetCode = 5; }, 0, L"DNS answer is incomplete", nullptr},
      {"short", [](SDoqServerOptions& o) { o.shortAnswerBy = 3; }, 0, L"DNS answer is incomplete", nullptr},
      {"empty", [](SDoqServerOptions& o) { o.missingAnswers = true; }, 0, nullptr, L"q21 - empty DNS response"},
  };
  for (const SCase& k : cases) {
    SCOPED_TRACE(k.name);
    SDoqServerOptions options;
    k.knob(options);
    StartServer(options);
    SeedCache();
    SConnection c = Connect();
    ASSERT_TRUE(Send(c, 21));
    ASSERT_TRUE(m_server->WaitFor([](const SDoqRecords& r) { return !r.streams.empty(); }));
    EXPECT_EQ(WaitCalls("answer", k.answers, k.answers ? 5000 : 300).size(), k.answers);
    // An awaited failure gets the full wait: a loaded sanitized run is slow.
    auto errors = WaitCalls("pending-error", k.error ? 1 : 0, k.error ? 5000 : 300);
    if (k.error) {
      ASSERT_FALSE(errors.empty());
      EXPECT_EQ(errors[0].text, k.error);
    } else {
      EXPECT_TRUE(errors.empty());
    }
    if (k.logLine) {
      EXPECT_TRUE(WaitLog(k.logLine));
    }
    c.socket->Detach();
    EndCase(c);
  }
}

TEST_F(QuicClientTest, KeyUpdateAfterTheShortenedDelayThenAnAnswer) {
  SetQuicClientConfigForTesting([](CQuicClientConfig& config) { config.keyUpdateDelay = 200'000'000; });
  StartServer();
  SConnection c = ConnectAnswered();
  ASSERT_TRUE(WaitLog(L"Initiate key update"));
  ASSERT_TRUE(Send(c, 2));
  ASSERT_EQ(WaitCalls("answer", 2).size(), 2u);
  EXPECT_TRUE(m_server->WaitFor([](const SDoqRecords& r) { return r.keyUpdates >= 1; }));
  EXPECT_TRUE(WaitLog(L"Updating traffic key"));
}

TEST_F(QuicClientTest, AnUncachedHandshakeIsClosedCheckedAndThenAccepted) {
  StartServer();
  SConnection first = Connect();
  ASSERT_TRUE(Send(first, 1));
  ASSERT_TRUE(WaitShutDown(first));
  // The close reaches the server, before the socket is shut.
  EXPECT_TRUE(m_server->WaitFor([](const SDoqRecords& r) { return !r.closeCodes.empty(); }));
  EXPECT_EQ(m_server->Records().closeCodes, std::vector<uint64_t>{0});
  EXPECT_TRUE(WaitLog(L"TLS certificate for doq.test is valid"));
  EXPECT_TRUE(Contains(m_lines, L"TLS certificate for doq.test will be validated"));
  EXPECT_TRUE(Contains(m_lines, L"Negotiated cipher suite is TLS_"));
  EXPECT_TRUE(Contains(m_lines, L"Negotiated ALPN is doq"));
  EXPECT_TRUE(WaitCalls("answer", 1, 100).empty());
  m_lines.clear();

  SConnection second = Connect();
  ASSERT_TRUE(Send(second, 2));
  ASSERT_EQ(WaitCalls("answer", 1).size(), 1u);
  EXPECT_FALSE(WaitLog(L"will be validated", 0));

  // The same certificate on another port is another server.
  StartServer();
  SConnection third = Connect();
  ASSERT_TRUE(Send(third, 3));
  EXPECT_TRUE(WaitShutDown(third));
  EXPECT_TRUE(WaitLog(L"TLS certificate for doq.test will be validated"));
}

// A check still running when the program exits ends before the cache and
// the trust list it uses are destroyed.
using QuicClientDeathTest = QuicClientTest;
TEST_F(QuicClientDeathTest, AnExitDuringACertificateCheckWaitsForIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  StartServer();
  EXPECT_EXIT(
      {
        static const size_t before = GetCertificateCache().Size();
        // Registered after the cache is made: runs after what exit destroys
        // first (the running checks) and before the cache goes.
        std::atexit([] { std::_Exit(GetCertificateCache().Size() > before ? 0 : 3); });
        SConnection c = Connect();
        Send(c, 1);
        // Polled without a pause, so that exit comes while the check runs.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!WaitLog(L"will be validated", 0)) {
          if (std::chrono::steady_clock::now() > deadline) std::_Exit(4);
        }
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(QuicClientTest, AWrongHostIsCheckedAtEveryConnection) {
  StartServer({}, &Certificates().wrongHost);
  for (uint64_t id : {1, 2}) {
    SConnection c = Connect();
    ASSERT_TRUE(Send(c, id));
    EXPECT_TRUE(WaitShutDown(c));
    EXPECT_TRUE(WaitLog(L"TLS certificate for doq.test is invalid: 800b010f ("));
    m_lines.clear();
    c.socket->Detach();
  }
  EXPECT_TRUE(WaitCalls("answer", 1, 100).empty());
}

TEST_F(QuicClientTest, AnIdleCloseSendsNothing) {
  SetQuicClientConfigForTesting([](CQuicClientConfig& config) { config.idleTimeout = 300'000'000; });
  StartServer();
  SConnection c = ConnectAnswered();
  // ngtcp2 waits at least three probe timeouts, which a loaded run's slow
  // round trips stretch well past the idle time.
  ASSERT_TRUE(WaitShutDown(c, 15000));
  EXPECT_TRUE(WaitLog(L"ngtcp2_conn_handle_expiry: "));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(m_server->Records().closeCodes.empty());
}

// The socket's answers to Send, scripted for the first datagram.
TEST_F(QuicClientTest, ScriptedSendResults) {
  StartServer();
  SeedCache();
  {
    SCOPED_TRACE("10035 waits for the completion");
    SConnection c = Connect(kWideHost, [](size_t i) -> std::optional<int> {
      if (i == 0) return kQuicSocketWouldBlock;
      return std::nullopt;
    });
    ASSERT_TRUE(Send(c, 1));
    EXPECT_EQ(WaitCalls("answer", 1).size(), 1u);
    // The refused datagram is the next one sent, unchanged.
    auto attempts = c.socket->Attempts();
    ASSERT_GE(attempts.size(), 2u);
    EXPECT_EQ(attempts[1], attempts[0]);
    c.socket->Detach();
  }
  {
    SCOPED_TRACE("10040 counts as sent");
    SConnection c = Connect(kWideHost, [](size_t i) -> std::optional<int> {
      if (i == 0) return kQuicSocketMessageSize;
      return std::nullopt;
    });
    ASSERT_TRUE(Send(c, 2));
    EXPECT_EQ(WaitCalls("answer", 2, 8000).size(), 2u);  // after the library's retransmission
    EXPECT_TRUE(Contains(m_log.TakeTexts(), L"sendmsg: (10040) "));
    c.socket->Detach();
  }
  {
    SCOPED_TRACE("10058 is only a debug line; nothing goes out after the disconnect");
    for (int level : {LogDebug, LogVerbose}) {
      m_log.TakeTexts();
      m_lines.clear();
      m_log.SetLevel(level);
      SConnection c = Connect(kWideHost, [](size_t i) -> std::optional<int> {
        if (i == 0) return kQuicSocketShutdownError;
        return std::nullopt;
      });
      EXPECT_TRUE(Send(c, 3));
      EXPECT_TRUE(WaitShutDown(c));
      EXPECT_EQ(WaitLog(L"sendmsg: (10058) ", 0), level == LogDebug);
      EXPECT_FALSE(Send(c, 4));
      c.client->OnSendCompleted();
      EXPECT_EQ(c.socket->SendsAfterShutdown(), 0u);
      c.socket->Detach();
    }
  }
}

TEST_F(QuicClientTest, AConnectionReleasedLastInsideATimerCallbackEnds) {
  SetQuicClientConfigForTesting([](CQuicClientConfig& config) { config.idleTimeout = 300'000'000; });
  StartServer();
  SConnection c = ConnectAnswered();
  std::weak_ptr<CQuicClientShadow> client = c.client;
  c.client.reset();  // the connection holds it alone now
  std::mutex mutex;
  std::condition_variable changed;
  bool inHook = false, released = false;
  c.socket->SetShutdownHook([&] {
    // The idle close, on the expiry timer's thread, with the socket locked.
    std::unique_lock lock(mutex);
    inHook = true;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return released; });
  });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return inHook; }));
    c.socket.reset();
    released = true;
    changed.notify_all();
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!client.expired() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(client.expired());
  // Orders the last report of the socket's thread before the sink goes.
  m_sink->Calls();
}

// An answer handler that submits again (as a DNSSEC sub-query does) under a
// lock that query threads also hold while they submit.
TEST_F(QuicClientTest, HandlersSubmittingUnderAPoolLockAreAllAnswered) {
  StartServer();
  SConnection c;
  std::atomic<bool> armed{false};
  std::mutex pool;
  std::atomic<uint64_t> nextId{1000};
  std::atomic<int> subQueries{0};
  std::atomic<size_t> sent{1};
  auto submit = [&](const char* name) {
    uint64_t id = nextId++;
    c.client->SendRequest(dnstest::Query(static_cast<uint16_t>(id), name, 1), Handler(id));
    c.client->SendPending();
    ++sent;
  };
  m_sink->accept = [&](const Bytes&) {
    if (armed && subQueries < 10) {
      ++subQueries;
      std::lock_guard lock(pool);
      submit("sub.test");
    }
    return true;
  };
  c = ConnectAnswered();
  armed = true;
  // Queries keep coming under the same lock while the answers are handed out.
  std::atomic<bool> done{false};
  std::thread queries([&] {
    for (int i = 0; i < 500 && subQueries < 10; ++i) {
      {
        std::lock_guard lock(pool);
        submit("q.test");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!done) {
    // Both threads hold what the other waits for: nothing can end them.
    std::fprintf(stderr, "deadlock: the query thread never finished\n");
    std::_Exit(1);
  }
  queries.join();
  EXPECT_EQ(WaitCalls("answer", sent, 10000).size(), sent.load());
  armed = false;
  c.socket->Detach();
  c.socket.reset();  // its thread ends before what the handler uses
}

TEST(QuicLibraryAssertDeathTest, LibraryAssertionsReachTheFatalErrorHook) {
  EXPECT_DEATH(
      {
        ngtcp2_cid cid;
        uint8_t bytes[21] = {};
        ngtcp2_cid_init(&cid, bytes, sizeof(bytes));
      },
      "ASSERT: .+ ; ngtcp2_cid\\.c : [0-9]+");
  // Any other assertion keeps glibc's text.
  EXPECT_DEATH(__assert_fail("x == 1", "other.cc", 7, "f"), "other.cc:7: f: Assertion `x == 1' failed");
}

}  // namespace
