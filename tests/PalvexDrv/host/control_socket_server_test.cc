#include "PalvexDrv/host/control_socket_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/PalvexDrv/host/control_client.h"
#include "tests/support/temp_folder.h"
#include "tests/support/bounded_wait.h"

namespace {

using testsupport::CControlClient;

struct SSessionLog {
  std::atomic<int> opened{0}, closed{0};
};

// Echoes what it receives; "F" floods the client with 1-MiB pieces until
// the output refuses one.
class CEchoSession : public IControlSession {
 public:
  CEchoSession(std::shared_ptr<CControlOutput> output, SSessionLog* log) : m_output(std::move(output)), m_log(log) {}
  void OnReceive(const uint8_t* bytes, size_t length) override {
    if (length == 1 && bytes[0] == 'F') {
      for (int i = 0; i < 64 && m_output->Send(std::vector<uint8_t>(1 << 20, 'x')); ++i) {
      }
      return;
    }
    m_output->Send(std::vector<uint8_t>(bytes, bytes + length));
  }
  void OnClose() override { ++m_log->closed; }

 private:
  std::shared_ptr<CControlOutput> m_output;
  SSessionLog* m_log;
};

class ControlSocketServer : public ::testing::Test {
 protected:
  bool Start(size_t limit = 16u << 20) {
    SControlSocketOptions options;
    options.folder = m_folder.Path();
    options.outputQueueLimit = limit;
    std::string error;
    bool started = m_server.Start(
        options,
        [this](std::shared_ptr<CControlOutput> output, const SPeerCredentials&, uint32_t*) {
          ++m_log.opened;
          return std::make_unique<CEchoSession>(std::move(output), &m_log);
        },
        error);
    EXPECT_TRUE(started) << error;
    return started;
  }
  bool WaitFor(const std::atomic<int>& value, int want) {
    testsupport::WaitUntil([&]() -> bool { return value.load() == want; });
    return value.load() == want;
  }

  testsupport::TempFolder m_folder;
  SSessionLog m_log;
  CControlSocketServer m_server;
};

TEST_F(ControlSocketServer, OneClientAtATimeAndTheNextAfterItLeaves) {
  ASSERT_TRUE(Start());
  CControlClient first, second, third;
  EXPECT_EQ(first.Connect(m_server.SocketPath()), 0u);
  ASSERT_TRUE(first.Send({1, 2, 3}));
  std::vector<uint8_t> echo(3);
  pollfd fd{first.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&fd, 1, 5000), 1);
  ASSERT_EQ(recv(first.Fd(), echo.data(), 3, MSG_WAITALL), 3);
  EXPECT_EQ(echo, (std::vector<uint8_t>{1, 2, 3}));

  EXPECT_EQ(second.Connect(m_server.SocketPath()), 5u);  // ERROR_ACCESS_DENIED
  EXPECT_TRUE(second.SeesClose());
  EXPECT_EQ(m_log.opened, 1);

  first.Close();  // the device's file close
  ASSERT_TRUE(WaitFor(m_log.closed, 1));
  EXPECT_EQ(third.Connect(m_server.SocketPath()), 0u);
  EXPECT_EQ(m_log.opened, 2);
}

TEST_F(ControlSocketServer, AClientThatStopsReadingIsDroppedAtTheQueueBound) {
  ASSERT_TRUE(Start(4u << 20));
  CControlClient client;
  ASSERT_EQ(client.Connect(m_server.SocketPath()), 0u);
  ASSERT_TRUE(client.Send({'F'}));
  ASSERT_TRUE(WaitFor(m_log.closed, 1));
  EXPECT_TRUE(client.SeesClose(std::chrono::seconds(10)));
  // The server's thread finishes dropping the client after its session closed.
  testsupport::WaitUntil([&]() -> bool { return !m_server.HasClient(); });
  EXPECT_FALSE(m_server.HasClient());
}

TEST_F(ControlSocketServer, RemovesAStaleSocketFileAndRefusesWhileAnotherServerAnswers) {
  // A socket file whose server died.
  int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = (m_folder.Path() / kControlSocketName).string();
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  close(stale);
  ASSERT_TRUE(Start());

  CControlSocketServer second;
  SControlSocketOptions options;
  options.folder = m_folder.Path();
  std::string error;
  EXPECT_FALSE(second.Start(options, [](auto, const SPeerCredentials&, uint32_t*) { return std::unique_ptr<IControlSession>(); }, error));
  EXPECT_NE(error.find("another"), std::string::npos) << error;
  // The first server's file is still there and answers.
  CControlClient client;
  EXPECT_EQ(client.Connect(m_server.SocketPath()), 0u);
}

TEST_F(ControlSocketServer, RefusesAPathThatIsNotASocket) {
  testsupport::WriteBytes(m_folder.Path() / kControlSocketName, "x");
  SControlSocketOptions options;
  options.folder = m_folder.Path();
  std::string error;
  EXPECT_FALSE(m_server.Start(options, [](auto, const SPeerCredentials&, uint32_t*) { return std::unique_ptr<IControlSession>(); }, error));
  EXPECT_EQ(testsupport::ReadBytes(m_folder.Path() / kControlSocketName), "x");  // left alone
}

TEST_F(ControlSocketServer, StopClosesTheClientAndRemovesTheFile) {
  ASSERT_TRUE(Start());
  CControlClient client;
  ASSERT_EQ(client.Connect(m_server.SocketPath()), 0u);
  ASSERT_TRUE(WaitFor(m_log.opened, 1));
  m_server.Stop();
  EXPECT_EQ(m_log.closed, 1);
  EXPECT_TRUE(client.SeesClose());
  EXPECT_FALSE(std::filesystem::exists(m_folder.Path() / kControlSocketName));
}

TEST_F(ControlSocketServer, AFactoryThatRefusesSendsItsStatus) {
  SControlSocketOptions options;
  options.folder = m_folder.Path();
  std::string error;
  ASSERT_TRUE(m_server.Start(
      options,
      [](auto, const SPeerCredentials&, uint32_t* status) {
        *status = 2;
        return std::unique_ptr<IControlSession>();
      },
      error));
  CControlClient client;
  EXPECT_EQ(client.Connect(m_server.SocketPath()), 2u);
  EXPECT_TRUE(client.SeesClose());
}

TEST_F(ControlSocketServer, ASymlinkSwappedInTheFolderAfterTheBindChangesNothing) {
  namespace fs = std::filesystem;
  fs::path folder = m_folder.Path(), victim = folder / "victim", socketPath = folder / kControlSocketName;
  testsupport::WriteBytes(victim, "x");
  ASSERT_EQ(chmod(victim.c_str(), 0644), 0);
  ASSERT_EQ(chown(victim.c_str(), 65534, 65534), 0);
  SControlSocketOptions options;
  options.folder = folder;
  options.groupName = "palvex-no-such-group";
  int swaps = 0;
  options.afterBindForTesting = [&] {
    // What another user with write access to the folder can do.
    std::error_code ignored;
    if (fs::exists(fs::symlink_status(socketPath))) fs::rename(socketPath, folder / "moved", ignored);
    if (symlink(victim.c_str(), socketPath.c_str()) == 0) ++swaps;
  };
  std::string error;
  ASSERT_TRUE(m_server.Start(
      options, [](auto, const SPeerCredentials&, uint32_t*) { return std::unique_ptr<IControlSession>(); }, error))
      << error;
  EXPECT_EQ(swaps, 1);
  struct stat info;
  ASSERT_EQ(stat(victim.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(info.st_uid, 65534u);
  EXPECT_EQ(info.st_gid, 65534u);
  ASSERT_EQ(lstat(socketPath.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_uid, 0u);
  // Nothing of the private folder stays behind.
  for (const auto& entry : fs::directory_iterator(folder))
    EXPECT_TRUE(entry.path() == victim || entry.path() == socketPath || entry.path() == folder / "moved")
        << entry.path();
}

}  // namespace
