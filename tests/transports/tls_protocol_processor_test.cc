#include "Quorvane/transports/tls_protocol_processor.h"

#include <arpa/inet.h>
#include <gnutls/crypto.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Quorvane/platform/clock.h"
#include "Quorvane/transports/certificate_cache.h"
#include "Quorvane/transports/der_reader.h"
#include "tests/transports/test_trust.h"
#include "tests/transports/tls_memory_server.h"
#include "tests/support/bounded_wait.h"

namespace {

using testsupport::CTlsMemoryServer;
using testsupport::SIssued;
using testsupport::TrustedCa;
using Bytes = std::vector<uint8_t>;

sockaddr_storage Loopback(uint16_t port) {
  sockaddr_storage address{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(port);
  v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

Bytes Framed(const Bytes& message) {
  Bytes framed{static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())};
  framed.insert(framed.end(), message.begin(), message.end());
  return framed;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The tbsCertificate by an independent reading, and its SHA-256 as a pin.
std::string PinOf(const Bytes& der) {
  auto headerLength = [](const uint8_t* p) { return p[1] < 0x80 ? 2 : 2 + (p[1] & 0x7f); };
  auto contentLength = [](const uint8_t* p) {
    if (p[1] < 0x80) return static_cast<size_t>(p[1]);
    size_t n = 0;
    for (int i = 0; i < (p[1] & 0x7f); ++i) n = n << 8 | p[2 + i];
    return n;
  };
  const uint8_t* tbs = der.data() + headerLength(der.data());
  std::string digest(32, '\0');
  gnutls_hash_fast(GNUTLS_DIG_SHA256, tbs, headerLength(tbs) + contentLength(tbs), digest.data());
  return digest;
}

class TlsLayerTest : public testing::Test {
 protected:
  TlsLayerTest() {
    platform::SetClockSourceForTesting(&m_clock);
    m_leaf = TrustedCa().IssueLeaf(testsupport::LeafFor({"dot.example.test"}, {"127.0.0.1"}));
    m_stamp = "sdns://test-" + std::to_string(++s_stamps);
  }
  ~TlsLayerTest() override {
    // A re-check thread still running would read the clock being removed.
    testsupport::WaitUntil([] { return CTlsProtocolProcessor::RunningRechecks() == 0; });
    platform::SetClockSourceForTesting(nullptr);
  }

  struct SResult {
    CProcessingResultCode::Code code;
    std::wstring message;
    std::shared_ptr<CProcessingResultCode::Task> task;
  };

  // Drives the handshake, the server's bytes handed over in segments of
  // segment bytes, until the layer is ready or stops with a result other
  // than Ok or NeedMoreData. Runs a long task when asked to.
  SResult Handshake(CDnsTlsProtocolProcessor& layer, CTlsMemoryServer& server, const std::wstring& target,
                    std::vector<std::string> pins = {}, size_t segment = 1 << 20, bool runTask = true) {
    CProcessingResultCode result;
    Bytes toSend;
    layer.Start(result, target, Loopback(853), pins, toSend, m_stamp);
    if (result.code != CProcessingResultCode::Ok) return {result.code, result.message, nullptr};
    bool serverDone = false;
    SResult last{CProcessingResultCode::Ok, L"", nullptr};
    for (int round = 0; round < 10 && !serverDone; ++round) {
      Bytes fromServer = server.Handshake(toSend, serverDone);
      toSend.clear();
      if (serverDone) {
        // The server's last flight (its tickets) reaches the client as well.
        Bytes answer;
        if (!fromServer.empty()) layer.ProcessIncomingData(result, fromServer, toSend, answer);
        EXPECT_NE(result.code, CProcessingResultCode::Error) << result.message;
        break;
      }
      for (size_t at = 0; at < fromServer.size(); at += segment) {
        Bytes piece(fromServer.begin() + at, fromServer.begin() + std::min(fromServer.size(), at + segment));
        const bool wasReady = layer.IsReady();
        const size_t sent = toSend.size();
        Bytes answer;
        layer.ProcessIncomingData(result, piece, toSend, answer);
        // Until its end, the handshake waits for more unless it has bytes to send.
        if (!layer.IsReady() && result.code == CProcessingResultCode::Ok) {
          EXPECT_GT(toSend.size(), sent);
        }
        if (result.code == CProcessingResultCode::LongTask && !wasReady) {
          EXPECT_EQ(result.message, L"Check certificate data");
          if (!runTask) {
            last = {result.code, result.message, result.task};
            continue;
          }
          result = (*result.task)();
        }
        if (result.code == CProcessingResultCode::Error) return {result.code, result.message, nullptr};
        if (layer.IsReady() && !wasReady) last = {result.code, result.message, result.task};
      }
    }
    EXPECT_TRUE(serverDone);
    return last;
  }

  // Sends the query through the layer and returns the answer the server's
  // bytes give.
  Bytes Exchange(CDnsTlsProtocolProcessor& layer, CTlsMemoryServer& server, const Bytes& query,
                 const Bytes& serverBytes, Bytes* clientBytes = nullptr) {
    CProcessingResultCode result;
    Bytes records;
    layer.ProcessOutgoingData(result, query, records);
    EXPECT_EQ(result.code, CProcessingResultCode::Ok);
    EXPECT_EQ(server.Receive(records), Framed(query));
    Bytes in = serverBytes, toSend, answer;
    layer.ProcessIncomingData(result, in, toSend, answer);
    EXPECT_EQ(result.code, CProcessingResultCode::Ok) << result.message;
    if (clientBytes) *clientBytes = toSend;
    return answer;
  }

  static inline int s_stamps = 0;
  platform::FakeClock m_clock;
  SIssued m_leaf;
  std::string m_stamp;
  const Bytes m_query{0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};
  const Bytes m_reply{0x12, 0x34, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};
};

TEST_F(TlsLayerTest, FirstHandshakeWaitsForTheCheckThenCarriesTheQuery) {
  CTlsMemoryServer server(m_leaf.certificatePem, m_leaf.keyPem);
  CDnsTlsProtocolProcessor layer(L"DoT server");
  SResult r = Handshake(layer, server, L"dot.example.test");
  EXPECT_EQ(r.code, CProcessingResultCode::Ok) << r.message;
  EXPECT_EQ(server.ServerName(), "dot.example.test");
  EXPECT_EQ(Exchange(layer, server, m_query, server.Send(Framed(m_reply))), m_reply);
}

TEST_F(TlsLayerTest, HandshakeInOneByteSegments) {
  CTlsMemoryServer server(m_leaf.certificatePem, m_leaf.keyPem);
  CDnsTlsProtocolProcessor layer(L"DoT server");
  EXPECT_EQ(Handshake(layer, server, L"127.0.0.1", {}, 1).code, CProcessingResultCode::Ok);
  EXPECT_EQ(server.ServerName(), "");  // no SNI for an address
  EXPECT_EQ(Exchange(layer, server, m_query, server.Send(Framed(m_reply))), m_reply);
}

TEST_F(TlsLayerTest, RecordsArrivingTogether) {
  struct SCase {
    const char* name;
    Bytes (*serverBytes)(CTlsMemoryServer&, const Bytes&);
  };
  const SCase cases[] = {
      {"two_tickets_and_the_answer",
       [](CTlsMemoryServer& s, const Bytes& reply) {
         Bytes tickets = s.SendTickets(2);
         return Concat(tickets, s.Send(Framed(reply)));
       }},
      {"prefix_and_message_in_separate_records",
       [](CTlsMemoryServer& s, const Bytes& reply) {
         Bytes framed = Framed(reply);
         Bytes prefix = s.Send(Bytes(framed.begin(), framed.begin() + 2));
         return Concat(prefix, s.Send(reply));
       }},
      {"answer_then_close",
       [](CTlsMemoryServer& s, const Bytes& reply) {
         Bytes answer = s.Send(Framed(reply));
         return Concat(answer, s.Close());
       }},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    CTlsMemoryServer server(m_leaf.certificatePem, m_leaf.keyPem);
    CDnsTlsProtocolProcessor layer(L"DoT server");
    ASSERT_EQ(Handshake(layer, server, L"dot.example.test").code, CProcessingResultCode::Ok);
    EXPECT_EQ(Exchange(layer, server, m_query, c.serverBytes(server, m_reply)), m_reply);
  }
}

TEST_F(TlsLayerTest, KeyUpdateBeforeTheAnswer) {
  CTlsMemoryServer server(m_leaf.certificatePem, m_leaf.keyPem);
  CDnsTlsProtocolProcessor layer(L"DoT server");
  ASSERT_EQ(Handshake(layer, server, L"dot.example.test").code, CProcessingResultCode::Ok);
  Bytes serverBytes = server.RequestKeyUpdate();
  serverBytes = Concat(serverBytes, server.Send(Framed(m_reply)));
  EXPECT_EQ(Exchange(layer, server, m_query, serverBytes), m_reply);
  // The client's own update rides on what it sends next; both sides go on.
  EXPECT_EQ(Exchange(layer, server, m_query, server.Send(Framed(m_reply))), m_reply);
}

TEST_F(TlsLayerTest, LongQueryTakesSeveralRecords) {
  CTlsMemoryServer server(m_leaf.certificatePem, m_leaf.keyPem);
  CDnsTlsProtocolProcessor layer(L"DoT server");
  ASSERT_EQ(Handshake(layer, server, L"dot.example.test").code, CProcessingResultCode::Ok);
  Bytes query(65535, 0x5a);
  CProcessingResultCode result;
  Bytes records;
  layer.ProcessOutgoingData(result, query, records);
  ASSERT_EQ(result.code, CProcessingResultCode::Ok);
  EXPECT_GT(records.size(), 65537u + 3 * 5);
  EXPECT_EQ(server.Receive(records), Framed(query));
}

TEST_F(TlsLayerTest, Failures) {
  {
    SCOPED_TRACE("data before the handshake");
    CDnsTlsProtocolProcessor layer(L"DoT server");
    CProcessingResultCode result;
    Bytes out;
    layer.m_outer.ProcessOutgoingData(result, m_query, out);
    EXPECT_EQ(result.message, L"The upstream data cannot be send because handshake is not coplete");
    layer.m_outer.ProcessAnswer(result, nullptr, 0, true, true);
    EXPECT_EQ(result.message, L"Not implemented in CTlsProtocolProcessor");
  }
  {
    SCOPED_TRACE("abort mid-handshake");
    CTlsMemoryServer server(m_leaf.certificatePem, m_leaf.keyPem);
    CDnsTlsProtocolProcessor layer(L"DoT server");
    CProcessingResultCode result;
    Bytes toSend, answer;
    layer.Start(result, L"dot.example.test", Loopback(853), {}, toSend, m_stamp);
    // The server refuses the client's hello with a fatal alert.
    Bytes alert = server.Alert();
    layer.ProcessIncomingData(result, alert, toSend, answer);
    EXPECT_EQ(result.code, CProcessingResultCode::Error);
    EXPECT_EQ(result.message.rfind(L"SSL handshake cannot be processed, InitializeSecurityContext failed with error: "
                                   L"80090326",
                                   0),
              0u)
        << result.message;
  }
  {
    SCOPED_TRACE("a record that fails to decrypt");
    CTlsMemoryServer server(m_leaf.certificatePem, m_leaf.keyPem);
    CDnsTlsProtocolProcessor layer(L"DoT server");
    ASSERT_EQ(Handshake(layer, server, L"dot.example.test").code, CProcessingResultCode::Ok);
    Bytes records = server.Send(Framed(m_reply));
    records.back() ^= 0x01;
    CProcessingResultCode result;
    Bytes toSend, answer;
    layer.ProcessIncomingData(result, records, toSend, answer);
    EXPECT_EQ(result.code, CProcessingResultCode::Error);
    EXPECT_EQ(result.message.rfind(L"SSL receive failed, DecryptMessage return error: 80090330", 0), 0u) << result.message;
    EXPECT_TRUE(answer.empty());
  }
}

TEST_F(TlsLayerTest, CertificateChecks) {
  testsupport::CTestCa unknown("Unknown CA");
  SIssued stranger = unknown.IssueLeaf(testsupport::LeafFor({"dot.example.test"}));
  testsupport::SLeafOptions expiredOptions = testsupport::LeafFor({"dot.example.test"});
  expiredOptions.notBefore = -7200;
  expiredOptions.notAfter = -60;
  SIssued expired = TrustedCa().IssueLeaf(expiredOptions);
  struct SCase {
    const char* name;
    const SIssued* leaf;
    std::wstring target;
  };
  const SCase cases[] = {
      {"wrong_name", &m_leaf, L"other.example.test"},
      {"unknown_ca", &stranger, L"dot.example.test"},
      {"expired", &expired, L"dot.example.test"},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    CTlsMemoryServer server(c.leaf->certificatePem, c.leaf->keyPem);
    CDnsTlsProtocolProcessor layer(L"DoT server");
    SResult r = Handshake(layer, server, c.target);
    EXPECT_EQ(r.code, CProcessingResultCode::Error);
    EXPECT_EQ(r.message, L"TLS certificate verification failed");
  }
  EXPECT_EQ(GetCertificateCache().GetVerifiedTime(L"other.example.test", {}, {}, m_stamp), 0);
}

TEST_F(TlsLayerTest, PinsWalkTheSortedChainAndItsAnchor) {
  auto intermediate = TrustedCa().MakeIntermediate("Pinned Intermediate");
  SIssued leaf = intermediate->IssueLeaf(testsupport::LeafFor({"dot.example.test"}));
  // Sent as leaf, intermediate: a three-level chain with the root as anchor.
  const std::string chainPem = leaf.certificatePem + intermediate->Certificate().certificatePem;
  testsupport::SLeafOptions compactOptions = testsupport::LeafFor({"c.test"});
  compactOptions.keyType = testsupport::EKeyType::Ed25519;
  compactOptions.compact = true;
  compactOptions.usages.clear();
  compactOptions.commonName = "c";
  SIssued compact = TrustedCa().IssueLeaf(compactOptions);
  // DER writes this leaf's tbsCertificate with a 0x81 length.
  ASSERT_EQ(compact.der[compact.der[1] < 0x80 ? 3 : 2 + (compact.der[1] & 0x7f) + 1], 0x81);

  const std::string leafPin = PinOf(leaf.der);
  struct SCase {
    const char* name;
    std::string chain, key;
    std::wstring target;
    std::vector<std::string> pins;
    std::wstring want;
  };
  const SCase cases[] = {
      {"leaf_only", chainPem, leaf.keyPem, L"dot.example.test", {leafPin}, L""},
      {"intermediate_only", chainPem, leaf.keyPem, L"dot.example.test", {PinOf(intermediate->Certificate().der)}, L""},
      {"root_anchor", chainPem, leaf.keyPem, L"dot.example.test", {PinOf(TrustedCa().Certificate().der)}, L""},
      {"wrong", chainPem, leaf.keyPem, L"dot.example.test", {std::string(32, 'x')},
       L"TLS certificate does not match provided hash"},
      {"31_bytes", chainPem, leaf.keyPem, L"dot.example.test", {leafPin.substr(0, 31)},
       L"TLS certificate does not match provided hash"},
      {"compact_0x81_leaf", compact.certificatePem, compact.keyPem, L"c.test", {PinOf(compact.der)}, L""},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    m_stamp = std::string("sdns://pins-") + c.name;  // no case may hit another's cache entry
    CTlsMemoryServer server(c.chain, c.key);
    CDnsTlsProtocolProcessor layer(L"DoT server");
    SResult r = Handshake(layer, server, c.target, c.pins);
    EXPECT_EQ(r.message, c.want);
    EXPECT_EQ(r.code, c.want.empty() ? CProcessingResultCode::Ok : CProcessingResultCode::Error);
  }
}

TEST_F(TlsLayerTest, CacheAcceptsSixHundredSecondsThenRechecksInTheBackground) {
  auto connect = [&] {
    CTlsMemoryServer server(m_leaf.certificatePem, m_leaf.keyPem);
    CDnsTlsProtocolProcessor layer(L"DoT server");
    return Handshake(layer, server, L"dot.example.test", {}, 1 << 20, false);
  };
  auto cachedTime = [&] {
    Bytes key;
    SubjectPublicKeyBytes(m_leaf.der, key);
    sockaddr_storage address = Loopback(853);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
    return GetCertificateCache().GetVerifiedTime(L"dot.example.test", key, Bytes(bytes, bytes + sizeof address),
                                                 m_stamp);
  };
  SResult first = connect();
  ASSERT_EQ(first.code, CProcessingResultCode::LongTask);
  const int64_t t0 = platform::TickSeconds();
  ASSERT_EQ((*first.task)().code, CProcessingResultCode::Ok);
  ASSERT_EQ(cachedTime(), t0);

  for (uint64_t age : {599, 600}) {
    SCOPED_TRACE(age);
    m_clock.AdvanceMs(age * 1000 - (platform::TickSeconds() - t0) * 1000);
    EXPECT_EQ(connect().code, CProcessingResultCode::Ok);
    EXPECT_EQ(CTlsProtocolProcessor::RunningRechecks(), 0);
    EXPECT_EQ(cachedTime(), t0);
  }
  m_clock.AdvanceMs(1000);
  EXPECT_EQ(connect().code, CProcessingResultCode::Ok);  // at once, the check runs behind
  testsupport::WaitUntil([&]() -> bool { return cachedTime() == t0 + 601; });
  EXPECT_EQ(cachedTime(), t0 + 601);
}

TEST_F(TlsLayerTest, FailedRecheckDropsTheEntryOnly) {
  testsupport::CTestCa unknown("Unknown CA");
  SIssued stranger = unknown.IssueLeaf(testsupport::LeafFor({"dot.example.test"}));
  Bytes key;
  ASSERT_TRUE(SubjectPublicKeyBytes(stranger.der, key));
  sockaddr_storage address = Loopback(853);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
  const Bytes addressBytes(bytes, bytes + sizeof address);
  GetCertificateCache().SetVerified(L"dot.example.test", key, addressBytes, m_stamp);
  m_clock.AdvanceMs(700'000);

  CTlsMemoryServer server(stranger.certificatePem, stranger.keyPem);
  CDnsTlsProtocolProcessor layer(L"DoT server");
  EXPECT_EQ(Handshake(layer, server, L"dot.example.test").code, CProcessingResultCode::Ok);
  EXPECT_EQ(Exchange(layer, server, m_query, server.Send(Framed(m_reply))), m_reply);
  for (int i = 0; i < 500 && GetCertificateCache().GetVerifiedTime(L"dot.example.test", key, addressBytes, m_stamp);
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(GetCertificateCache().GetVerifiedTime(L"dot.example.test", key, addressBytes, m_stamp), 0);
}

TEST_F(TlsLayerTest, CopyCarriesParametersNotTheSession) {
  CTlsMemoryServer server(m_leaf.certificatePem, m_leaf.keyPem);
  CDnsTlsProtocolProcessor layer(L"DoT server");
  ASSERT_EQ(Handshake(layer, server, L"dot.example.test").code, CProcessingResultCode::Ok);
  CTlsProtocolProcessor copy(layer.m_outer);
  EXPECT_FALSE(copy.IsReady());
  EXPECT_EQ(copy.m_serverName, L"DoT server");
  CProcessingResultCode result;
  Bytes toSend;
  copy.Start(result, L"dot.example.test", Loopback(853), {}, toSend, m_stamp);
  EXPECT_EQ(result.code, CProcessingResultCode::Ok);
  EXPECT_FALSE(toSend.empty());
}

TEST(DerReader, KeyBytesAndBoundedLengths) {
  // version, serial, signature, issuer, validity, subject, then the key.
  const Bytes tbsBody{0xA0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x01, 0x01, 0x30, 0x00, 0x30, 0x00, 0x30, 0x00, 0x30,
                      0x00, 0x30, 0x0B, 0x30, 0x05, 0x06, 0x03, 0x2B, 0x65, 0x70, 0x03, 0x02, 0x00, 0xAB};
  Bytes tbs{0x30, static_cast<uint8_t>(tbsBody.size())};
  tbs.insert(tbs.end(), tbsBody.begin(), tbsBody.end());
  Bytes certificate{0x30, static_cast<uint8_t>(tbs.size())};
  certificate.insert(certificate.end(), tbs.begin(), tbs.end());
  Bytes key;
  ASSERT_TRUE(SubjectPublicKeyBytes(certificate, key));
  EXPECT_EQ(key, Bytes{0xAB});

  SIssued leaf = TrustedCa().IssueLeaf([] {
    auto o = testsupport::LeafFor({"k.test"});
    o.keyType = testsupport::EKeyType::Ed25519;
    return o;
  }());
  ASSERT_TRUE(SubjectPublicKeyBytes(leaf.der, key));
  EXPECT_EQ(key.size(), 32u);

  struct SCase {
    const char* name;
    Bytes der;
  };
  const SCase bad[] = {
      {"empty", {}},
      {"five_length_bytes", {0x30, 0x85, 0, 0, 0, 0, 3, 0x30, 0x01, 0x00}},
      {"outer_past_the_end", {0x30, 0x81, 0x90, 0x30, 0x00}},
      {"inner_past_the_outer", {0x30, 0x03, 0x30, 0x05, 0x00, 0x00, 0x00, 0x00}},
      {"long_form_truncated", {0x30, 0x84, 0x00, 0x00}},
      {"not_a_sequence", {0x31, 0x02, 0x30, 0x00}},
  };
  for (const SCase& c : bad) {
    SCOPED_TRACE(c.name);
    SDerElement tbsElement;
    EXPECT_FALSE(FindTbsCertificate(c.der, tbsElement));
    EXPECT_FALSE(CTlsProtocolProcessor::HashTbsCertificate(c.der, {std::string(32, '\0')}));
    EXPECT_FALSE(SubjectPublicKeyBytes(c.der, key));
  }
  // Every long form up to four length bytes is read.
  for (int count = 1; count <= 4; ++count) {
    Bytes der{0x30, static_cast<uint8_t>(0x80 | count)};
    for (int i = 0; i < count - 1; ++i) der.push_back(0);
    der.push_back(2);
    der.insert(der.end(), {0x30, 0x00});
    SDerElement tbsElement;
    EXPECT_TRUE(FindTbsCertificate(der, tbsElement)) << count;
  }
}

TEST_F(TlsLayerTest, ChecksRechecksAndPurgeAtOnce) {
  // Long tasks, background re-checks and the worker's purge share the cache.
  SIssued leaves[2] = {TrustedCa().IssueLeaf(testsupport::LeafFor({"a.example.test"})),
                       TrustedCa().IssueLeaf(testsupport::LeafFor({"b.example.test"}))};
  std::atomic<bool> stop{false};
  std::thread purger([&] {
    while (!stop) GetCertificateCache().Purge(platform::TickSeconds());
  });
  std::vector<std::thread> checkers;
  for (int t = 0; t < 4; ++t) {
    checkers.emplace_back([&, t] {
      const SIssued& leaf = leaves[t % 2];
      PCertificateContext context = testsupport::ContextOf(leaf);
      Bytes key;
      SubjectPublicKeyBytes(leaf.der, key);
      const std::wstring name = t % 2 ? L"b.example.test" : L"a.example.test";
      for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(CTlsProtocolProcessor::CheckCertificate(context, key, name, {}, {}, m_stamp).code,
                  CProcessingResultCode::Ok);
      }
    });
  }
  for (int i = 0; i < 3; ++i) {
    m_clock.AdvanceMs(601'000);
    CTlsMemoryServer server(leaves[0].certificatePem, leaves[0].keyPem);
    CDnsTlsProtocolProcessor layer(L"DoT server");
    SResult r = Handshake(layer, server, L"a.example.test");
    EXPECT_NE(r.code, CProcessingResultCode::Error) << r.message;
  }
  for (auto& t : checkers) t.join();
  stop = true;
  purger.join();
}

}  // namespace
