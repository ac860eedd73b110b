// The started engine against the DoQ test server on loopback: the first
// connection is closed for the certificate check, later ones are answered;
// the server's removal closes its connections; and an answer that sends the
// next query to the same server, while other threads query and the worker
// purges, never locks the engine up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Quorvane/platform/cert_verify.h"
#include "tests/engine/engine_fixture.h"
#include "tests/ngtcp2/doq_test_server.h"
#include "tests/support/test_ca.h"

namespace {

using namespace enginetest;
using testsupport::MakeServer;

constexpr int kWaitMs = 10000;
constexpr uint32_t kServerId = 7;
constexpr int kThreads = 2, kPerThread = 8, kChained = 8;

class EngineDoq : public ::testing::Test {
 protected:
  static testsupport::CTestCa& Ca() {
    static testsupport::CTestCa* ca = [] {
      auto* made = new testsupport::CTestCa("Tarnwick Engine DoQ Test CA");
      std::string error;
      EXPECT_TRUE(platform::AddTrustedCertificates(made->Certificate().certificatePem, error)) << error;
      return made;
    }();
    return *ca;
  }

  void SetUp() override {
    testsupport::SLeafOptions options;
    options.ipAddresses = {"127.0.0.1"};
    const testsupport::SIssued leaf = Ca().IssueLeaf(options);
    testsupport::SDoqServerOptions serverOptions;
    serverOptions.certificatePem = leaf.certificatePem + Ca().Certificate().certificatePem;
    serverOptions.keyPem = leaf.keyPem;
    m_server = std::make_unique<testsupport::CDoqTestServer>(std::move(serverOptions));
    std::string error;
    ASSERT_TRUE(m_server->Start("127.0.0.1", 0, error)) << error;
    CDnsServer server = MakeServer(kServerId, L"Quic", EDnsProtocol::Doq, "127.0.0.1");
    server.port = m_server->Port();
    m_serverRecord = server;
    m_running = std::make_unique<CRunningConfiguration>(
        std::vector<CDnsServer>{server},
        std::vector<CRule>{MakeRule(ERuleAction::ProcessServer, kServerId, L"*.tarnwick.test"), DefaultRule()});
    m_engine.SetInjectorForTesting(m_injections.Fn());
    ASSERT_TRUE(m_engine.Start());
  }
  void TearDown() override {
    EXPECT_TRUE(m_engine.Stop());
    m_server->Stop();
  }

  // Routes the query as a dispatching thread does; any thread.
  void Route(uint16_t id, const std::string& name) {
    Bytes packet(kInterceptBufferSize, 0);
    const Bytes query = Query(id, name);
    std::copy(query.begin(), query.end(), packet.begin());
    uint32_t length = static_cast<uint32_t>(query.size());
    CDnsEngine::dnsDataType data;
    data.server = m_serverRecord;
    data.clientAddress = Ipv4("10.0.0.2", 40000);
    data.serverAddress = Ipv4("10.0.0.1", 53);
    m_engine.RouteRequest(packet.data(), length, kInterceptBufferSize, InfoOf(query), false, false, data);
  }
  // The driver client's road; its thread only.
  void Divert(uint16_t id, const std::string& name) {
    Bytes packet(kInterceptBufferSize, 0);
    const Bytes query = Query(id, name);
    std::copy(query.begin(), query.end(), packet.begin());
    uint32_t length = static_cast<uint32_t>(query.size());
    m_engine.ProcessInterceptedQuery(packet.data(), length, DatagramContext{}, Ipv4("10.0.0.2", 40000),
                                     Ipv4("10.0.0.1", 53), L"app", 42);
  }
  bool WaitForLine(const std::wstring& part, int timeoutMs = kWaitMs) {
    return WaitForLogLine(m_log, part, m_seen, timeoutMs);
  }
  // Bounded wait until the certificate check of the first connection is done.
  void CheckCertificate() {
    Divert(0x0101, "first.tarnwick.test.");
    ASSERT_TRUE(WaitForLine(L"TLS certificate for 127.0.0.1 is valid"));
    ASSERT_TRUE(m_server->WaitFor([](const testsupport::SDoqRecords& r) { return !r.closeCodes.empty(); }));
  }

  testsupport::LogCapture m_log{LogDebug};
  std::vector<std::wstring> m_seen;
  std::unique_ptr<testsupport::CDoqTestServer> m_server;
  std::unique_ptr<CRunningConfiguration> m_running;
  CInjections m_injections;
  // For injectors that outlive a test body: the engine stops in TearDown.
  CInjections m_others;
  std::atomic<int> m_chained{0};
  std::atomic<int> m_answers{0};
  CDnsServer m_serverRecord;
  CDnsEngine m_engine;
};

TEST_F(EngineDoq, TheFirstQueryPaysForTheCheckAndTheNextIsAnsweredWithItsId) {
  CheckCertificate();
  EXPECT_TRUE(m_injections.Items().empty());
  Route(0x2222, "second.tarnwick.test.");
  ASSERT_TRUE(m_injections.WaitFor(1, kWaitMs));
  const SInjected answer = m_injections.Items()[0];
  EXPECT_EQ(IdOf(answer.message), 0x2222);
  EXPECT_EQ(SockaddrToText(answer.to), "10.0.0.2:40000");
  EXPECT_EQ(m_server->Records().streams.size(), 1u);

  // The server's removal closes the open connection.
  const size_t closes = m_server->Records().closeCodes.size();
  EXPECT_TRUE(m_engine.RemoveQuicProcessors(kServerId, false));
  EXPECT_TRUE(m_server->WaitFor([&](const testsupport::SDoqRecords& r) { return r.closeCodes.size() > closes; }));
  EXPECT_FALSE(m_engine.RemoveQuicProcessors(kServerId, false));
}

TEST_F(EngineDoq, AnAnswerThatQueriesAgainUnderLoadAndPurgeEndsInBoundedTime) {
  CheckCertificate();
  auto record = m_others.Fn();
  // Every answer sends one more query to the same server, from the answer's thread.
  m_engine.SetInjectorForTesting([this, record](const uint8_t* message, uint32_t length, const sockaddr_storage& from,
                                     const sockaddr_storage& to, const DatagramContext& context, bool receive) {
    ++m_answers;
    if (m_chained < kChained) Route(static_cast<uint16_t>(0x3000 + m_chained++), "chain.tarnwick.test.");
    record(message, length, from, to, context, receive);
  });
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread && !stop; ++i) {
        Route(static_cast<uint16_t>(0x4000 + t * 100 + i), "load.tarnwick.test.");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 50 && !stop; ++i) {
      for (auto& [key, factory] : *m_engine.QuicPool().lock()) factory->RemoveIdleProcessors();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  for (auto& thread : threads) thread.join();
  // Some queries may fail on a connection closed under them, but the
  // answers keep flowing until every chained query went out.
  EXPECT_TRUE(m_others.WaitFor(kChained, kWaitMs)) << m_answers.load();
  EXPECT_EQ(m_chained.load(), kChained);
  stop = true;
}

}  // namespace
