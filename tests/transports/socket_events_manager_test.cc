#include "Quorvane/transports/socket_events_manager.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "Quorvane/platform/system_errors.h"

namespace {

using Manager = CSocketEventsManager;

// Short, so that the time-out case takes no real second.
constexpr uint32_t kTestWaitMs = 20;
constexpr int kBoundedWaits = 250;  // 5 s at most

class CTestProcessor : public Manager::CSocketEventProcessor {
 public:
  const std::type_info& GetType() const override { return typeid(CTestProcessor); }
  void ProcessEvent(const Manager::SCompletionEvent& event, int, uint64_t key, Manager&,
                    const std::shared_ptr<Manager::CSocketEventProcessor>&) override {
    ++events;
    lastKey = key;
    lastFailed = event.failed;
  }
  bool IsTimedOut(int64_t) override { return timedOut; }
  void OnError(const std::wstring&) override {}
  ~CTestProcessor() override {
    if (onDestroy) onDestroy();
  }

  std::atomic<int> events{0};
  uint64_t lastKey = 0;
  bool lastFailed = false;
  bool timedOut = false;
  std::function<void()> onDestroy;
};

sockaddr_in BoundAddress(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return address;
}

// A UDP socket on 127.0.0.1 with a port of its own.
std::shared_ptr<CSafeSocket> BoundUdp() {
  auto socket = CSafeSocket::Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(socket->Handle(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  return socket;
}

void SendTo(const std::shared_ptr<CSafeSocket>& target, const std::string& data) {
  int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = BoundAddress(target->Handle());
  EXPECT_EQ(sendto(sender, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof(address)),
            static_cast<ssize_t>(data.size()));
  close(sender);
}

class SocketEventsManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_manager.SetPort(m_port)); }
  Manager::WaitResult Wait() { return m_manager.WaitForEvent(m_key, m_entry, m_event); }

  std::shared_ptr<platform::CompletionPort> m_port = platform::CompletionPort::Create();
  Manager m_manager{kTestWaitMs};
  uint64_t m_key = 0;
  Manager::SSocketEntry m_entry;
  Manager::SCompletionEvent m_event;
};

TEST(SocketEventsManager, RegistrationWithoutPortFailsAndLeavesTheKey) {
  Manager manager(kTestWaitMs);
  uint64_t key = 77;
  EXPECT_FALSE(manager.AddSocketToQueueWithReadEvents(std::make_shared<CTestProcessor>(), key, BoundUdp()));
  EXPECT_EQ(key, 77u);
  EXPECT_EQ(manager.GetPort(), nullptr);
}

TEST_F(SocketEventsManagerTest, KeysStartAtOneAndCountFailedAssociations) {
  uint64_t key = 0;
  EXPECT_TRUE(m_manager.AddSocketToQueueWithReadEvents(std::make_shared<CTestProcessor>(), key, BoundUdp()));
  EXPECT_EQ(key, 1u);
  EXPECT_FALSE(m_manager.AddSocketToQueueWithReadEvents(std::make_shared<CTestProcessor>(), key, nullptr));
  EXPECT_EQ(key, 2u);
  EXPECT_TRUE(m_manager.AddSocketToQueueWithReadEvents(std::make_shared<CTestProcessor>(), key, BoundUdp()));
  EXPECT_EQ(key, 3u);
  EXPECT_FALSE(m_manager.SetPort(platform::CompletionPort::Create()));  // never replaced
}

TEST_F(SocketEventsManagerTest, WaitResultsWithoutARegisteredSocket) {
  EXPECT_EQ(Wait(), Manager::WaitTimeout);
  EXPECT_EQ(m_event.error, platform::WAIT_TIMEOUT);

  m_port->Post(0, 0, nullptr);
  EXPECT_EQ(Wait(), Manager::WaitWakeUp);
  EXPECT_EQ(m_entry.processor, nullptr);

  m_port->Post(1, 12345, nullptr);
  EXPECT_EQ(Wait(), Manager::WaitUnregisteredKey);
  EXPECT_EQ(m_key, 12345u);
}

TEST_F(SocketEventsManagerTest, CompletionRacingAheadOfTheWaitFindsItsStagedEntry) {
  auto processor = std::make_shared<CTestProcessor>();
  auto socket = BoundUdp();
  uint64_t key = 0;
  ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(processor, key, socket));
  SendTo(socket, "now");
  uint8_t buffer[16];
  platform::Overlapped ov;
  // Loopback delivers before sendto returns: the receive finishes at once.
  ASSERT_EQ(m_port->Recv(socket->Handle(), buffer, sizeof(buffer), &ov), 0u);
  Manager::WaitResult result = Wait();
  ASSERT_EQ(result, Manager::WaitEvent);
  EXPECT_EQ(m_key, key);
  EXPECT_EQ(m_entry.processor, processor);
  EXPECT_EQ(m_entry.socket, socket);
  EXPECT_FALSE(m_event.failed);
  EXPECT_EQ(m_event.overlapped, &ov);
  EXPECT_EQ(m_event.bytes, 3u);
}

TEST_F(SocketEventsManagerTest, FailedReceiveReachesItsProcessorAsFailed) {
  auto socket = CSafeSocket::Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  auto closed = BoundUdp();
  sockaddr_in address = BoundAddress(closed->Handle());
  closed.reset();  // nothing listens on that port now
  ASSERT_EQ(connect(socket->Handle(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  uint64_t key = 0;
  ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(std::make_shared<CTestProcessor>(), key, socket));
  uint8_t buffer[16];
  platform::Overlapped ov;
  m_port->Recv(socket->Handle(), buffer, sizeof(buffer), &ov);
  ASSERT_EQ(send(socket->Handle(), "q", 1, 0), 1);
  Manager::WaitResult result = Wait();
  for (int i = 0; i < kBoundedWaits && result == Manager::WaitTimeout; ++i) result = Wait();
  ASSERT_EQ(result, Manager::WaitEvent);
  EXPECT_TRUE(m_event.failed);
  EXPECT_EQ(m_event.overlapped, &ov);
  EXPECT_EQ(m_event.error, platform::ERROR_PORT_UNREACHABLE);
}

TEST_F(SocketEventsManagerTest, RemoveSocketFindsStagedAndActiveEntries) {
  auto staged = std::make_shared<CTestProcessor>();
  uint64_t stagedKey = 0;
  ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(staged, stagedKey, BoundUdp()));
  EXPECT_EQ(m_manager.RemoveSocket(stagedKey), staged);
  EXPECT_EQ(m_manager.RemoveSocket(stagedKey), nullptr);

  auto active = std::make_shared<CTestProcessor>();
  uint64_t activeKey = 0;
  ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(active, activeKey, BoundUdp()));
  m_port->Post(1, 999, nullptr);
  EXPECT_EQ(Wait(), Manager::WaitUnregisteredKey);  // the wait moved the entry in
  EXPECT_EQ(m_manager.RemoveSocket(activeKey), active);
  EXPECT_EQ(m_manager.RemoveSocket(12345), nullptr);

  m_port->Post(1, activeKey, nullptr);
  EXPECT_EQ(Wait(), Manager::WaitUnregisteredKey);
}

TEST_F(SocketEventsManagerTest, ExpiryLooksOnlyAtActiveEntries) {
  auto idle = std::make_shared<CTestProcessor>();
  idle->timedOut = true;
  auto busy = std::make_shared<CTestProcessor>();
  uint64_t idleKey = 0, busyKey = 0;
  ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(idle, idleKey, BoundUdp()));
  ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(busy, busyKey, BoundUdp()));
  m_manager.RemoveTimedOutProcessors(0);  // both still staged
  m_port->Post(1, 999, nullptr);
  Wait();
  m_manager.RemoveTimedOutProcessors(0);
  EXPECT_EQ(m_manager.RemoveSocket(idleKey), nullptr);
  EXPECT_EQ(m_manager.RemoveSocket(busyKey), busy);
}

TEST_F(SocketEventsManagerTest, RemovedSocketsPendingReceiveIsPurged) {
  auto socket = BoundUdp();
  uint64_t key = 0;
  ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(std::make_shared<CTestProcessor>(), key, socket));
  auto buffer = std::make_unique<uint8_t[]>(16);
  platform::Overlapped ov;
  EXPECT_EQ(m_port->Recv(socket->Handle(), buffer.get(), 16, &ov), platform::WSA_IO_PENDING);
  m_manager.RemoveSocket(key);
  buffer.reset();
  SendTo(socket, "late");
  EXPECT_EQ(Wait(), Manager::WaitTimeout);
}

// A processor's destructor may reach back into the manager; entries are
// destroyed after the maps are released, on the worker and elsewhere.
TEST_F(SocketEventsManagerTest, RemovedEntriesAreDestroyedOutsideTheLock) {
  for (bool onWorker : {true, false}) {
    SCOPED_TRACE(onWorker ? "worker" : "other thread");
    auto other = std::make_shared<CTestProcessor>();
    uint64_t otherKey = 0, key = 0;
    ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(other, otherKey, BoundUdp()));
    auto processor = std::make_shared<CTestProcessor>();
    std::shared_ptr<Manager::CSocketEventProcessor> removedByDestructor;
    processor->onDestroy = [&] { removedByDestructor = m_manager.RemoveSocket(otherKey); };
    ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(processor, key, BoundUdp()));
    m_port->Post(1, 999, nullptr);
    Wait();
    processor.reset();
    if (onWorker) {
      m_manager.RemoveSocket(key);
    } else {
      std::thread([&] { m_manager.RemoveSocket(key); }).join();
    }
    EXPECT_EQ(removedByDestructor, other);
  }
}

// Registrations and removals from dispatching threads while the worker
// dispatches completions (run under ThreadSanitizer too).
TEST_F(SocketEventsManagerTest, RegistrationsAndRemovalsFromOtherThreads) {
  constexpr int kThreads = 3, kEach = 60;
  std::atomic<bool> stop{false};
  std::atomic<int> dispatched{0};
  std::thread worker([&] {
    uint64_t key;
    Manager::SSocketEntry entry;
    Manager::SCompletionEvent event;
    while (!stop) {
      if (m_manager.WaitForEvent(key, entry, event) == Manager::WaitEvent) {
        entry.processor->ProcessEvent(event, entry.socket->Handle(), key, m_manager, entry.processor);
        ++dispatched;
        if (key % 2 == 0) m_manager.RemoveSocket(key);
      }
      m_manager.RemoveTimedOutProcessors(0);
      entry = {};
    }
  });
  std::vector<std::thread> dispatchers;
  for (int t = 0; t < kThreads; ++t) {
    dispatchers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        auto processor = std::make_shared<CTestProcessor>();
        processor->timedOut = i % 5 == 0;
        uint64_t key = 0;
        ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(processor, key, BoundUdp()));
        m_port->Post(1, key, nullptr);
        if (i % 3 == 0) m_manager.RemoveSocket(key);
      }
    });
  }
  for (auto& d : dispatchers) d.join();
  // A last registration whose event tells that the worker has caught up.
  auto last = std::make_shared<CTestProcessor>();
  uint64_t lastKey = 0;
  ASSERT_TRUE(m_manager.AddSocketToQueueWithReadEvents(last, lastKey, BoundUdp()));
  m_port->Post(1, lastKey, nullptr);
  for (int i = 0; i < kBoundedWaits && last->events.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kTestWaitMs));
  }
  stop = true;
  m_port->Post(0, 0, nullptr);
  worker.join();
  EXPECT_EQ(last->events.load(), 1);
  EXPECT_GT(dispatched.load(), 1);
}

}  // namespace
