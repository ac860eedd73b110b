#include "Quorvane/transports/plain_udp_processor.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "Quorvane/platform/clock.h"
#include "tests/transports/capture_sink.h"
#include "tests/support/dns_messages.h"
#include "tests/transports/open_descriptors.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Manager = CSocketEventsManager;

constexpr uint32_t kTestWaitMs = 20;
constexpr int kBoundedWaits = 250;  // at most 5 s of waits

sockaddr_in Loopback(uint16_t port, uint32_t host = INADDR_LOOPBACK) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(host);
  return address;
}

// A scripted upstream server on a free loopback port.
class CResponder {
 public:
  CResponder() {
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
  }
  ~CResponder() { close(m_fd); }

  // The next query, within 5 s; empty when none came.
  Bytes ReadQuery() {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return {};
    Bytes query(65536);
    socklen_t length = sizeof(m_client);
    ssize_t n = recvfrom(m_fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&m_client), &length);
    query.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return query;
  }
  void Reply(const Bytes& answer) {
    ASSERT_EQ(sendto(m_fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&m_client), sizeof(m_client)),
              static_cast<ssize_t>(answer.size()));
  }

  uint16_t m_port = 0;
  int m_fd = -1;
  sockaddr_in m_client{};  // where the last query came from
};

class PlainUdpProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetClockSourceForTesting(&m_clock);
    ASSERT_TRUE(m_manager.SetPort(m_port));
    m_sink.onRemove = [this](uint64_t id) { m_udp.RemoveRequestProcessor(id, m_manager); };
  }
  void TearDown() override { platform::SetClockSourceForTesting(nullptr); }

  static CDnsServer Server(uint16_t port, uint32_t family = AF_INET) {
    CDnsServer server;
    server.family = family;
    server.port = port;
    server.address = family == AF_INET6 ? Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1} : Bytes{127, 0, 0, 1};
    return server;
  }
  static SDnsMessageInfo Info(const std::string& name) {
    SDnsMessageInfo info;
    info.name = SDnsName(name);
    return info;
  }
  bool Send(const Bytes& query, const CDnsServer& server, uint64_t requestId,
            const std::vector<sockaddr_storage>& locals = {}) {
    return m_udp.SendRequest(query.data(), static_cast<uint32_t>(query.size()), Info("www.example.org."), server,
                             locals, m_manager, requestId, std::nullopt);
  }
  // Runs the worker's part on this thread until done() or the bound.
  void Pump(const std::function<bool()>& done) {
    for (int i = 0; i < kBoundedWaits && !done(); ++i) PumpOnce();
  }
  Manager::WaitResult PumpOnce() {
    uint64_t key;
    Manager::SSocketEntry entry;
    Manager::SCompletionEvent event;
    Manager::WaitResult result = m_manager.WaitForEvent(key, entry, event);
    if (result == Manager::WaitEvent) {
      entry.processor->ProcessEvent(event, entry.socket->Handle(), key, m_manager, entry.processor);
    }
    return result;
  }
  size_t CallCount() { return m_sink.Calls().size(); }
  // Whether a registration is still alive under the key.
  bool Registered(uint64_t key) {
    m_port->Post(1, key, nullptr);
    uint64_t got;
    Manager::SSocketEntry entry;
    Manager::SCompletionEvent event;
    Manager::WaitResult result = Manager::WaitTimeout;
    for (int i = 0; i < kBoundedWaits && result == Manager::WaitTimeout; ++i) {
      result = m_manager.WaitForEvent(got, entry, event);
    }
    return result == Manager::WaitEvent;
  }
  uint64_t KeyOf(uint64_t requestId) {
    const std::map<uint64_t, uint64_t> requests = m_udp.RequestsForTesting();
    auto it = requests.find(requestId);
    return it == requests.end() ? 0 : it->second;
  }

  platform::FakeClock m_clock;
  std::shared_ptr<platform::CompletionPort> m_port = platform::CompletionPort::Create();
  Manager m_manager{kTestWaitMs};
  CPlainUdpProcessor m_udp;
  CCaptureSink m_sink;
};

TEST_F(PlainUdpProcessorTest, DeliversTheAnswerAndDropsTheSocket) {
  CResponder server;
  Bytes query = dnstest::Query(0x1234, "www.example.org", 1);
  ASSERT_TRUE(Send(query, Server(server.m_port), 5));
  EXPECT_EQ(server.ReadQuery(), query);
  const uint64_t key = KeyOf(5);
  ASSERT_NE(key, 0u);
  Bytes answer = dnstest::StandInAnswer(query, 100, 0xaa);
  server.Reply(answer);
  Pump([&] { return CallCount() >= 1; });
  auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].entry, "answer");
  EXPECT_EQ(calls[0].requestId, 5u);
  EXPECT_EQ(calls[0].bytes, answer);
  EXPECT_FALSE(Registered(key));
  EXPECT_EQ(KeyOf(5), 0u);  // the socket's removal takes its entry: the engine's removal finds nothing left
  m_udp.RemoveRequestProcessor(5, m_manager);
  EXPECT_EQ(KeyOf(5), 0u);
}

TEST_F(PlainUdpProcessorTest, RefusedDatagramKeepsTheWaitForALongerRightAnswer) {
  CResponder server;
  Bytes query = dnstest::Query(7, "www.example.org", 1);
  Bytes wrong = dnstest::StandInAnswer(query, 60, 0x01), right = dnstest::StandInAnswer(query, 2048, 0x02);
  m_sink.accept = [&](const Bytes& bytes) { return bytes == right; };
  ASSERT_TRUE(Send(query, Server(server.m_port), 9));
  server.ReadQuery();
  server.Reply(wrong);
  server.Reply(right);
  Pump([&] { return CallCount() >= 2; });
  auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].bytes, wrong);
  EXPECT_EQ(calls[1].bytes, right);
  EXPECT_FALSE(Registered(KeyOf(9)));
}

TEST_F(PlainUdpProcessorTest, ReplyFromAnotherPortNeverArrives) {
  CResponder server, spoofer;
  Bytes query = dnstest::Query(8, "www.example.org", 1);
  ASSERT_TRUE(Send(query, Server(server.m_port), 3));
  server.ReadQuery();
  Bytes fake = dnstest::StandInAnswer(query, 40, 0x66);
  ASSERT_EQ(sendto(spoofer.m_fd, fake.data(), fake.size(), 0, reinterpret_cast<sockaddr*>(&server.m_client),
                   sizeof(server.m_client)),
            40);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(PumpOnce(), Manager::WaitTimeout);
  EXPECT_EQ(CallCount(), 0u);
  Bytes real = dnstest::StandInAnswer(query, 40, 0x77);
  server.Reply(real);
  Pump([&] { return CallCount() >= 1; });
  ASSERT_EQ(CallCount(), 1u);
  EXPECT_EQ(m_sink.Calls()[0].bytes, real);
}

TEST_F(PlainUdpProcessorTest, TheAdvertisedPayloadBoundsTheAnswer) {
  struct Case { const char* name; std::optional<uint16_t> edns; size_t answer; bool delivered; };
  const Case cases[] = {
      {"no_opt_2048", std::nullopt, 2048, true},
      {"no_opt_3000", std::nullopt, 3000, false},
      {"opt_1232_2049", 1232, 2049, false},
      {"opt_4096_4000", 4096, 4000, true},
      {"opt_4096_4097", 4096, 4097, false},
      {"opt_65535_40000", 65535, 40000, true},
  };
  uint64_t id = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CCaptureSink sink;
    sink.onRemove = [this](uint64_t request) { m_udp.RemoveRequestProcessor(request, m_manager); };
    CResponder server;
    Bytes query = dnstest::Query(static_cast<uint16_t>(id), "big.example.org", 16, c.edns);
    ASSERT_TRUE(Send(query, Server(server.m_port), ++id));
    server.ReadQuery();
    Bytes answer = dnstest::StandInAnswer(query, c.answer, 0x33);
    server.Reply(answer);
    Pump([&] { return !sink.Calls().empty(); });
    auto calls = sink.Calls();
    ASSERT_FALSE(calls.empty());
    if (c.delivered) {
      EXPECT_EQ(calls[0].entry, "answer");
      EXPECT_EQ(calls[0].bytes, answer);
    } else {
      // The datagram did not fit: the request fails with the message and number.
      ASSERT_EQ(calls.size(), 2u);
      EXPECT_EQ(calls[0].entry, "remove");
      EXPECT_EQ(calls[1].entry, "pending-error");
      EXPECT_EQ(calls[1].name, L"www.example.org");
      EXPECT_EQ(calls[1].text, L"Message too long (234)");
      EXPECT_EQ(KeyOf(id), 0u);
    }
  }
}

// A client advertising 65535 bytes must not make each of its pending queries
// hold that much: the wait holds no buffer, the answer gets one of its size.
TEST_F(PlainUdpProcessorTest, APendingQueryHoldsNoBufferOfTheAdvertisedSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator is not the one mallinfo2 counts";
#endif
  constexpr int kQueries = 64;
  constexpr size_t kAdvertised = 65535;
  CResponder silent;
  const size_t before = mallinfo2().uordblks;
  for (uint64_t id = 1; id <= kQueries; ++id) {
    ASSERT_TRUE(Send(dnstest::Query(static_cast<uint16_t>(id), "www.example.org", 1, kAdvertised), Server(silent.m_port),
                     id));
  }
  const auto grown = static_cast<int64_t>(mallinfo2().uordblks) - static_cast<int64_t>(before);
  EXPECT_LT(grown, static_cast<int64_t>(kQueries * kAdvertised / 8)) << grown << " bytes for " << kQueries << " pending queries";
  for (uint64_t id = 1; id <= kQueries; ++id) m_udp.RemoveRequestProcessor(id, m_manager);
}

TEST(PlainUdpReceiveBuffer, SizeFromTheQuerysOptRecord) {
  struct Case { const char* name; Bytes query; size_t want; };
  Bytes truncated = dnstest::Query(1, "a.example", 1, 4096);
  truncated.resize(truncated.size() - 8);  // the OPT record cut in its header
  Bytes optInAnswerSection = dnstest::Query(1, "a.example", 1, 4096);
  optInAnswerSection[7] = 1;  // ANCOUNT 1, ARCOUNT 1: the only record is an answer
  optInAnswerSection[11] = 0;
  const Case cases[] = {
      {"none", dnstest::Query(1, "a.example", 1), 2048},
      {"small", dnstest::Query(1, "a.example", 1, 512), 2048},
      {"dnssec", dnstest::Query(1, "a.example", 48, 4096), 4096},
      {"max", dnstest::Query(1, "a.example", 1, 65535), 65535},
      {"truncated", truncated, 2048},
      {"opt_not_additional", optInAnswerSection, 2048},
      {"empty", Bytes{}, 2048},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CPlainUdpProcessor::ReceiveBufferSizeFor(c.query.data(), c.query.size()), c.want);
  }
}

TEST_F(PlainUdpProcessorTest, IcmpRefusedPortFailsTheRequest) {
  uint16_t closedPort;
  {
    CResponder gone;
    closedPort = gone.m_port;
  }
  ASSERT_TRUE(Send(dnstest::Query(1, "www.example.org", 1), Server(closedPort), 11));
  Pump([&] { return CallCount() >= 2; });
  auto calls = m_sink.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].entry, "remove");
  EXPECT_EQ(calls[1].entry, "pending-error");
  EXPECT_EQ(calls[1].requestId, 11u);
  EXPECT_EQ(calls[1].text, L"Connection refused (1234)");
  EXPECT_EQ(KeyOf(11), 0u);
}

TEST_F(PlainUdpProcessorTest, SilentServerIsExpiredAfterFourIdleSeconds) {
  CResponder server;
  ASSERT_TRUE(Send(dnstest::Query(1, "www.example.org", 1), Server(server.m_port), 12));
  uint64_t key = KeyOf(12);
  using Processor = CPlainUdpProcessor::CDnsSocketEventProcessor;
  m_clock.StepWallSeconds(-3600);  // idleness is kept on the tick clock
  m_clock.AdvanceMs(Processor::kIdleSeconds * 1000);
  m_manager.RemoveTimedOutProcessors(platform::TickSeconds());
  EXPECT_TRUE(Registered(key));  // moves the entry in, so expiry sees it from now on
  m_manager.RemoveTimedOutProcessors(platform::TickSeconds());
  EXPECT_TRUE(Registered(key));  // idle exactly 4 s: not yet
  m_clock.AdvanceMs(1000);
  m_manager.RemoveTimedOutProcessors(platform::TickSeconds());
  EXPECT_FALSE(Registered(key));
  EXPECT_EQ(CallCount(), 0u);  // the request ends by the engine's own time-out
}

TEST_F(PlainUdpProcessorTest, SourceAddressChoice) {
  CResponder server;
  sockaddr_storage v4{};
  sockaddr_in second = Loopback(0, INADDR_LOOPBACK + 1);  // 127.0.0.2
  std::memcpy(&v4, &second, sizeof(second));
  ASSERT_TRUE(Send(dnstest::Query(1, "www.example.org", 1), Server(server.m_port), 20, {v4}));
  ASSERT_FALSE(server.ReadQuery().empty());
  EXPECT_EQ(ntohl(server.m_client.sin_addr.s_addr), INADDR_LOOPBACK + 1);

  ASSERT_TRUE(Send(dnstest::Query(2, "www.example.org", 1), Server(server.m_port), 21));
  ASSERT_FALSE(server.ReadQuery().empty());
  EXPECT_EQ(ntohl(server.m_client.sin_addr.s_addr), INADDR_LOOPBACK);  // the system's choice

  EXPECT_FALSE(Send(dnstest::Query(3, "www.example.org", 1), Server(53, AF_INET6), 22, {v4}));
  auto calls = m_sink.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].entry, "request-error");
  EXPECT_EQ(calls[0].requestId, 22u);
  EXPECT_EQ(calls[0].name, L"www.example.org");
  EXPECT_EQ(calls[0].text, L"Could not find a suitable interface IP to connect to the server ::1");
}

TEST_F(PlainUdpProcessorTest, SocketFailuresReportTheWinsockNumber) {
  EXPECT_FALSE(Send(dnstest::Query(1, "www.example.org", 1), Server(53, 0), 30));
  auto calls = m_sink.Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0].text, L"socket creation failed with error 10047");

  Manager portless(kTestWaitMs);
  CResponder server;
  CCaptureSink sink;
  Bytes query = dnstest::Query(1, "www.example.org", 1);
  EXPECT_FALSE(m_udp.SendRequest(query.data(), static_cast<uint32_t>(query.size()), Info("x."),
                                 Server(server.m_port), {}, portless, 31, std::nullopt));
  ASSERT_FALSE(sink.Calls().empty());
  EXPECT_EQ(sink.Calls()[0].text.rfind(L"AddSocketToQueueWithReadEvents failed with error ", 0), 0u);
}

TEST_F(PlainUdpProcessorTest, NoDescriptorLeaksOverManyQueries) {
  CResponder server;
  uint16_t closedPort;
  {
    CResponder gone;
    closedPort = gone.m_port;
  }
  const size_t before = OpenDescriptors();
  for (uint64_t id = 1; id <= 30; ++id) {
    size_t calls = CallCount();
    switch (id % 3) {
      case 0: {  // answered
        Bytes query = dnstest::Query(static_cast<uint16_t>(id), "www.example.org", 1);
        ASSERT_TRUE(Send(query, Server(server.m_port), id));
        server.ReadQuery();
        server.Reply(dnstest::StandInAnswer(query, 50, 1));
        Pump([&] { return CallCount() > calls; });
        m_udp.RemoveRequestProcessor(id, m_manager);
        break;
      }
      case 1:  // refused by ICMP
        ASSERT_TRUE(Send(dnstest::Query(1, "www.example.org", 1), Server(closedPort), id));
        Pump([&] { return CallCount() >= calls + 2; });
        break;
      case 2:  // never answered: removed by the engine
        ASSERT_TRUE(Send(dnstest::Query(1, "www.example.org", 1), Server(server.m_port), id));
        server.ReadQuery();
        m_udp.RemoveRequestProcessor(id, m_manager);
        break;
    }
  }
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_TRUE(m_udp.RequestsForTesting().empty());
}

}  // namespace
