#include "Quorvane/transports/tcp_processor.h"

#include <dirent.h>
#include <gnutls/gnutls.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "Quorvane/platform/clock.h"
#include "tests/transports/capture_sink.h"
#include "tests/support/dns_messages.h"
#include "tests/transports/open_descriptors.h"
#include "tests/transports/tcp_test_server.h"
#include "tests/transports/test_trust.h"
#include "tests/support/bounded_wait.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Manager = CSocketEventsManager;
using testsupport::CTcpTestServer;

constexpr uint32_t kTestWaitMs = 20;
// A pump's bound in real time: a one-byte stream brings hundreds of events,
// so no count of rounds bounds it on a loaded machine.
constexpr auto kPumpLimit = std::chrono::seconds(10);

template <class Holder>
class TcpFixture : public testing::Test {
 protected:
  TcpFixture() {
    platform::SetClockSourceForTesting(&m_clock);
    EXPECT_TRUE(m_manager.SetPort(m_port));
    m_sink.onRemove = [this](uint64_t id) { m_holder.RemoveRequest(id); };
  }
  ~TcpFixture() override { platform::SetClockSourceForTesting(nullptr); }

  static CDnsServer Server(uint16_t port, EDnsProtocol protocol = EDnsProtocol::Plain) {
    CDnsServer server;
    server.id = 7;
    server.name = L"Srv";
    server.protocol = protocol;
    server.plain_use_tcp = true;
    server.family = AF_INET;
    server.port = port;
    server.address = {127, 0, 0, 1};
    server.addressKnown = true;
    return server;
  }
  bool Send(const Bytes& query, const CDnsServer& server, uint64_t requestId,
            const std::vector<sockaddr_storage>& locals = {}) {
    SDnsMessageInfo info;
    info.name = SDnsName("www.example.org.");
    return m_holder.GetProcessor(m_holder.NextConnectionKey())
        ->SendRequest(query.data(), static_cast<uint32_t>(query.size()), info, server, locals, m_manager, requestId,
                      std::nullopt);
  }
  // The worker's part, on this thread, until done(), kPumpLimit or, when
  // given, that many rounds. A hook may hold an event back; it returns true
  // when it took the event.
  void Pump(const std::function<bool()>& done,
            const std::function<bool(Manager::SSocketEntry&, Manager::SCompletionEvent&, uint64_t)>& hold = nullptr,
            int rounds = -1) {
    const auto deadline = std::chrono::steady_clock::now() + kPumpLimit;
    for (int i = 0; (rounds < 0 || i < rounds) && !done() && std::chrono::steady_clock::now() < deadline; ++i) {
      uint64_t key;
      Manager::SSocketEntry entry;
      Manager::SCompletionEvent event;
      if (m_manager.WaitForEvent(key, entry, event) != Manager::WaitEvent) continue;
      if (hold && hold(entry, event, key)) continue;
      entry.processor->ProcessEvent(event, entry.socket->Handle(), key, m_manager, entry.processor);
    }
  }
  std::shared_ptr<CTcpProcessorBase::CTcpSocketEventProcessorBase> EventProcessor(uint64_t connectionKey) {
    return m_holder.GetProcessor(connectionKey)->GetEventProcessor();
  }
  size_t CallCount() { return m_sink.Calls().size(); }

  platform::FakeClock m_clock;
  std::shared_ptr<platform::CompletionPort> m_port = platform::CompletionPort::Create();
  Manager m_manager{kTestWaitMs};
  Holder m_holder{L"Srv"};
  CCaptureSink m_sink;
};

using TcpPlainTest = TcpFixture<CTcpPlainServerProcessor>;
using TcpTlsTest = TcpFixture<CTcpTlsServerProcessor>;

TEST_F(TcpPlainTest, AnswerInOneByteWritesThenTheConnectionCloses) {
  CTcpTestServer server;
  const size_t before = OpenDescriptors();
  Bytes query = dnstest::Query(0x1234, "www.example.org", 1);
  Bytes answer = dnstest::StandInAnswer(query, 300, 0xab);
  std::atomic<bool> closed{false};
  server.Serve(1, [&](int fd, int) {
    EXPECT_EQ(CTcpTestServer::ReadFramed(fd), query);
    for (uint8_t byte : CTcpTestServer::Framed(answer)) ASSERT_EQ(send(fd, &byte, 1, MSG_NOSIGNAL), 1);
    closed = CTcpTestServer::PeerClosed(fd);
  });
  ASSERT_TRUE(Send(query, Server(server.m_port), 5));
  Pump([&] { return CallCount() >= 1; });
  server.Join();
  EXPECT_TRUE(closed);
  auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].entry, "answer");
  EXPECT_EQ(calls[0].bytes, answer);
  EXPECT_TRUE(m_holder.RemoveRequest(5));  // the engine's part when it takes the answer
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(TcpPlainTest, TwoQueriesTwoConnectionsNoDescriptorLeft) {
  CTcpTestServer server;
  const size_t before = OpenDescriptors();
  Bytes queries[2] = {dnstest::Query(1, "a.example.org", 1), dnstest::Query(2, "b.example.org", 1)};
  std::atomic<int> closedCount{0};
  server.Serve(2, [&](int fd, int) {
    Bytes query = CTcpTestServer::ReadFramed(fd);
    Bytes framed = CTcpTestServer::Framed(dnstest::StandInAnswer(query, 40, 0x11));
    ASSERT_EQ(send(fd, framed.data(), framed.size(), MSG_NOSIGNAL), static_cast<ssize_t>(framed.size()));
    closedCount += CTcpTestServer::PeerClosed(fd);
  });
  ASSERT_TRUE(Send(queries[0], Server(server.m_port), 1));
  ASSERT_TRUE(Send(queries[1], Server(server.m_port), 2));
  Pump([&] { return CallCount() >= 2; });
  server.Join();
  EXPECT_EQ(closedCount, 2);
  auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 2u);
  for (const auto& call : calls) {
    EXPECT_EQ(call.entry, "answer");
    EXPECT_EQ(Bytes(call.bytes.begin(), call.bytes.begin() + 2), Bytes(queries[call.requestId - 1].begin(),
                                                                       queries[call.requestId - 1].begin() + 2));
  }
  EXPECT_FALSE(m_holder.RemoveRequest(1));
  EXPECT_TRUE(m_holder.RemoveRequest(2));
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(TcpPlainTest, FailuresOfTheConnection) {
  {
    SCOPED_TRACE("close before answering");
    CTcpTestServer server;
    server.Serve(1, [&](int fd, int) { CTcpTestServer::ReadFramed(fd); });
    ASSERT_TRUE(Send(dnstest::Query(3, "www.example.org", 1), Server(server.m_port), 3));
    Pump([&] { return CallCount() >= 2; });
    auto calls = m_sink.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].entry, "remove");
    EXPECT_EQ(calls[1].entry, "pending-error");
    EXPECT_EQ(calls[1].name, L"www.example.org");
    EXPECT_EQ(calls[1].text, L"Could not receive data from Srv (127.0.0.1), error=0");
  }
  {
    SCOPED_TRACE("refused port");
    uint16_t closedPort;
    {
      CTcpTestServer gone;
      closedPort = gone.m_port;
    }
    m_sink.Clear();
    ASSERT_TRUE(Send(dnstest::Query(4, "www.example.org", 1), Server(closedPort), 4));
    Pump([&] { return CallCount() >= 2; });
    auto calls = m_sink.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].text, L"Could not connect to Srv (127.0.0.1), error=1225");
  }
}

TEST_F(TcpPlainTest, SilencePastSixtySecondsIsExpired) {
  CTcpTestServer server;
  std::atomic<bool> read{false};
  server.Serve(1, [&](int fd, int) {
    read = !CTcpTestServer::ReadFramed(fd).empty();
    CTcpTestServer::PeerClosed(fd);  // waits for the client to go
  });
  const uint64_t key = m_holder.NextConnectionKey();
  SDnsMessageInfo info;
  info.name = SDnsName("www.example.org.");
  Bytes query = dnstest::Query(9, "www.example.org", 1);
  ASSERT_TRUE(m_holder.GetProcessor(key)->SendRequest(query.data(), static_cast<uint32_t>(query.size()), info,
                                                      Server(server.m_port), {}, m_manager, 9, std::nullopt));
  auto processor = EventProcessor(key);
  Pump([&] { return read.load() && processor->m_connected; });
  const int64_t now = platform::TickSeconds();
  EXPECT_FALSE(processor->IsTimedOut(now + 60));
  EXPECT_TRUE(processor->IsTimedOut(now + 61));
  m_manager.RemoveTimedOutProcessors(now + 61);
  EXPECT_EQ(m_manager.RemoveSocket(processor->m_key), nullptr);  // the expiry took it
  m_holder.RemoveRequest(9);
  processor.reset();  // the last owner closes the socket
  server.Join();
  EXPECT_EQ(CallCount(), 0u);  // the request ends by its own time-out
}

TEST_F(TcpPlainTest, QuerySizesAndSocketFailures) {
  CTcpTestServer server;
  Bytes big(65535, 0x42);
  big[0] = 0x55;
  std::atomic<bool> whole{false};
  server.Serve(1, [&](int fd, int) {
    Bytes prefix = CTcpTestServer::Read(fd, 2);
    whole = prefix == Bytes{0xff, 0xff} && CTcpTestServer::Read(fd, 65535) == big;
  });
  ASSERT_TRUE(Send(big, Server(server.m_port), 1));
  Pump([&] { return whole.load(); });
  server.Join();
  EXPECT_TRUE(whole);

  m_sink.Clear();
  EXPECT_FALSE(Send(Bytes(65536, 0), Server(server.m_port), 2));
  EXPECT_EQ(CallCount(), 0u);

  // Only an IPv6 source for an IPv4 server: no socket, the request fails at once.
  sockaddr_storage v6{};
  v6.ss_family = AF_INET6;
  EXPECT_FALSE(Send(dnstest::Query(3, "www.example.org", 1), Server(server.m_port), 3, {v6}));
  auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].entry, "request-error");
  EXPECT_EQ(calls[0].text, L"socket cannot be created");
}

TEST_F(TcpPlainTest, APrefixPromisingMoreThanArrivesWaits) {
  CTcpTestServer server;
  std::atomic<bool> sent{false};
  server.Serve(1, [&](int fd, int) {
    CTcpTestServer::ReadFramed(fd);
    const uint8_t partial[] = {0x01, 0x00, 0x12, 0x34, 0x81, 0x80};  // promises 256 bytes
    ASSERT_EQ(send(fd, partial, sizeof partial, MSG_NOSIGNAL), 6);
    sent = true;
    CTcpTestServer::PeerClosed(fd);
  });
  const uint64_t key = m_holder.NextConnectionKey();
  SDnsMessageInfo info;
  info.name = SDnsName("www.example.org.");
  Bytes query = dnstest::Query(11, "www.example.org", 1);
  ASSERT_TRUE(m_holder.GetProcessor(key)->SendRequest(query.data(), static_cast<uint32_t>(query.size()), info,
                                                      Server(server.m_port), {}, m_manager, 11, std::nullopt));
  auto processor = EventProcessor(key);
  Pump([&] { return sent && processor->m_pendingInput.empty() && processor->m_connected; });
  Pump([] { return false; }, nullptr, 10);  // a few more rounds
  EXPECT_EQ(CallCount(), 0u);  // neither an answer nor a failure: the request's time-out ends it
  EXPECT_NE(m_manager.RemoveSocket(processor->m_key), nullptr);
  m_holder.RemoveRequest(11);
  processor.reset();
  server.Join();
}

// A DoT server over a real socket, blocking, on the test server's thread.
struct STlsSocketServer {
  STlsSocketServer(int fd, const testsupport::SIssued& leaf) {
    gnutls_certificate_allocate_credentials(&credentials);
    gnutls_datum_t cert{reinterpret_cast<unsigned char*>(const_cast<char*>(leaf.certificatePem.data())),
                        static_cast<unsigned>(leaf.certificatePem.size())};
    gnutls_datum_t key{reinterpret_cast<unsigned char*>(const_cast<char*>(leaf.keyPem.data())),
                       static_cast<unsigned>(leaf.keyPem.size())};
    gnutls_certificate_set_x509_key_mem(credentials, &cert, &key, GNUTLS_X509_FMT_PEM);
    gnutls_init(&session, GNUTLS_SERVER);
    gnutls_priority_set_direct(session, "NORMAL", nullptr);
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials);
    gnutls_session_ticket_key_generate(&ticketKey);
    gnutls_session_ticket_enable_server(session, &ticketKey);
    gnutls_transport_set_int(session, fd);
    gnutls_record_set_timeout(session, CTcpTestServer::kWaitMs);
    gnutls_handshake_set_timeout(session, CTcpTestServer::kWaitMs);
    int rc;
    do rc = gnutls_handshake(session);
    while (rc < 0 && !gnutls_error_is_fatal(rc));
    ok = rc == 0;
  }
  ~STlsSocketServer() {
    gnutls_deinit(session);
    gnutls_certificate_free_credentials(credentials);
    gnutls_free(ticketKey.data);
  }
  // The plaintext up to n bytes, or less when the peer stops.
  Bytes Read(size_t n) {
    Bytes data;
    uint8_t buffer[4096];
    while (data.size() < n) {
      ssize_t got = gnutls_record_recv(session, buffer, std::min(sizeof buffer, n - data.size()));
      if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED) continue;
      if (got <= 0) break;
      data.insert(data.end(), buffer, buffer + got);
    }
    return data;
  }
  Bytes ReadFramed() {
    Bytes prefix = Read(2);
    return prefix.size() == 2 ? Read(static_cast<size_t>(prefix[0]) << 8 | prefix[1]) : Bytes{};
  }
  // True when nothing but the end of the connection comes.
  bool OnlyEndFollows() {
    uint8_t buffer[64];
    ssize_t got;
    do got = gnutls_record_recv(session, buffer, sizeof buffer);
    while (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED);
    return got == 0 || got == GNUTLS_E_PREMATURE_TERMINATION;
  }

  gnutls_certificate_credentials_t credentials = nullptr;
  gnutls_session_t session = nullptr;
  gnutls_datum_t ticketKey{};
  bool ok = false;
};

TEST_F(TcpTlsTest, TicketsDuringTheQuerysSendSendEachBufferOnceInOrder) {
  testsupport::SIssued leaf = testsupport::TrustedCa().IssueLeaf(testsupport::LeafFor({"dot.example.test"}, {"127.0.0.1"}));
  CTcpTestServer server;
  Bytes query = dnstest::Query(0x4242, "www.example.org", 1);
  Bytes answer = dnstest::StandInAnswer(query, 120, 0x33);
  std::atomic<bool> ticketsTaken{false}, clean{false};
  server.Serve(1, [&](int fd, int) {
    STlsSocketServer tls(fd, leaf);
    ASSERT_TRUE(tls.ok);
    EXPECT_EQ(tls.ReadFramed(), query);
    EXPECT_EQ(gnutls_session_ticket_send(tls.session, 2, 0), 0);
    testsupport::WaitUntil([&]() -> bool { return ticketsTaken; });
    Bytes framed = CTcpTestServer::Framed(answer);
    EXPECT_EQ(gnutls_record_send(tls.session, framed.data(), framed.size()), static_cast<ssize_t>(framed.size()));
    clean = tls.OnlyEndFollows();
  });
  CDnsServer dot = Server(server.m_port, EDnsProtocol::Dot);
  const uint64_t key = m_holder.NextConnectionKey();
  SDnsMessageInfo info;
  info.name = SDnsName("www.example.org.");
  ASSERT_TRUE(m_holder.GetProcessor(key)->SendRequest(query.data(), static_cast<uint32_t>(query.size()), info, dot,
                                                      {}, m_manager, 1, std::nullopt));
  auto processor = EventProcessor(key);
  // Holds back the completion of a send made once the query has left the
  // queue, until a receive has been processed.
  std::vector<std::pair<Manager::SSocketEntry, Manager::SCompletionEvent>> held;
  uint64_t heldKey = 0;
  auto hold = [&](Manager::SSocketEntry& entry, Manager::SCompletionEvent& event, uint64_t k) {
    if (event.overlapped == &processor->m_sendOverlapped && processor->m_connected && processor->m_sendQueue.empty() &&
        held.empty()) {
      held.emplace_back(entry, event);
      heldKey = k;
      return true;
    }
    if (event.overlapped == &processor->m_receiveOverlapped && !held.empty()) {
      entry.processor->ProcessEvent(event, entry.socket->Handle(), k, m_manager, entry.processor);
      EXPECT_TRUE(processor->m_sendOutstanding);  // nothing was posted over the held send
      ticketsTaken = true;
      for (auto& [e, ev] : held) e.processor->ProcessEvent(ev, e.socket->Handle(), heldKey, m_manager, e.processor);
      held.clear();
      return true;
    }
    return false;
  };
  Pump([&] { return CallCount() >= 1; }, hold);
  server.Join();
  EXPECT_TRUE(ticketsTaken);
  EXPECT_TRUE(clean);
  auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].entry, "answer");
  EXPECT_EQ(calls[0].bytes, answer);
}

}  // namespace
