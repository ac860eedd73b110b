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
#include <thread>

#include "Quorvane/foundation/fatal_error.h"
#include "Quorvane/ngtcp2/quic_client.h"
#include "Quorvane/ngtcp2/quic_library_assert.h"
#include "Quorvane/platform/cert_verify.h"
#include "Quorvane/transports/certificate_cache.h"
#include "Quorvane/transports/dns_plain_protocol_processor.h"
#include "tests/config/log_capture.h"
#include "tests/ngtcp2/doq_test_server.h"
#include "tests/ngtcp2/udp_shadow_socket.h"
#include "tests/support/test_ca.h"
#include "tests/transports/capture_sink.h"
#include "tests/transports/dns_test_messages.h"

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
  Bytes out{static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())};
  out.insert(out.end(), message.begin(), message.end());
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

  void StartServer(SDoqServerOptions options = {}, const testsupport::SIssued* leaf = nullptr) {
    const testsupport::SIssued& served = leaf ? *leaf : Certificates().leaf;
    options.certificatePem = served.certificatePem + Certificates().ca.Certificate().certificatePem;
    options.keyPem = served.keyPem;
    m_served = &served;
    m_server = std::make_unique<CDoqTestServer>(std::move(options));
    std::string error;
    ASSERT_TRUE(m_server->Start("127.0.0.1", 0, error)) << error;
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
    if (query.empty()) query = MakeQuery(static_cast<uint16_t>(requestId), "www.example.test", 1);
    bool taken = c.client->SendRequest(query, Handler(requestId));
    c.client->SendPending();
    return taken;
  }

  // The sink's calls of one kind, after waiting for count of them.
  std::vector<CCaptureSink::SCall> WaitCalls(const std::string& entry, size_t count, int timeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<CCaptureSink::SCall> found;
    while (std::chrono::steady_clock::now() < deadline) {
      found.clear();
      for (auto& call : m_sink.Calls()) {
        if (call.entry == entry) found.push_back(call);
      }
      if (found.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return found;
  }

  CCaptureSink m_sink;
  testsupport::LogCapture m_log{LogDebug};
  std::unique_ptr<CDoqTestServer> m_server;
  const testsupport::SIssued* m_served = nullptr;
};

TEST_F(QuicClientTest, SeededServerAnswersAndSeesLengthQueryAndFin) {
  StartServer();
  SeedCache();
  SConnection c = Connect();
  Bytes query = MakeQuery(7, "www.example.test", 1);
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
}

}  // namespace
