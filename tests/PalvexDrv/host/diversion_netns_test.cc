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
#include "tests/PalvexDrv/host/test_program.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace testsupport;
using std::chrono::milliseconds;

class Diversion : public ::testing::TestWithParam<const char*>, protected CDivertingHost {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartHost()); }
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
