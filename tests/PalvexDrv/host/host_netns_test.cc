// The host's pieces on a real packet path, inside namespaces made here.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "PalvexDrv/host/control_socket_server.h"
#include "PalvexDrv/host/nfqueue_reader.h"
#include "PalvexDrv/host/process_identity.h"
#include "PalvexDrv/host/raw_injector.h"
#include "PalvexDrv/host/rule_chain.h"
#include "PalvexDrv/host/sock_diag.h"
#include "tests/PalvexDrv/host/control_client.h"
#include "tests/PalvexDrv/host/netns_fixture.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace testsupport;

constexpr uint16_t kQueue = 4242;
constexpr uint32_t kBlockMark = 0x70640002, kOwnMark = 0x70640001;

class HostNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_pair.CreateAsRoot());
    std::string error;
    ASSERT_TRUE(m_server.Start(m_pair, error)) << error;
  }
  SRunResult Dig(const char* server, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {"dig", std::string("@") + server, "+tries=1", "+timeout=2", "+short"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back("q" + std::to_string(++m_names) + ".test.");
    return m_pair.Run(m_pair.Client(), argv);
  }
  std::string ClientTool(const char* tool, std::vector<std::string> args) {
    args.insert(args.begin(), tool);
    return m_pair.Run(m_pair.Client(), args).output;
  }

  CNetnsPair m_pair;
  CStubDnsServer m_server;
  int m_names = 0;
};

TEST_F(HostNetns, FixtureAnswersInBothFamiliesAndRefusesAForeignNamespace) {
  for (const char* server : {kServerAddress4, kServerAddress6}) {
    SCOPED_TRACE(server);
    auto dig = Dig(server);
    EXPECT_EQ(dig.status, 0) << dig.output;
    EXPECT_EQ(dig.output, "192.0.2.53\n");
  }
  EXPECT_EQ(m_server.UdpQueries(), 2);
  auto foreign = m_pair.Run("some-namespace-of-the-machine", {"true"});
  EXPECT_EQ(foreign.status, -1);
  EXPECT_NE(foreign.output.find("refused"), std::string::npos);
  EXPECT_EQ(m_pair.Spawn("some-namespace-of-the-machine", {"true"}, "/dev/null"), -1);
}

TEST_F(HostNetns, ChainInstallsOverLeftoversAndRemovesCompletely) {
  // What a killed host left: the chain and a jump to it.
  ClientTool("iptables", {"-N", "PALVEXDRV"});
  ClientTool("iptables", {"-A", "OUTPUT", "-p", "udp", "--dport", "53", "-j", "PALVEXDRV"});
  m_pair.RunIn(m_pair.Client(), [&] {
    CRuleChain chain({"PALVEXDRV", kQueue, kBlockMark});
    std::string error;
    ASSERT_TRUE(chain.Install(error)) << error;
    for (const char* tool : {"iptables", "ip6tables"}) {
      std::string rules;
      RunTool(tool, {"-S"}, &rules);
      SCOPED_TRACE(rules);
      EXPECT_NE(rules.find("-A PALVEXDRV -p tcp -m mark --mark 0x70640002 -j REJECT --reject-with tcp-reset"),
                std::string::npos);
      EXPECT_NE(rules.find("--queue-num 4242 --queue-bypass"), std::string::npos);
      size_t jumps = 0;
      for (size_t at = rules.find("-A OUTPUT -p udp"); at != std::string::npos; at = rules.find("-A OUTPUT -p udp", at + 1))
        ++jumps;
      EXPECT_EQ(jumps, 1u);  // the leftover jump is gone
    }
    chain.Remove();
    for (const char* tool : {"iptables", "ip6tables"}) {
      std::string rules;
      RunTool(tool, {"-S"}, &rules);
      EXPECT_EQ(rules.find("PALVEXDRV"), std::string::npos) << rules;
    }
  });
}

// Queued packets as the handler saw them.
struct SSeen {
  bool inbound;
  uint32_t mark;
  uint8_t protocol;
};

class QueueNetns : public HostNetns {
 protected:
  enum class EMode { Accept, Drop, BlockTcp };

  void SetUp() override {
    HostNetns::SetUp();
    if (HasFatalFailure()) return;
    m_pair.RunIn(m_pair.Client(), [&] {
      std::string error;
      ASSERT_TRUE(m_chain.Install(error)) << error;
      ASSERT_TRUE(m_reader.Open(kQueue, error)) << error;
    });
    m_reader.Start([this](const SQueuedPacket& packet) {
      uint8_t protocol = packet.length > 9 ? ((packet.data[0] >> 4) == 4 ? packet.data[9] : packet.data[6]) : 0;
      {
        std::lock_guard lock(m_mutex);
        m_seen.push_back({packet.inbound, packet.mark, protocol});
      }
      EMode mode = m_mode.load();
      if (protocol == IPPROTO_TCP && mode == EMode::BlockTcp && packet.mark != kBlockMark)
        m_reader.SetVerdict(packet.id, EQueueVerdict::Repeat, kBlockMark);
      else if (protocol == IPPROTO_UDP && !packet.inbound && mode == EMode::Drop && packet.mark != kOwnMark)
        m_reader.SetVerdict(packet.id, EQueueVerdict::Drop);
      else
        m_reader.SetVerdict(packet.id, EQueueVerdict::Accept);
    });
  }
  void TearDown() override {
    m_reader.Close();
    m_pair.RunIn(m_pair.Client(), [&] { m_chain.Remove(); });
  }
  std::vector<SSeen> Seen() {
    std::lock_guard lock(m_mutex);
    return m_seen;
  }
  void ClearSeen() {
    std::lock_guard lock(m_mutex);
    m_seen.clear();
  }

  CRuleChain m_chain{{"PALVEXDRV", kQueue, kBlockMark}};
  CNfQueueReader m_reader;
  std::atomic<EMode> m_mode{EMode::Accept};
  std::mutex m_mutex;
  std::vector<SSeen> m_seen;
};

TEST_F(QueueNetns, AcceptPassesQueryAndAnswerDropAbsorbsTheQuery) {
  for (const char* server : {kServerAddress4, kServerAddress6}) {
    SCOPED_TRACE(server);
    int before = m_server.UdpQueries();
    ClearSeen();
    m_mode = EMode::Accept;
    auto passed = Dig(server);
    EXPECT_EQ(passed.output, "192.0.2.53\n");
    auto seen = Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[0].inbound);
    EXPECT_TRUE(seen[1].inbound);
    EXPECT_EQ(seen[0].protocol, IPPROTO_UDP);

    ClearSeen();
    m_mode = EMode::Drop;
    auto absorbed = Dig(server);
    EXPECT_NE(absorbed.status, 0) << absorbed.output;
    EXPECT_EQ(m_server.UdpQueries(), before + 1);  // only the accepted one
    EXPECT_GE(Seen().size(), 1u);
  }
}

TEST_F(QueueNetns, TrafficFlowsUnchangedWithNoReaderBound) {
  m_reader.Close();
  for (const char* server : {kServerAddress4, kServerAddress6}) {
    auto dig = Dig(server);
    EXPECT_EQ(dig.output, "192.0.2.53\n") << server;
  }
  EXPECT_TRUE(Seen().empty());
}

TEST_F(QueueNetns, ABlockedTcpConnectIsResetAndAPassedOneWorks) {
  for (const char* server : {kServerAddress4, kServerAddress6}) {
    SCOPED_TRACE(server);
    int before = m_server.TcpConnections();
    m_mode = EMode::BlockTcp;
    auto blocked = Dig(server, {"+tcp"});
    EXPECT_NE(blocked.status, 0);
    EXPECT_NE(blocked.output.find("refused"), std::string::npos) << blocked.output;
    EXPECT_EQ(m_server.TcpConnections(), before);
    m_mode = EMode::Accept;
    auto passed = Dig(server, {"+tcp"});
    EXPECT_EQ(passed.output, "192.0.2.53\n");
    EXPECT_EQ(m_server.TcpConnections(), before + 1);
  }
}

// A datagram socket in the client namespace connected to the stub server:
// a flow's local end without sending a byte.
struct SClientSocket {
  int fd = -1;
  SFlowKey flow;
  ~SClientSocket() {
    if (fd >= 0) close(fd);
  }
};

void OpenClientSocket(int family, SClientSocket& out) {
  out.fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_storage to{};
  socklen_t length;
  out.flow.family = family;
  out.flow.protocol = IPPROTO_UDP;
  out.flow.remotePort = 53;
  if (family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&to);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(53);
    inet_pton(AF_INET, kServerAddress4, &v4->sin_addr);
    std::memcpy(out.flow.remoteAddress.data(), &v4->sin_addr, 4);
    length = sizeof(*v4);
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&to);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(53);
    inet_pton(AF_INET6, kServerAddress6, &v6->sin6_addr);
    std::memcpy(out.flow.remoteAddress.data(), &v6->sin6_addr, 16);
    length = sizeof(*v6);
  }
  ASSERT_EQ(connect(out.fd, reinterpret_cast<sockaddr*>(&to), length), 0);
  sockaddr_storage local{};
  length = sizeof(local);
  getsockname(out.fd, reinterpret_cast<sockaddr*>(&local), &length);
  if (family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&local);
    std::memcpy(out.flow.localAddress.data(), &v4->sin_addr, 4);
    out.flow.localPort = ntohs(v4->sin_port);
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&local);
    std::memcpy(out.flow.localAddress.data(), &v6->sin6_addr, 16);
    out.flow.localPort = ntohs(v6->sin6_port);
  }
}

std::vector<uint8_t> UdpDatagram(uint16_t source, uint16_t destination, const std::string& payload) {
  std::vector<uint8_t> udp(8 + payload.size(), 0);
  size_t length = udp.size();
  udp[0] = uint8_t(source >> 8), udp[1] = uint8_t(source);
  udp[2] = uint8_t(destination >> 8), udp[3] = uint8_t(destination);
  udp[4] = uint8_t(length >> 8), udp[5] = uint8_t(length);
  std::copy(payload.begin(), payload.end(), udp.begin() + 8);
  return udp;
}

std::string ReceiveWithin(int fd, int milliseconds) {
  pollfd poller{fd, POLLIN, 0};
  if (poll(&poller, 1, milliseconds) != 1) return {};
  char buffer[2048];
  ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

TEST_F(QueueNetns, InjectionReachesTheProcessOrTheServerWithTheOwnMarkAndOnlyForAHeldFlow) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family);
    m_pair.RunIn(m_pair.Client(), [&] {
      SClientSocket client;
      OpenClientSocket(family, client);
      if (HasFatalFailure()) return;
      // Who owns the flow, as the host finds it.
      auto socket = FindFlowSocket(client.flow);
      ASSERT_TRUE(socket.has_value());
      CSocketOwnerFinder owners;
      EXPECT_EQ(owners.Find(socket->inode, 0), getpid());

      CRawInjector injector;
      std::string error;
      ASSERT_TRUE(injector.Open(kOwnMark, error)) << error;
      auto held = [&](const SFlowKey& key) { return key == client.flow; };
      ClearSeen();

      auto answer = UdpDatagram(53, client.flow.localPort, "answer");
      auto packet = BuildUdpPacket(family, client.flow.remoteAddress, client.flow.localAddress, answer.data(), answer.size());
      EXPECT_EQ(injector.Inject(packet.data(), packet.size(), family, EInjectDirection::AsReceived, held), 0);
      EXPECT_EQ(ReceiveWithin(client.fd, 3000), "answer");
      auto seen = Seen();
      ASSERT_EQ(seen.size(), 1u);  // queued once, at INPUT, carrying the host's mark
      EXPECT_TRUE(seen[0].inbound);
      EXPECT_EQ(seen[0].mark, kOwnMark);

      int before = m_server.UdpQueries();
      auto query = UdpDatagram(client.flow.localPort, 53, std::string("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x01q\x00\x00\x01\x00\x01", 19));
      auto sent = BuildUdpPacket(family, client.flow.localAddress, client.flow.remoteAddress, query.data(), query.size());
      EXPECT_EQ(injector.Inject(sent.data(), sent.size(), family, EInjectDirection::AsSent, held), 0);
      // The server answers to the flow's local end: the socket gets it.
      EXPECT_FALSE(ReceiveWithin(client.fd, 3000).empty());
      EXPECT_EQ(m_server.UdpQueries(), before + 1);
      EXPECT_EQ(m_server.UdpSourcePorts().back(), client.flow.localPort);

      // Not a held flow: refused, and nothing arrives.
      auto stray = UdpDatagram(53, uint16_t(client.flow.localPort + 1), "stray");
      auto strayPacket = BuildUdpPacket(family, client.flow.remoteAddress, client.flow.localAddress, stray.data(), stray.size());
      EXPECT_EQ(injector.Inject(strayPacket.data(), strayPacket.size(), family, EInjectDirection::AsReceived, held),
                STATUS_INJECT_NO_FLOW);
      packet.pop_back();  // bad length
      EXPECT_EQ(injector.Inject(packet.data(), packet.size(), family, EInjectDirection::AsReceived, held),
                STATUS_INJECT_BAD_PACKET);
      EXPECT_TRUE(ReceiveWithin(client.fd, 200).empty());
    });
  }
}

// The control socket's owner, mode and peer check, with a peer that is not root.
class ControlSocketAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string root = RootRequired();
    ASSERT_TRUE(root.empty()) << root;
  }
  // The open reply a process running as uid/gid 65534 gets, or -1.
  long OpenAsNobody(const std::filesystem::path& path) {
    pid_t pid = fork();
    if (pid == 0) {
      if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
        _exit(100);
      CControlClient client;
      auto reply = client.Connect(path);
      _exit(!reply ? 101 : *reply == 0 ? 0 : *reply == 5 ? 5 : 102);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool Start(CControlSocketServer& server, const std::string& group) {
    SControlSocketOptions options;
    options.folder = m_folder.Path();
    options.groupName = group;
    std::string error;
    bool started = server.Start(
        options, [](auto, const SPeerCredentials&, uint32_t*) { return std::make_unique<CNullSession>(); }, error);
    EXPECT_TRUE(started) << error;
    return started;
  }
  struct CNullSession : IControlSession {
    void OnReceive(const uint8_t*, size_t) override {}
    void OnClose() override {}
  };

  TempFolder m_folder;
};

TEST_F(ControlSocketAccess, RootOnlyWithoutTheGroupAndGroupMembersWithIt) {
  // The folder must let the peer reach the socket file at all.
  chmod(m_folder.Path().c_str(), 0755);
  struct stat info;
  {
    CControlSocketServer server;
    ASSERT_TRUE(Start(server, "palvex-no-such-group"));
    ASSERT_EQ(stat(server.SocketPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_uid, 0u);
    // Even with a mode that let it in, the peer check refuses.
    chmod(server.SocketPath().c_str(), 0666);
    EXPECT_EQ(OpenAsNobody(server.SocketPath()), 5);
  }
  group* nogroup = getgrgid(65534);
  ASSERT_NE(nogroup, nullptr) << "gid 65534 must exist";
  CControlSocketServer server;
  ASSERT_TRUE(Start(server, nogroup->gr_name));
  ASSERT_EQ(stat(server.SocketPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  EXPECT_EQ(info.st_gid, 65534u);
  EXPECT_EQ(OpenAsNobody(server.SocketPath()), 0);
}

}  // namespace
