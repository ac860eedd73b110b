// palvexdrv under hostile or unlucky load: a burst of flows past the
// driver's limit, a flood of unasked datagrams from port 53, and datagrams
// larger than the link. The test's own process sends (serviceProcessId is
// another), the stub server answers behind the veth.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/PalvexDrv/host/netns_fixture.h"
#include "tests/PalvexDrv/host/test_program.h"
#include "tests/support/temp_folder.h"
#include "tests/support/bounded_wait.h"

namespace {

using namespace testsupport;

constexpr uint32_t kNoServiceProcess = 1;  // init: it sends nothing here

struct SCounters {
  size_t flows = 0, limit = 0;
  uint64_t evicted = 0, untrackedInbound = 0, ownerLookups = 0;
};

sockaddr_storage SocketAddress(int family, const char* address, uint16_t port, socklen_t* length) {
  sockaddr_storage out{};
  if (family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    inet_pton(AF_INET, address, &v4->sin_addr);
    *length = sizeof(*v4);
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    inet_pton(AF_INET6, address, &v6->sin6_addr);
    *length = sizeof(*v6);
  }
  return out;
}

// A query of exactly size bytes: "big.test." A, padded by an OPT record.
std::vector<uint8_t> PaddedQuery(size_t size) {
  std::vector<uint8_t> m = {0x4B, 0x1D, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 1, 3, 'b', 'i', 'g', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
  size_t padding = size - m.size() - 11 - 4;
  const uint8_t opt[] = {0, 0, 41, 0x10, 0, 0, 0, 0, 0, uint8_t((padding + 4) >> 8), uint8_t(padding + 4),
                         0, 12, uint8_t(padding >> 8), uint8_t(padding)};
  m.insert(m.end(), opt, opt + sizeof(opt));
  m.resize(size, 0);
  return m;
}

std::vector<uint8_t> ReceiveWithin(int fd, int milliseconds) {
  pollfd poller{fd, POLLIN, 0};
  if (poll(&poller, 1, milliseconds) != 1) return {};
  std::vector<uint8_t> buffer(65536);
  ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
  buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buffer;
}

class HostUnderLoad : public ::testing::Test, protected CDivertingHost {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartHost(kNoServiceProcess)); }

  // A datagram socket of the client namespace, owned by this process.
  int ClientSocket(int family) {
    int fd = -1;
    m_pair.RunIn(m_pair.Client(), [&] { fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    EXPECT_GE(fd, 0);
    m_fds.push_back(fd);
    return fd;
  }
  void TearDown() override {
    for (int fd : m_fds) close(fd);
  }

  // The host's counters, as SIGUSR1 makes it write them.
  std::optional<SCounters> Counters() {
    size_t before = ReadBytes(Log()).size();
    kill(m_host, SIGUSR1);
    static const std::regex line(
        R"(flows (\d+) of (\d+), (\d+) evicted, (\d+) inbound of no flow passed, (\d+) owner lookups)");
    for (int i = 0; i < 200; ++i) {
      std::string text = ReadBytes(Log());
      std::smatch m;
      if (text.size() > before) {
        std::string fresh = text.substr(before);
        if (std::regex_search(fresh, m, line) && fresh.find('\n', m.position(0)) != std::string::npos)
          return SCounters{std::stoul(m[1]), std::stoul(m[2]), std::stoull(m[3]), std::stoull(m[4]),
                           std::stoull(m[5])};
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    ADD_FAILURE() << "no counters in " << ReadBytes(Log());
    return std::nullopt;
  }
  uint32_t DriverFlows() {
    auto reply = m_program.Call(IOCTL_PALVEX_GET_COUNTERS, {}, sizeof(DriverCounters));
    DriverCounters counters{};
    if (reply.output.size() == sizeof(counters)) std::memcpy(&counters, reply.output.data(), sizeof(counters));
    return counters.flowCount;
  }
  // Reads events until none comes for quiet; returns them.
  std::vector<SEvent> DrainEvents(milliseconds quiet = milliseconds(300)) {
    std::vector<SEvent> events;
    while (auto event = m_program.NextEvent(quiet)) events.push_back(*event);
    return events;
  }
  // The next outbound datagram event (a query), skipping the others, within
  // five seconds.
  std::optional<SEvent> NextQuery() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto event = m_program.NextTraffic(left);
      if (!event || (event->header.eventType == EventUdpDatagram && !event->header.inbound)) return event;
    }
  }

  std::vector<int> m_fds;
};

// An answer from the remote end of a flow's event to its local end.
std::vector<uint8_t> AnswerTo(const SEvent& flow, const std::string& payload) {
  std::vector<uint8_t> udp = {0, 53, 0, 0, 0, 0, 0, 0};
  uint16_t port = LocalPort(flow), length = uint16_t(8 + payload.size());
  udp[2] = uint8_t(port >> 8), udp[3] = uint8_t(port);
  udp[4] = uint8_t(length >> 8), udp[5] = uint8_t(length);
  udp.insert(udp.end(), payload.begin(), payload.end());
  return BuildUdpPacket(FamilyOf(flow), AddressOf(flow.header.destinationAddress),
                        AddressOf(flow.header.sourceAddress), udp.data(), udp.size());
}

TEST_F(HostUnderLoad, ABurstOfFlowsPastTheLimitMakesTheOldestGiveWayAndQueriesStayDiverted) {
  // One socket, 1-byte datagrams to 1100 loopback addresses of the client
  // namespace; the program keeps reading, as it would.
  int burst = ClientSocket(AF_INET);
  std::vector<SEvent> flows;
  for (int chunk = 0; chunk < 11; ++chunk) {
    for (int i = chunk * 100; i < (chunk + 1) * 100; ++i) {
      std::string address = "127.10." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1);
      socklen_t length;
      sockaddr_storage to = SocketAddress(AF_INET, address.c_str(), 53, &length);
      ASSERT_EQ(sendto(burst, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), length), 1);
    }
    for (SEvent& event : DrainEvents(milliseconds(200)))
      if (event.header.eventType == EventFlowEstablished) flows.push_back(event);
  }
  ASSERT_EQ(flows.size(), 1100u) << ReadBytes(Log());
  EXPECT_EQ(DriverFlows(), 1000u);

  // The first flow made way: an answer for it has no flow to go to; the
  // last one still has.
  EXPECT_EQ(m_program.InjectUdp(flows.front(), AnswerTo(flows.front(), "late"), true), STATUS_NOT_FOUND);
  EXPECT_EQ(m_program.InjectUdp(flows.back(), AnswerTo(flows.back(), "late"), true), STATUS_SUCCESS);

  // A query now is still held back and answered by the program.
  std::string output = (m_folder.Path() / "dig").string();
  pid_t dig = m_pair.Spawn(m_pair.Client(),
                           {"dig", std::string("@") + kServerAddress4, "+tries=1", "+timeout=3", "+short", "blocked.test."},
                           output);
  auto query = NextQuery();
  ASSERT_TRUE(query.has_value()) << ReadBytes(Log());
  EXPECT_EQ(query->header.processId, uint32_t(dig));
  EXPECT_EQ(m_program.InjectUdp(*query, AnswerPacket(*query), true), STATUS_SUCCESS);
  int status = -1;
  testsupport::WaitUntil([&]() -> bool { return waitpid(dig, &status, WNOHANG) == dig; });
  EXPECT_EQ(ReadBytes(output), "192.0.2.99\n");
  EXPECT_EQ(m_server.UdpQueries(), 0);
  EXPECT_LE(DriverFlows(), 1000u);
  const auto& logs = m_program.Logs();
  EXPECT_NE(std::find(logs.begin(), logs.end(), "88:FwpsInjectTransport(Receive/Send)Async0 failed"), logs.end());
}

TEST_F(HostUnderLoad, AnUnaskedFloodFromPort53TakesNoRoomAndNoOwnerLookups) {
  constexpr int kDatagrams = 8000;
  auto before = Counters();
  ASSERT_TRUE(before.has_value());
  // From the server namespace, port 53, to distinct ports of the client.
  m_pair.RunIn(m_pair.Server(), [&] {
    int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    ASSERT_GE(raw, 0);
    std::array<uint8_t, 16> server{}, client{};
    inet_pton(AF_INET, kServerAddress4, server.data());
    inet_pton(AF_INET, kClientAddress4, client.data());
    socklen_t length;
    sockaddr_storage to = SocketAddress(AF_INET, kClientAddress4, 0, &length);
    for (int i = 0; i < kDatagrams; ++i) {
      uint16_t port = uint16_t(20000 + i);
      std::vector<uint8_t> udp = {0, 53, uint8_t(port >> 8), uint8_t(port), 0, 9, 0, 0, 'x'};
      auto packet = BuildUdpPacket(AF_INET, server, client, udp.data(), udp.size());
      sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), length);
      if (i % 100 == 99) std::this_thread::sleep_for(milliseconds(20));
    }
    close(raw);
  });
  std::this_thread::sleep_for(milliseconds(300));
  auto after = Counters();
  ASSERT_TRUE(after.has_value());
  EXPECT_LE(after->flows, after->limit);
  EXPECT_LE(after->flows, before->flows + 10);
  EXPECT_LE(after->ownerLookups, before->ownerLookups + 10);
  EXPECT_GE(after->untrackedInbound, before->untrackedInbound + kDatagrams / 4);  // they did reach the host

  // Diversion goes on.
  int fd = ClientSocket(AF_INET);
  socklen_t length;
  sockaddr_storage to = SocketAddress(AF_INET, kServerAddress4, 53, &length);
  auto query = PaddedQuery(64);
  ASSERT_EQ(sendto(fd, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), length), 64);
  EXPECT_TRUE(NextQuery().has_value());
}

class LargeDatagrams : public HostUnderLoad, public ::testing::WithParamInterface<int> {};

TEST_P(LargeDatagrams, LeaveInFragmentsAsBypassedQueriesAndAsAnswers) {
  int family = GetParam();
  const char* server = family == AF_INET ? kServerAddress4 : kServerAddress6;
  // Local delivery takes the link's size too, so answers need fragments.
  ASSERT_EQ(m_pair.Run(m_pair.Client(), {"ip", "link", "set", "lo", "mtu", "1500"}).status, 0);
  int fd = ClientSocket(family);
  socklen_t length;
  sockaddr_storage to = SocketAddress(family, server, 53, &length);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), length), 0);
  for (size_t size : {1600, 4096, 6000}) {
    SCOPED_TRACE(size);
    auto message = PaddedQuery(size);
    ASSERT_EQ(send(fd, message.data(), message.size(), 0), ssize_t(size));
    auto query = NextQuery();
    ASSERT_TRUE(query.has_value());
    ASSERT_EQ(query->Payload().size(), 8 + size);
    EXPECT_EQ(m_program.InjectUdp(*query, QueryPacket(*query), false), STATUS_SUCCESS);
    auto answer = ReceiveWithin(fd, 3000);
    ASSERT_GE(answer.size(), 4u);
    EXPECT_EQ((std::vector<uint8_t>(answer.end() - 4, answer.end())), (std::vector<uint8_t>{192, 0, 2, 53}));
    ASSERT_FALSE(m_server.UdpQuerySizes().empty());
    EXPECT_EQ(m_server.UdpQuerySizes().back(), size);

    // The same size back, as the program's answer.
    ASSERT_EQ(send(fd, message.data(), message.size(), 0), ssize_t(size));
    query = NextQuery();
    ASSERT_TRUE(query.has_value());
    std::vector<uint8_t> udp = query->Payload();
    std::swap(udp[0], udp[2]);
    std::swap(udp[1], udp[3]);
    udp[8 + 2] |= 0x80;  // QR
    auto packet = BuildUdpPacket(family, AddressOf(query->header.destinationAddress),
                                 AddressOf(query->header.sourceAddress), udp.data(), udp.size());
    EXPECT_EQ(m_program.InjectUdp(*query, packet, true), STATUS_SUCCESS);
    EXPECT_EQ(ReceiveWithin(fd, 3000), std::vector<uint8_t>(udp.begin() + 8, udp.end()));
  }
}

INSTANTIATE_TEST_SUITE_P(Families, LargeDatagrams, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return std::string(info.param == AF_INET ? "v4" : "v6"); });

}  // namespace
