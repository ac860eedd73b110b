// What palvexdrv injects is accepted by its chain ahead of the queue: an
// injected answer reaches the asking process without passing the reader.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "PalvexDrv/host/rule_chain.h"
#include "tests/PalvexDrv/host/netns_fixture.h"
#include "tests/PalvexDrv/host/test_program.h"
#include "tests/support/temp_folder.h"
#include "tests/support/bounded_wait.h"

namespace {

using namespace testsupport;
using std::chrono::milliseconds;

constexpr uint32_t kNoServiceProcess = 1;  // init: it sends nothing here

class OwnInjection : public ::testing::Test, protected CDivertingHost {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartHost(kNoServiceProcess)); }

  // The host's count of queued packets, as SIGUSR1 makes it write it.
  std::optional<uint64_t> QueuedPackets() {
    size_t before = ReadBytes(Log()).size();
    kill(m_host, SIGUSR1);
    static const std::regex line(R"((\d+) packets queued\n)");
    for (int i = 0; i < 200; ++i) {
      std::string fresh = ReadBytes(Log()).substr(before);
      std::smatch m;
      if (std::regex_search(fresh, m, line)) return std::stoull(m[1]);
      std::this_thread::sleep_for(milliseconds(10));
    }
    ADD_FAILURE() << "no counters in " << ReadBytes(Log());
    return std::nullopt;
  }

  std::string Chain(const char* tool) {
    std::string listing;
    m_pair.RunIn(m_pair.Client(), [&] { RunTool(tool, {"-w", "-S", "PALVEXDRV"}, &listing); });
    return listing;
  }
};

TEST_F(OwnInjection, TheChainAcceptsTheOwnMarkBeforeQueueingAndAnInjectedAnswerNeverReachesTheReader) {
  for (const char* tool : {"iptables", "ip6tables"}) {
    SCOPED_TRACE(tool);
    std::string chain = Chain(tool);
    size_t accept = chain.find("--mark 0x70640001 -j ACCEPT");
    ASSERT_NE(accept, std::string::npos) << chain;
    EXPECT_LT(accept, chain.find("NFQUEUE")) << chain;
  }

  std::string output = (m_folder.Path() / "dig").string();
  pid_t dig = m_pair.Spawn(m_pair.Client(),
                           {"dig", std::string("@") + kServerAddress4, "+tries=1", "+timeout=3", "+short", "own.test."},
                           output);
  std::optional<SEvent> query;
  for (int i = 0; i < 50 && !query; ++i) {
    auto event = m_program.NextTraffic(milliseconds(100));
    if (event && event->header.eventType == EventUdpDatagram && !event->header.inbound) query = event;
  }
  ASSERT_TRUE(query.has_value()) << ReadBytes(Log());
  auto before = QueuedPackets();
  ASSERT_TRUE(before.has_value());
  EXPECT_EQ(m_program.InjectUdp(*query, AnswerPacket(*query), true), STATUS_SUCCESS);
  int status = -1;
  testsupport::WaitUntil([&]() -> bool { return waitpid(dig, &status, WNOHANG) == dig; });
  EXPECT_EQ(ReadBytes(output), "192.0.2.99\n");
  EXPECT_EQ(QueuedPackets(), before);
  EXPECT_EQ(m_server.UdpQueries(), 0);
}

}  // namespace
