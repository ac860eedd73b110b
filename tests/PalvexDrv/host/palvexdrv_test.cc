// The palvexdrv executable in a client namespace made by the fixture,
// driven through its control socket as the program drives it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "shared/driver_records.h"
#include "shared/driver_requests.h"
#include "tests/PalvexDrv/host/control_client.h"
#include "tests/PalvexDrv/host/netns_fixture.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace testsupport;

std::vector<uint8_t> Config() {
  DriverConfig config{};
  config.size = sizeof(DriverConfig);
  config.serviceProcessId = static_cast<uint32_t>(getpid());
  config.datagramFlags = kDatagramFlagAbsorb | kDatagramFlagQueryShape;
  config.staleEventSeconds = 10;
  std::vector<uint8_t> bytes(sizeof(config));
  std::memcpy(bytes.data(), &config, sizeof(config));
  return bytes;
}

// The text of an EventLog reply, else empty.
std::string LogText(const SControlReply& reply) {
  if (reply.output.size() < kDriverEventHeaderSize) return {};
  DriverEvent event;
  std::memcpy(&event, reply.output.data(), sizeof(event));
  if (event.eventType != EventLog || event.dataLength == 0 ||
      reply.output.size() != kDriverEventHeaderSize + event.dataLength)
    return {};
  return std::string(reinterpret_cast<const char*>(reply.output.data()) + kDriverEventHeaderSize,
                     event.dataLength - 1);
}

class Palvexdrv : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_pair.CreateAsRoot());
  }
  std::filesystem::path Socket() const { return m_folder.Path() / "PalvexDrv"; }
  pid_t Start() {
    pid_t pid = m_pair.Spawn(m_pair.Client(), {PALVEXDRV_PATH, "--socket-folder", m_folder.Path().string()},
                             (m_folder.Path() / "palvexdrv.log").string());
    EXPECT_GT(pid, 0);
    return pid;
  }
  // Connects once the host answers, within five seconds.
  std::optional<uint32_t> Connect(CControlClient& client) {
    for (int i = 0; i < 250; ++i) {
      client.Close();
      if (auto reply = client.Connect(Socket())) return reply;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "palvexdrv did not answer: " << ReadBytes(m_folder.Path() / "palvexdrv.log");
    return std::nullopt;
  }
  SControlReply Call(CControlClient& client, uint32_t code, std::vector<uint8_t> input = {}, uint32_t capacity = 0) {
    EXPECT_TRUE(client.SendRequest(++m_tag, code, std::move(input), capacity));
    auto reply = client.ReadReply();
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(SControlReply{});
  }
  int Exit(pid_t pid) {
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  TempFolder m_folder;
  CNetnsPair m_pair;
  uint64_t m_tag = 0;
};

TEST_F(Palvexdrv, ServesTheProgramsRequestSequenceToOneClientAtATime) {
  pid_t pid = Start();
  CControlClient client;
  ASSERT_EQ(Connect(client), 0u);
  auto version = Call(client, IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 4);
  EXPECT_EQ(version.status, STATUS_SUCCESS);
  EXPECT_EQ(version.output, (std::vector<uint8_t>{118, 0, 0, 0}));
  EXPECT_EQ(Call(client, IOCTL_PALVEX_START).status, STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(Call(client, IOCTL_PALVEX_SET_CONFIG, Config()).status, STATUS_SUCCESS);
  EXPECT_EQ(Call(client, IOCTL_PALVEX_START).status, STATUS_SUCCESS);
  auto started = Call(client, IOCTL_PALVEX_GET_EVENT, {}, kMaxRequestOutput);
  EXPECT_EQ(LogText(started), "Tavrin started.");

  CControlClient second;
  EXPECT_EQ(second.Connect(Socket()), ERROR_ACCESS_DENIED);

  // A read parked on the empty queue is completed by the stop's event.
  ASSERT_TRUE(client.SendRequest(100, IOCTL_PALVEX_GET_EVENT, {}, kMaxRequestOutput));
  ASSERT_TRUE(client.SendRequest(101, IOCTL_PALVEX_STOP, {}, 0));
  std::map<uint64_t, SControlReply> replies;
  for (int i = 0; i < 2; ++i)
    if (auto reply = client.ReadReply()) replies[reply->tag] = *reply;
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_TRUE(replies[100].parked);
  EXPECT_EQ(LogText(replies[100]), "Tavrin stopped.");
  EXPECT_EQ(replies[101].status, STATUS_SUCCESS);

  // The handle closes; the next client gets the device, its configuration kept.
  client.Close();
  CControlClient next;
  ASSERT_EQ(Connect(next), 0u);
  EXPECT_EQ(Call(next, IOCTL_PALVEX_START).status, STATUS_SUCCESS);
  kill(pid, SIGTERM);
  EXPECT_EQ(Exit(pid), 0);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

TEST_F(Palvexdrv, SigtermRemovesSocketAndChainAKilledHostLeavesDnsWorkingAndItsLeftoversGoAtTheNextStart) {
  CStubDnsServer server;
  std::string error;
  ASSERT_TRUE(server.Start(m_pair, error)) << error;
  pid_t pid = Start();
  CControlClient client;
  ASSERT_EQ(Connect(client), 0u);
  client.Close();
  for (const char* tool : {"iptables", "ip6tables"})
    EXPECT_EQ(Count(m_pair.Run(m_pair.Client(), {tool, "-S"}).output, "-j PALVEXDRV"), 3u) << tool;
  kill(pid, SIGTERM);
  EXPECT_EQ(Exit(pid), 0);
  EXPECT_FALSE(std::filesystem::exists(Socket()));
  for (const char* tool : {"iptables", "ip6tables"})
    EXPECT_EQ(m_pair.Run(m_pair.Client(), {tool, "-S"}).output.find("PALVEXDRV"), std::string::npos) << tool;

  pid = Start();
  ASSERT_EQ(Connect(client), 0u);
  client.Close();
  kill(pid, SIGKILL);
  Exit(pid);
  EXPECT_TRUE(std::filesystem::exists(Socket()));  // nobody removed it
  // The chain stayed, and with nobody on the queue DNS still works.
  EXPECT_NE(m_pair.Run(m_pair.Client(), {"iptables", "-S"}).output.find("PALVEXDRV"), std::string::npos);
  for (const char* address : {kServerAddress4, kServerAddress6}) {
    auto dig = m_pair.Run(m_pair.Client(), {"dig", std::string("@") + address, "+tries=1", "+timeout=2", "+short",
                                            "killed.test."});
    EXPECT_EQ(dig.output, "192.0.2.53\n") << address;
  }
  m_pair.Run(m_pair.Client(), {"iptables", "-A", "OUTPUT", "-p", "udp", "--dport", "53", "-j", "PALVEXDRV"});

  pid = Start();
  ASSERT_EQ(Connect(client), 0u);
  EXPECT_EQ(Count(m_pair.Run(m_pair.Client(), {"iptables", "-S"}).output, "-j PALVEXDRV"), 3u);
  kill(pid, SIGTERM);
  EXPECT_EQ(Exit(pid), 0);
}

// Resident memory of a process, in kB; 0 when unknown.
size_t ResidentKb(pid_t pid) {
  std::string status = ReadBytes("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::stoul(status.substr(at + 6));
}

TEST_F(Palvexdrv, ParkedReadsAreCappedPerClientAndHoldNoOutputBuffer) {
  pid_t pid = Start();
  CControlClient client;
  ASSERT_EQ(Connect(client), 0u);
  ASSERT_EQ(Call(client, IOCTL_PALVEX_SET_CONFIG, Config()).status, STATUS_SUCCESS);
  ASSERT_EQ(Call(client, IOCTL_PALVEX_START).status, STATUS_SUCCESS);
  ASSERT_EQ(LogText(Call(client, IOCTL_PALVEX_GET_EVENT, {}, kMaxRequestOutput)), "Tavrin started.");
  size_t before = ResidentKb(pid);
  ASSERT_GT(before, 0u);

  // Reads of the largest size on an empty queue: each would wait.
  constexpr int kReads = 300;
  for (int i = 0; i < kReads; ++i) ASSERT_TRUE(client.SendRequest(1000 + i, IOCTL_PALVEX_GET_EVENT, {}, kMaxRequestOutput));
  int refused = 0, answered = 0;
  while (auto reply = client.ReadReply(std::chrono::milliseconds(500))) {
    ++answered;
    if (reply->status == STATUS_INSUFFICIENT_RESOURCES) ++refused;
  }
  EXPECT_GT(refused, 0);
  EXPECT_LE(kReads - answered, 256);  // still waiting
  EXPECT_GE(kReads - answered, 200);
  EXPECT_LT(ResidentKb(pid), before + 32 * 1024) << "parked reads hold their output buffers";

  // A parked read still gets the whole of what it waited for.
  ASSERT_TRUE(client.SendRequest(2000, IOCTL_PALVEX_STOP, {}, 0));
  std::string stopped;
  while (auto reply = client.ReadReply(std::chrono::milliseconds(1000)))
    if (LogText(*reply) == "Tavrin stopped.") stopped = LogText(*reply);
  EXPECT_EQ(stopped, "Tavrin stopped.");
  kill(pid, SIGTERM);
  EXPECT_EQ(Exit(pid), 0);
}

}  // namespace
