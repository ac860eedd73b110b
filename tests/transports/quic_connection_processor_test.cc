#include "Quorvane/transports/quic_connection_processor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/platform/clock.h"
#include "tests/support/config_records.h"
#include "tests/support/log_capture.h"
#include "tests/transports/capture_sink.h"
#include "tests/support/dns_messages.h"

namespace {

using testsupport::MakeServer;
using Factory = CQuicServerConnectionFactory;
using Processor = CQuicConnectionProcessor;
using Connection = CQuicConnectionProcessorBase::CQuicEventProcessorBase;

constexpr uint32_t kWaitMs = 20;

// A client that records what the connection asks of it.
class CFakeClient : public CQuicClientShadow {
 public:
  bool OnDataReceived(const std::shared_ptr<CSafeSocket>&, const uint8_t* data, size_t length,
                      const sockaddr_storage*) override {
    received.emplace_back(data, data + length);
    return true;
  }
  bool OnSendCompleted() override {
    ++sendCompletions;
    return true;
  }
  bool Abort(const std::wstring& text) override {
    aborts.push_back(text);
    return true;
  }
  bool SendPending() override {
    ++pendingCalls;
    return true;
  }
  bool SendRequest(const std::vector<uint8_t>& query, std::shared_ptr<CProtocolDataProcessor>) override {
    queries.push_back(query);
    return accept;
  }
  std::shared_ptr<CSafeTimer> GetTimer() override { return nullptr; }
  bool Close() override {
    ++closes;
    return true;
  }
  void Disconnect() override {}

  bool accept = true;
  std::vector<std::vector<uint8_t>> queries, received;
  std::vector<std::wstring> aborts;
  int pendingCalls = 0, sendCompletions = 0, closes = 0;
};

// A UDP peer on loopback.
struct SPeer {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  uint16_t port = 0;
  SPeer() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t l = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    port = ntohs(a.sin_port);
  }
  ~SPeer() { close(fd); }
  // Bounded wait for one datagram; empty when none came.
  std::vector<uint8_t> Take(int timeoutMs = 2000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return {};
    std::vector<uint8_t> bytes(70000);
    const ssize_t n = recv(fd, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
  }
};

class Doq : public ::testing::Test {
 protected:
  Doq() {
    platform::SetClockSourceForTesting(&m_clock);
    EXPECT_TRUE(m_manager.SetPort(m_port));
    SetQuicClientCreator([this](const std::shared_ptr<CSafeSocket>& socket,
                                const std::shared_ptr<CQuicClientShadowSocketInterface>&, const std::wstring& host,
                                const sockaddr_storage& server) -> std::shared_ptr<CQuicClientShadow> {
      hosts.push_back(host);
      if (!makeClients) return nullptr;
      // Connected as the real client does.
      connect(socket->Handle(), reinterpret_cast<const sockaddr*>(&server),
              server.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
      clients.push_back(std::make_shared<CFakeClient>());
      return clients.back();
    });
  }
  ~Doq() override {
    SetQuicClientCreator(nullptr);
    platform::SetClockSourceForTesting(nullptr);
  }

  CDnsServer Server() { return MakeServer(4, L"Quic", EDnsProtocol::Doq, "127.0.0.1"); }

  bool Send(CQuicConnectionProcessorBase& processor, uint32_t length = 0,
            const std::vector<sockaddr_storage>& locals = {}, std::optional<CDnsServer> server = std::nullopt) {
    std::vector<uint8_t> query = dnstest::Query(1, "q.tarnwick.test.", 1);
    if (length) query.resize(length);
    return processor.SendRequest(query.data(), static_cast<uint32_t>(query.size()), m_info, server ? *server : Server(),
                                 locals, &m_manager, ++m_requestId, nullptr);
  }
  // The processor's first connection, to the peer's port.
  std::shared_ptr<Processor::CQuicEventProcessor> Open(Processor& processor, const SPeer& peer) {
    CDnsServer server = Server();
    server.port = peer.port;
    if (!Send(processor, 0, {}, server)) return nullptr;
    return processor.m_current;
  }
  // Hands every completion waiting now to its processor, as the worker does.
  int Pump(int rounds = 5) {
    int events = 0;
    for (int i = 0; i < rounds; ++i) {
      uint64_t key;
      CSocketEventsManager::SSocketEntry entry;
      CSocketEventsManager::SCompletionEvent event;
      if (m_manager.WaitForEvent(key, entry, event) != CSocketEventsManager::WaitEvent || !entry.processor) continue;
      entry.processor->ProcessEvent(event, entry.socket->Handle(), key, m_manager, entry.processor);
      ++events;
    }
    return events;
  }
  std::vector<std::wstring> Errors() {
    std::vector<std::wstring> texts;
    for (const auto& call : m_sink.Calls())
      if (call.entry == "request-error") texts.push_back(call.text);
    return texts;
  }

  platform::FakeClock m_clock;
  testsupport::LogCapture m_log{LogDebug};
  CCaptureSink m_sink;
  std::shared_ptr<platform::CompletionPort> m_port = platform::CompletionPort::Create();
  CSocketEventsManager m_manager{kWaitMs};
  SDnsMessageInfo m_info{.name = SDnsName("q.tarnwick.test.")};
  uint64_t m_requestId = 0;
  bool makeClients = true;
  std::vector<std::wstring> hosts;
  std::vector<std::shared_ptr<CFakeClient>> clients;
};

TEST_F(Doq, TheFactoryRotatesByUsesAndByTimeSlot) {
  Factory factory(L"Quic", platform::WallTime() / Factory::kTimeSlotSeconds);
  const auto first = factory.GetProcessor();
  for (int query = 2; query <= 50; ++query) ASSERT_EQ(factory.GetProcessor(), first) << query;
  EXPECT_EQ(factory.CurrentIndex(), 0u);
  const auto second = factory.GetProcessor();  // the 51st
  EXPECT_NE(second, first);
  EXPECT_EQ(factory.CurrentIndex(), 1u);
  for (int query = 52; query <= 101; ++query) ASSERT_EQ(factory.GetProcessor(), second) << query;
  EXPECT_NE(factory.GetProcessor(), second);  // the 102nd
  EXPECT_EQ(factory.CurrentIndex(), 2u);
  factory.GetProcessor();  // uses left on index 2...
  m_clock.AdvanceMs(Factory::kTimeSlotSeconds * 1000);
  factory.GetProcessor();  // ...but a new slot opens index 3
  EXPECT_EQ(factory.CurrentIndex(), 3u);
  EXPECT_EQ(factory.ProcessorCount(), 4u);
}

TEST_F(Doq, IdleProcessorsArePurgedAfterTwentySecondsWithTheirClientClosed) {
  Factory factory(L"Quic", platform::WallTime() / Factory::kTimeSlotSeconds);
  const auto processor = factory.GetProcessor();
  ASSERT_TRUE(Send(*processor));
  ASSERT_EQ(clients.size(), 1u);
  m_clock.AdvanceMs(CQuicConnectionProcessorBase::kIdleSeconds * 1000);
  EXPECT_FALSE(factory.RemoveIdleProcessors());
  EXPECT_EQ(clients[0]->closes, 0);
  m_clock.AdvanceMs(1000);
  EXPECT_TRUE(factory.RemoveIdleProcessors());
  EXPECT_EQ(clients[0]->closes, 1);
  bool logged = false;
  for (const auto& line : m_log.TakeTexts()) logged = logged || line == L"Quic QUIC server processor outdated";
  EXPECT_TRUE(logged);
  // The server's removal closes the clients too.
  Factory other(L"Quic", platform::WallTime() / Factory::kTimeSlotSeconds);
  ASSERT_TRUE(Send(*other.GetProcessor()));
  other.RemoveAllProcessors();
  EXPECT_EQ(clients.back()->closes, 1);
  EXPECT_EQ(other.ProcessorCount(), 0u);
}

TEST_F(Doq, AnIdleConnectionIsShutAtTheFirstSweepPastTwentySeconds) {
  Processor::CQuicEventProcessor connection(L"q");
  const int64_t start = connection.m_lastActivity;
  EXPECT_FALSE(connection.IsTimedOut(start + CQuicConnectionProcessorBase::kIdleSeconds));
  EXPECT_FALSE(connection.Closed());
  EXPECT_TRUE(connection.IsTimedOut(start + CQuicConnectionProcessorBase::kIdleSeconds + 1));
  EXPECT_TRUE(connection.Closed());
}

TEST_F(Doq, RequestLengthAndTheSeventiethRequest) {
  Processor processor(L"Quic");
  EXPECT_TRUE(Send(processor, 65535));
  EXPECT_FALSE(Send(processor, 65536));
  EXPECT_EQ(Errors(), std::vector<std::wstring>{L"request is too long"});
  EXPECT_EQ(processor.RequestCount(), 1u);
  m_log.Take();
  for (int i = 2; i <= 69; ++i) ASSERT_TRUE(Send(processor)) << i;
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0]->queries.size(), 69u);
  EXPECT_EQ(clients[0]->pendingCalls, 69);
  ASSERT_TRUE(Send(processor));  // the 70th opens a new connection
  EXPECT_EQ(clients.size(), 2u);
  bool logged = false;
  for (const auto& line : m_log.TakeTexts()) logged = logged || line == L"Create new event processor ";
  EXPECT_TRUE(logged);
  EXPECT_EQ(hosts.back(), L"127.0.0.1");
}

TEST_F(Doq, ARefusedQueryShutsItsConnectionAndTheNextOpensANewOne) {
  Processor processor(L"Quic");
  ASSERT_TRUE(Send(processor));
  clients[0]->accept = false;
  EXPECT_FALSE(Send(processor));
  EXPECT_EQ(Errors().back(), L"request cannot be sent");
  EXPECT_TRUE(processor.m_current->Closed());
  ASSERT_TRUE(Send(processor));
  EXPECT_EQ(clients.size(), 2u);
  // No client could be made: the connection stays without one.
  makeClients = false;
  clients[1]->accept = false;
  EXPECT_FALSE(Send(processor));
  EXPECT_FALSE(Send(processor));
  EXPECT_FALSE(Send(processor));
  EXPECT_EQ(Errors(), std::vector<std::wstring>(4, L"request cannot be sent"));
}

TEST_F(Doq, IpV4OnlyLocalAddressesCannotReachAnIpV6Server) {
  Processor processor(L"Quic");
  EXPECT_FALSE(Send(processor, 0, {TextToSockaddr("127.0.0.1")}, MakeServer(4, L"Quic", EDnsProtocol::Doq, "::1")));
  EXPECT_EQ(Errors(), std::vector<std::wstring>{L"socket cannot be created"});
  bool logged = false;
  for (const auto& line : m_log.TakeTexts())
    logged = logged || line == L"q.tarnwick.test - Could not find a suitable interface IP to connect to the server ::1";
  EXPECT_TRUE(logged);
  EXPECT_TRUE(hosts.empty());
}

TEST_F(Doq, SocketFaceResultsAndShutdown) {
  SPeer peer;
  Processor processor(L"Quic");
  auto connection = Open(processor, peer);
  ASSERT_TRUE(connection);
  // StartClient posted the first receive.
  EXPECT_EQ(connection->Receive(), kQuicSocketOk);
  std::vector<uint8_t> datagram(30, 0x5A);
  EXPECT_EQ(connection->Send(datagram.data(), static_cast<int>(datagram.size())), kQuicSocketOk);
  EXPECT_EQ(connection->Send(datagram.data(), static_cast<int>(datagram.size())), kQuicSocketWouldBlock);
  datagram.assign(30, 0);  // the caller's buffer changes: the copy leaves
  // Shut down while the send is out: the send still leaves, nothing after it.
  connection->Shutdown();
  EXPECT_EQ(connection->Receive(), kQuicSocketShutDown);
  EXPECT_EQ(connection->Send(datagram.data(), 1), kQuicSocketShutDown);
  EXPECT_EQ(peer.Take(), std::vector<uint8_t>(30, 0x5A));
  Pump();
  EXPECT_EQ(clients[0]->sendCompletions, 1);
  // The receive completes with 0 bytes on the shut socket and aborts.
  ASSERT_EQ(clients[0]->aborts.size(), 1u);
  EXPECT_EQ(clients[0]->aborts[0], L"Could not receive data from Quic (127.0.0.1) with error 0");
  EXPECT_TRUE(peer.Take(100).empty());
}

TEST_F(Doq, DatagramsReachTheClientAndAnOversizedOneAborts) {
  SPeer peer;
  Processor processor(L"Quic");
  auto connection = Open(processor, peer);
  ASSERT_TRUE(connection);
  uint8_t byte = 1;
  ASSERT_EQ(connection->Send(&byte, 1), kQuicSocketOk);
  ASSERT_EQ(peer.Take().size(), 1u);
  sockaddr_in from{};
  // Reply to the connection's address.
  socklen_t length = sizeof(from);
  getsockname(connection->m_socket->Handle(), reinterpret_cast<sockaddr*>(&from), &length);
  const std::vector<uint8_t> small(100, 7), large(Connection::kReceiveBufferSize + 1, 8);
  sendto(peer.fd, small.data(), small.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
  for (int i = 0; i < 20 && clients[0]->received.empty(); ++i) Pump(1);
  ASSERT_EQ(clients[0]->received.size(), 1u);
  EXPECT_EQ(clients[0]->received[0], small);
  sendto(peer.fd, large.data(), large.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
  for (int i = 0; i < 20 && clients[0]->aborts.empty(); ++i) Pump(1);
  ASSERT_EQ(clients[0]->aborts.size(), 1u);
  EXPECT_EQ(clients[0]->aborts[0], L"Could not receive data from Quic (127.0.0.1) with error 234");
  EXPECT_TRUE(connection->Closed());
}

}  // namespace
