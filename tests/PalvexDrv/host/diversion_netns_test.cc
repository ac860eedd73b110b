// palvexdrv diverting the DNS queries of real processes: dig in the client
// namespace, the stub server behind the veth, and a small test program on
// the control socket that sends its own pid as serviceProcessId.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <filesystem>
#include <thread>

#include "PalvexDrv/host/process_identity.h"
#include "PalvexDrv/host/raw_injector.h"
#include "shared/driver_records.h"
#include "shared/driver_requests.h"
#include "tests/PalvexDrv/host/control_client.h"
#include "tests/PalvexDrv/host/netns_fixture.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace testsupport;
using std::chrono::milliseconds;

struct SEvent {
  DriverEvent header{};
  std::vector<uint8_t> data;
  std::string Text() const {
    return data.empty() ? std::string() : std::string(data.begin(), data.end() - 1);
  }
  std::vector<uint8_t> Payload() const { return {data.begin() + header.appIdLength, data.end()}; }
};

// The program's side of the control socket, as far as these tests need it.
class CTestProgram {
 public:
  bool Connect(const std::filesystem::path& socket) {
    for (int i = 0; i < 250; ++i) {
      m_client.Close();
      if (auto reply = m_client.Connect(socket)) return *reply == 0;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }
  void Close() { m_client.Close(); }

  SControlReply Call(uint32_t code, std::vector<uint8_t> input = {}, uint32_t capacity = 0) {
    uint64_t tag = ++m_tag;
    EXPECT_TRUE(m_client.SendRequest(tag, code, std::move(input), capacity));
    for (int i = 0; i < 100; ++i) {
      auto reply = m_client.ReadReply();
      if (!reply) break;
      if (reply->tag == tag) return *reply;
      Keep(*reply);
    }
    ADD_FAILURE() << "no reply to request " << std::hex << code;
    SControlReply failed;
    failed.status = STATUS_UNSUCCESSFUL;
    return failed;
  }

  bool SetConfig(uint32_t blockTcpPort53, uint32_t staleEventSeconds) {
    DriverConfig config{};
    config.size = sizeof(DriverConfig);
    config.serviceProcessId = static_cast<uint32_t>(getpid());
    config.datagramFlags = kDatagramFlagAbsorb | kDatagramFlagQueryShape;
    config.blockTcpPort53 = blockTcpPort53;
    config.staleEventSeconds = staleEventSeconds;
    std::vector<uint8_t> bytes(sizeof(config));
    std::memcpy(bytes.data(), &config, sizeof(config));
    return Call(IOCTL_PALVEX_SET_CONFIG, bytes).status == STATUS_SUCCESS;
  }

  // The next event within timeout; one GetEvent is kept outstanding.
  std::optional<SEvent> NextEvent(milliseconds timeout = milliseconds(5000)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_events.empty()) {
      if (!m_readTag) {
        m_readTag = ++m_tag;
        EXPECT_TRUE(m_client.SendRequest(*m_readTag, IOCTL_PALVEX_GET_EVENT, {}, kMaxRequestOutput));
      }
      auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto reply = m_client.ReadReply(left);
      if (!reply) return std::nullopt;
      Keep(*reply);
    }
    SEvent event = m_events.front();
    m_events.pop_front();
    return event;
  }
  // The next event that is not an EventLog.
  std::optional<SEvent> NextTraffic(milliseconds timeout = milliseconds(5000)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto event = NextEvent(left);
      if (!event || event->header.eventType != EventLog) return event;
      m_logs.push_back(event->Text());
    }
  }
  const std::vector<std::string>& Logs() const { return m_logs; }

  NTSTATUS InjectUdp(const SEvent& query, const std::vector<uint8_t>& packet, bool receive) {
    InjectUdpHeader header{};
    header.headerSize = kInjectUdpHeaderSize;
    header.packetLength = static_cast<uint32_t>(packet.size());
    header.addressFamily = query.header.sourceAddress.family;
    header.context = query.header.typeBlock.datagram;
    header.receive = receive ? 1 : 0;
    std::vector<uint8_t> input(sizeof(header));
    std::memcpy(input.data(), &header, sizeof(header));
    input.insert(input.end(), packet.begin(), packet.end());
    return Call(IOCTL_PALVEX_INJECT_UDP, input).status;
  }

 private:
  void Keep(const SControlReply& reply) {
    if (!m_readTag || reply.tag != *m_readTag) return;
    m_readTag.reset();
    if (reply.status != STATUS_SUCCESS || reply.output.size() < kDriverEventHeaderSize) return;
    SEvent event;
    std::memcpy(&event.header, reply.output.data(), sizeof(event.header));
    event.data.assign(reply.output.begin() + kDriverEventHeaderSize, reply.output.end());
    m_events.push_back(std::move(event));
  }

  CControlClient m_client;
  uint64_t m_tag = 0;
  std::optional<uint64_t> m_readTag;
  std::deque<SEvent> m_events;
  std::vector<std::string> m_logs;
};

std::array<uint8_t, 16> AddressOf(const SOCKADDR_INET& address) {
  std::array<uint8_t, 16> bytes{};
  if (address.family == kRecordFamilyInet)
    std::memcpy(bytes.data(), address.ipv4, 4);
  else
    std::memcpy(bytes.data(), address.ipv6.address, 16);
  return bytes;
}

int FamilyOf(const SEvent& event) { return event.header.sourceAddress.family == kRecordFamilyInet ? AF_INET : AF_INET6; }

// An answer to the query of an outbound datagram event (UDP header, then
// the DNS message): the question, then one A record 192.0.2.99.
std::vector<uint8_t> AnswerPacket(const SEvent& query) {
  std::vector<uint8_t> udp = query.Payload();
  if (udp.size() < 8 + 12) return {};
  const uint8_t* dns = udp.data() + 8;
  size_t length = udp.size() - 8, end = 12;
  while (end < length && dns[end] != 0) end += size_t(dns[end]) + 1;
  end += 5;
  if (end > length) return {};
  std::vector<uint8_t> answer(dns, dns + end);
  answer[2] = 0x81, answer[3] = 0x80;
  answer[6] = 0, answer[7] = 1;
  for (int i = 8; i < 12; ++i) answer[i] = 0;
  const uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 99};
  answer.insert(answer.end(), record, record + sizeof(record));
  std::vector<uint8_t> reply = {udp[2], udp[3], udp[0], udp[1], 0, 0, 0, 0};
  reply[4] = uint8_t((8 + answer.size()) >> 8), reply[5] = uint8_t(8 + answer.size());
  reply.insert(reply.end(), answer.begin(), answer.end());
  return BuildUdpPacket(FamilyOf(query), AddressOf(query.header.destinationAddress),
                        AddressOf(query.header.sourceAddress), reply.data(), reply.size());
}

// The query itself as the whole IP packet the program hands back.
std::vector<uint8_t> QueryPacket(const SEvent& query) {
  std::vector<uint8_t> udp = query.Payload();
  return BuildUdpPacket(FamilyOf(query), AddressOf(query.header.sourceAddress),
                        AddressOf(query.header.destinationAddress), udp.data(), udp.size());
}

uint16_t LocalPort(const SEvent& event) { return ntohs(event.header.sourceAddress.port); }

class Diversion : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_pair.CreateAsRoot());
    std::string error;
    ASSERT_TRUE(m_server.Start(m_pair, error)) << error;
    m_host = m_pair.Spawn(m_pair.Client(), {PALVEXDRV_PATH, "--socket-folder", m_folder.Path().string()}, Log());
    ASSERT_TRUE(m_program.Connect(m_folder.Path() / "PalvexDrv")) << testsupport::ReadBytes(Log());
    ASSERT_EQ(m_program.Call(IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 4).output, (std::vector<uint8_t>{118, 0, 0, 0}));
    ASSERT_TRUE(m_program.SetConfig(0, 10));
    ASSERT_EQ(m_program.Call(IOCTL_PALVEX_START).status, STATUS_SUCCESS);
    auto started = m_program.NextEvent();
    ASSERT_TRUE(started.has_value());
    ASSERT_EQ(started->Text(), "Tavrin started.");
  }
  std::string Log() const { return (m_folder.Path() / "palvexdrv.log").string(); }
  const char* Server() const { return GetParam(); }

  // dig in the client namespace; its pid is the process that sends.
  pid_t StartDig(std::vector<std::string> extra = {}, int timeoutSeconds = 3) {
    std::vector<std::string> argv = {"dig", std::string("@") + Server(), "+tries=1",
                                     "+timeout=" + std::to_string(timeoutSeconds), "+short"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back("q" + std::to_string(++m_names) + ".test.");
    m_digOutput = (m_folder.Path() / ("dig" + std::to_string(m_names))).string();
    return m_pair.Spawn(m_pair.Client(), argv, m_digOutput);
  }
  // dig's output once it exits (bounded), with its exit status.
  std::pair<int, std::string> FinishDig(pid_t pid) {
    int status = -1;
    for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) != pid; ++i)
      std::this_thread::sleep_for(milliseconds(10));
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testsupport::ReadBytes(m_digOutput)};
  }
  std::pair<int, std::string> Dig(std::vector<std::string> extra = {}) { return FinishDig(StartDig(extra)); }

  TempFolder m_folder;
  CNetnsPair m_pair;
  CStubDnsServer m_server;
  CTestProgram m_program;
  pid_t m_host = -1;
  int m_names = 0;
  std::string m_digOutput;
};

TEST_P(Diversion, AQueryIsReportedAbsorbedAndAnsweredByTheProgramThenItsFlowEnds) {
  pid_t dig = StartDig();
  auto flow = m_program.NextTraffic();
  ASSERT_TRUE(flow.has_value()) << testsupport::ReadBytes(Log());
  EXPECT_EQ(flow->header.eventType, EventFlowEstablished);
  EXPECT_EQ(flow->header.processId, uint32_t(dig));
  auto appId = Utf16LeWithNul(std::filesystem::canonical("/usr/bin/dig").string());
  EXPECT_EQ(flow->data, appId);
  auto sid = UnixUserSid(0);
  EXPECT_EQ(0, std::memcmp(flow->header.userSid, sid.data(), sid.size()));
  EXPECT_EQ(ntohs(flow->header.destinationAddress.port), 53);

  auto query = m_program.NextTraffic();
  ASSERT_TRUE(query.has_value());
  EXPECT_EQ(query->header.eventType, EventUdpDatagram);
  EXPECT_EQ(query->header.inbound, 0);
  EXPECT_EQ(query->header.flowHandle, flow->header.flowHandle);
  EXPECT_EQ(query->header.processId, uint32_t(dig));
  EXPECT_EQ(LocalPort(*query), LocalPort(*flow));
  EXPECT_EQ(m_server.UdpQueries(), 0);  // absorbed

  EXPECT_EQ(m_program.InjectUdp(*query, AnswerPacket(*query), true), STATUS_SUCCESS);
  auto [status, output] = FinishDig(dig);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, "192.0.2.99\n");  // accepted as coming from the server dig asked
  EXPECT_EQ(m_server.UdpQueries(), 0);

  // The injected answer is not reported again; the flow ends once dig's
  // socket is gone.
  auto next = m_program.NextTraffic();
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->header.eventType, EventFlowDeleted);
  EXPECT_EQ(next->header.flowHandle, flow->header.flowHandle);
  EXPECT_EQ(next->header.processId, uint32_t(dig));
}

TEST_P(Diversion, ABypassedQueryReachesTheServerFromDigsPortAndItsAnswerIsReported) {
  pid_t dig = StartDig();
  auto flow = m_program.NextTraffic();
  auto query = m_program.NextTraffic();
  ASSERT_TRUE(flow && query);
  ASSERT_EQ(query->header.eventType, EventUdpDatagram);
  EXPECT_EQ(m_program.InjectUdp(*query, QueryPacket(*query), false), STATUS_SUCCESS);
  auto [status, output] = FinishDig(dig);
  EXPECT_EQ(output, "192.0.2.53\n");
  EXPECT_EQ(m_server.UdpQueries(), 1);
  ASSERT_FALSE(m_server.UdpSourcePorts().empty());
  EXPECT_EQ(m_server.UdpSourcePorts().back(), LocalPort(*query));
  auto answer = m_program.NextTraffic();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->header.eventType, EventUdpDatagram);
  EXPECT_EQ(answer->header.inbound, 1);
  EXPECT_EQ(answer->header.flowHandle, flow->header.flowHandle);
}

TEST_P(Diversion, TheProgramsOwnQueriesPassUnreported) {
  m_pair.RunIn(m_pair.Client(), [&] {
    bool v6 = std::strchr(Server(), ':') != nullptr;
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_storage to{};
    socklen_t length;
    if (v6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&to);
      a->sin6_family = AF_INET6;
      a->sin6_port = htons(53);
      inet_pton(AF_INET6, Server(), &a->sin6_addr);
      length = sizeof(*a);
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&to);
      a->sin_family = AF_INET;
      a->sin_port = htons(53);
      inet_pton(AF_INET, Server(), &a->sin_addr);
      length = sizeof(*a);
    }
    const uint8_t query[] = {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 3, 'o', 'w', 'n', 0, 0, 1, 0, 1};
    ASSERT_EQ(sendto(fd, query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&to), length), ssize_t(sizeof(query)));
    pollfd poller{fd, POLLIN, 0};
    EXPECT_EQ(poll(&poller, 1, 3000), 1);
    close(fd);
  });
  EXPECT_EQ(m_server.UdpQueries(), 1);
  EXPECT_FALSE(m_program.NextTraffic(milliseconds(300)).has_value());
}

TEST_P(Diversion, TcpConnectsFailAtOnceWhileBlockedAndWorkOtherwise) {
  ASSERT_TRUE(m_program.SetConfig(1, 10));
  auto [blockedStatus, blocked] = Dig({"+tcp"});
  EXPECT_NE(blockedStatus, 0);
  EXPECT_NE(blocked.find("refused"), std::string::npos) << blocked;
  auto connect = m_program.NextTraffic();
  ASSERT_TRUE(connect.has_value());
  EXPECT_EQ(connect->header.eventType, EventTcpConnect);
  EXPECT_EQ(connect->header.verdict, 2u);
  EXPECT_EQ(m_server.TcpConnections(), 0);

  ASSERT_TRUE(m_program.SetConfig(0, 10));
  auto [passedStatus, passed] = Dig({"+tcp"});
  EXPECT_EQ(passed, "192.0.2.53\n");
  connect = m_program.NextTraffic();
  ASSERT_TRUE(connect.has_value());
  EXPECT_EQ(connect->header.verdict, 1u);
  EXPECT_EQ(m_server.TcpConnections(), 1);
}

TEST_P(Diversion, StaleEventsStopTheEngineAndTrafficFlowsAgain) {
  ASSERT_TRUE(m_program.SetConfig(0, 1));
  // The program reads nothing: the first query's events grow old. Each dig
  // waits two seconds for its absorbed query, so the next one finds them
  // older than a second.
  std::string answer;
  for (int i = 0; i < 4 && answer != "192.0.2.53\n"; ++i) answer = Dig({}).second;
  EXPECT_EQ(answer, "192.0.2.53\n");
  std::optional<SEvent> stopped;
  while (auto event = m_program.NextEvent(milliseconds(1000)))
    if (event->Text() == "Tavrin stopped.") stopped = event;
  ASSERT_TRUE(stopped.has_value());
  EXPECT_EQ(stopped->header.typeBlock.log.status, 1u);  // an emergency stop
  EXPECT_EQ(Dig({}).second, "192.0.2.53\n");
}

TEST_P(Diversion, ClosingTheConnectionOrKillingTheHostLeavesDnsWorking) {
  m_program.Close();
  EXPECT_EQ(Dig({}).second, "192.0.2.53\n");
  ASSERT_TRUE(m_program.Connect(m_folder.Path() / "PalvexDrv"));
  ASSERT_EQ(m_program.Call(IOCTL_PALVEX_START).status, STATUS_SUCCESS);
  kill(m_host, SIGKILL);
  EXPECT_EQ(Dig({}).second, "192.0.2.53\n");
}

TEST_P(Diversion, InjectionsOfNoFlowOrABadLengthAreRefused) {
  pid_t dig = StartDig();
  auto flow = m_program.NextTraffic();
  auto query = m_program.NextTraffic();
  ASSERT_TRUE(flow && query);
  auto stray = AnswerPacket(*query);
  ASSERT_GE(stray.size(), 28u);
  size_t udp = (stray[0] >> 4) == 4 ? 20 : 40;
  stray[udp + 3] ^= 1;  // another local port: no flow of the host's
  EXPECT_TRUE(NT_ERROR(m_program.InjectUdp(*query, BuildUdpPacket(FamilyOf(*query),
                                                                  AddressOf(query->header.destinationAddress),
                                                                  AddressOf(query->header.sourceAddress),
                                                                  stray.data() + udp, stray.size() - udp),
                                          true)));
  auto bad = AnswerPacket(*query);
  bad[udp + 5] += 1;  // a UDP length the packet does not have
  EXPECT_TRUE(NT_ERROR(m_program.InjectUdp(*query, bad, true)));
  auto [status, output] = FinishDig(dig);
  EXPECT_NE(status, 0);  // nothing reached dig
  EXPECT_EQ(output.find("192.0.2."), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Families, Diversion, ::testing::Values(kServerAddress4, kServerAddress6),
                         [](const auto& info) { return std::string(std::strchr(info.param, ':') ? "v6" : "v4"); });

}  // namespace
