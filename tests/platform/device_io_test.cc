// The program's handle on the control device, against the driver's own code
// served on a real Unix socket.
#include "Quorvane/platform/device_io.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "tests/support/driver_fixture.h"
#include "tests/support/sim_driver_listener.h"
#include "tests/support/temp_folder.h"

namespace {

using platform::CControlDevice;
using platform::SDeviceIoResult;

struct SCall {
  SDeviceIoResult result;
  std::vector<uint8_t> output;
};

SCall Call(CControlDevice& device, uint32_t code, const std::vector<uint8_t>& input = {}, uint32_t capacity = 0) {
  SCall call;
  call.output.assign(capacity, 0xEE);
  call.result = device.IoControl(code, input.data(), static_cast<uint32_t>(input.size()),
                                 capacity ? call.output.data() : nullptr, capacity);
  // A failure leaves the buffer as it was: the size hint is no byte count.
  if (call.result.error == 0) call.output.resize(std::min<size_t>(call.result.bytesReturned, capacity));
  return call;
}

// A socket file bound at path, not yet listening.
int BoundSocket(const std::filesystem::path& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

class DeviceIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
    m_socket = m_folder.Path() / "PalvexDrv";
    m_listener = std::make_unique<testsupport::CSimDriverListener>(m_socket);
    platform::SetControlDeviceSocket(m_socket);
  }

  void TearDown() override {
    m_device.reset();
    m_listener.reset();
    ksim::UnloadDriver();
    platform::SetControlDeviceSocket(platform::kDefaultControlSocket);
  }

  void OpenDevice() { ASSERT_EQ(CControlDevice::Open(platform::kPalvexDeviceName, m_device), 0u); }

  void StartEngine() {
    ASSERT_EQ(Call(*m_device, IOCTL_PALVEX_SET_CONFIG, drvtest::ConfigBytes()).result.error, 0u);
    ASSERT_EQ(Call(*m_device, IOCTL_PALVEX_START).result.error, 0u);
    SCall started = Call(*m_device, IOCTL_PALVEX_GET_EVENT, {}, drvtest::kReadCapacity);
    ASSERT_EQ(started.result.error, 0u);
    ASSERT_EQ(drvtest::ParseEvent(started.output).Text(), "Tavrin started.");
  }

  // A GetEvent on its own thread, returned once the driver is parking it.
  std::future<SCall> ParkedRead(uint32_t capacity = drvtest::kReadCapacity) {
    auto parking = std::make_shared<std::promise<void>>();
    ksim::BeforeNextForward([parking] { parking->set_value(); });
    auto read = std::async(std::launch::async,
                           [this, capacity] { return Call(*m_device, IOCTL_PALVEX_GET_EVENT, {}, capacity); });
    EXPECT_EQ(parking->get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "the read never reached the driver's queue";
    return read;
  }

  testsupport::TempFolder m_folder;
  std::filesystem::path m_socket;
  std::unique_ptr<testsupport::CSimDriverListener> m_listener;
  std::unique_ptr<CControlDevice> m_device;
};

TEST_F(DeviceIoTest, OpenReportsAMissingDeviceAndOneHeldByAnotherClient) {
  std::unique_ptr<CControlDevice> device;
  EXPECT_EQ(CControlDevice::Open(L"\\\\.\\OtherDrv", device), ERROR_FILE_NOT_FOUND);

  platform::SetControlDeviceSocket(m_folder.Path() / "missing");
  EXPECT_EQ(CControlDevice::Open(platform::kPalvexDeviceName, device), ERROR_FILE_NOT_FOUND);

  // A socket file that nobody listens on, as a host leaves it when it dies.
  std::filesystem::path stale = m_folder.Path() / "stale";
  close(BoundSocket(stale));
  platform::SetControlDeviceSocket(stale);
  EXPECT_EQ(CControlDevice::Open(platform::kPalvexDeviceName, device), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(device, nullptr);

  platform::SetControlDeviceSocket(m_socket);
  OpenDevice();
  EXPECT_EQ(CControlDevice::Open(platform::kPalvexDeviceName, device), ERROR_ACCESS_DENIED);
  EXPECT_EQ(device, nullptr);
  // The first client is not disturbed by the refused one.
  EXPECT_EQ(Call(*m_device, IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 4).result.error, 0u);
}

TEST_F(DeviceIoTest, AHostThatNeverAnswersTheOpenTimesOut) {
  std::filesystem::path silent = m_folder.Path() / "silent";
  int fd = BoundSocket(silent);
  ASSERT_EQ(listen(fd, 1), 0);
  platform::SetControlDeviceSocket(silent);
  std::unique_ptr<CControlDevice> device;
  EXPECT_EQ(CControlDevice::Open(platform::kPalvexDeviceName, device), platform::ERROR_SEM_TIMEOUT);
  close(fd);
}

TEST_F(DeviceIoTest, FailuresAtOnceAndAfterParkingAreTellApartWithTheDriversSizeHint) {
  OpenDevice();
  SCall version = Call(*m_device, IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 4);
  EXPECT_EQ(version.result.error, 0u);
  EXPECT_FALSE(version.result.pending);
  EXPECT_EQ(version.output, (std::vector<uint8_t>{118, 0, 0, 0}));

  SCall stop = Call(*m_device, IOCTL_PALVEX_STOP);
  EXPECT_EQ(stop.result.error, NtStatusToWin32Error(STATUS_SERVER_DISABLED));
  EXPECT_FALSE(stop.result.pending);

  StartEngine();
  // Too small a buffer while an event waits: at once, with the size needed.
  TvnLogEvent("sixteen bytes..", STATUS_SUCCESS, 0, false);
  SCall small = Call(*m_device, IOCTL_PALVEX_GET_EVENT, {}, kDriverEventHeaderSize);
  EXPECT_EQ(small.result.error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(small.result.pending);
  EXPECT_EQ(small.result.bytesReturned, kDriverEventHeaderSize + 16);
  SCall fits = Call(*m_device, IOCTL_PALVEX_GET_EVENT, {}, kDriverEventHeaderSize + 16);
  EXPECT_EQ(fits.result.error, 0u);
  EXPECT_EQ(drvtest::ParseEvent(fits.output).Text(), "sixteen bytes..");

  // The same after the read had waited for the event.
  auto read = ParkedRead(kDriverEventHeaderSize);
  TvnLogEvent("sixteen bytes..", STATUS_SUCCESS, 0, false);
  m_listener->Flush();
  SCall late = read.get();
  EXPECT_EQ(late.result.error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(late.result.pending);
  EXPECT_EQ(late.result.bytesReturned, kDriverEventHeaderSize + 16);
  EXPECT_EQ(late.output, std::vector<uint8_t>(kDriverEventHeaderSize, 0xEE));
}

TEST_F(DeviceIoTest, AParkedReadWaitsWhileOtherThreadsSendAndStopCompletesIt) {
  OpenDevice();
  StartEngine();
  auto read = ParkedRead();

  constexpr int kThreads = 4, kCalls = 25;
  std::vector<std::thread> senders;
  std::atomic<int> good{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        bool counters = (i + t) % 2 == 0;
        SCall call = counters ? Call(*m_device, IOCTL_PALVEX_GET_COUNTERS, {}, sizeof(DriverCounters))
                              : Call(*m_device, IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 4);
        bool right = call.result.error == 0 && !call.result.pending &&
                     call.output.size() == (counters ? sizeof(DriverCounters) : 4u) &&
                     (counters || call.output[0] == 118);
        good += right ? 1 : 0;
      }
    });
  }
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(good.load(), kThreads * kCalls) << "a reply reached the wrong caller";
  EXPECT_EQ(read.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  SCall stop = Call(*m_device, IOCTL_PALVEX_STOP);
  EXPECT_EQ(stop.result.error, 0u);
  ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  SCall stopped = read.get();
  EXPECT_EQ(stopped.result.error, 0u);
  EXPECT_TRUE(stopped.result.pending);
  EXPECT_EQ(drvtest::ParseEvent(stopped.output).Text(), "Tavrin stopped.");
}

TEST_F(DeviceIoTest, ClosingOrLosingTheDeviceEndsOutstandingRequests) {
  struct {
    const char* name;
    bool hostGoes;
    uint32_t outstanding, after;
  } cases[] = {
      // The host's going frees the device at once, so the second case can open it.
      {"host_went_away", true, platform::ERROR_DEVICE_NOT_CONNECTED, platform::ERROR_DEVICE_NOT_CONNECTED},
      {"closed_by_the_program", false, platform::ERROR_OPERATION_ABORTED, platform::ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!m_listener) m_listener = std::make_unique<testsupport::CSimDriverListener>(m_socket);
    OpenDevice();
    auto read = ParkedRead();
    if (c.hostGoes) {
      m_listener.reset();
    } else {
      m_device->Close();
    }
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    SCall ended = read.get();
    EXPECT_EQ(ended.result.error, c.outstanding);
    EXPECT_TRUE(ended.result.pending);
    SCall later = Call(*m_device, IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 4);
    EXPECT_EQ(later.result.error, c.after);
    EXPECT_FALSE(later.result.pending);
    m_device.reset();
  }
}

TEST_F(DeviceIoTest, AnInputTheHostWouldRefuseIsFailedHereAndTheConnectionLives) {
  OpenDevice();
  std::vector<uint8_t> huge(kMaxRequestInput + 1, 0);
  SCall refused = Call(*m_device, IOCTL_PALVEX_INJECT_UDP, huge);
  EXPECT_EQ(refused.result.error, platform::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(refused.result.pending);

  // A buffer larger than any event is offered as the largest event.
  StartEngine();
  TvnLogEvent("sixteen bytes..", STATUS_SUCCESS, 0, false);
  SCall event = Call(*m_device, IOCTL_PALVEX_GET_EVENT, {}, 2 * kMaxRequestOutput);
  EXPECT_EQ(event.result.error, 0u);
  EXPECT_EQ(drvtest::ParseEvent(event.output).Text(), "sixteen bytes..");
}

// A host that answers the first request with reply (tag filled in), then
// waits for the client to go.
void ServeOneBadReply(int listener, SControlReply reply) {
  timeval bound{5, 0};  // a client that never comes must not hang the test
  setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  int fd = accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  std::vector<uint8_t> bytes = EncodeOpenReply(0);
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  CControlFrameReader reader;
  SControlRequest request;
  uint8_t buffer[4096];
  while (reader.NextRequest(request) != EFrameStatus::Frame) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    reader.Append(buffer, static_cast<size_t>(got));
  }
  reply.tag = request.tag;
  bytes.clear();
  EncodeReply(reply, bytes);
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  while (recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
  close(fd);
}

TEST_F(DeviceIoTest, AReplyOutsideTheProtocolEndsTheConnectionAndTouchesNoBuffer) {
  struct {
    const char* name;
    SControlReply reply;
  } cases[] = {
      {"more_output_than_offered", {0, STATUS_SUCCESS, 8, false, std::vector<uint8_t>(8, 0x11)}},
      {"output_and_count_differ", {0, STATUS_SUCCESS, 2, false, std::vector<uint8_t>(4, 0x11)}},
      {"output_with_an_error", {0, STATUS_UNSUCCESSFUL, 0, false, std::vector<uint8_t>(4, 0x11)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::path path = m_folder.Path() / c.name;
    int listener = BoundSocket(path);
    ASSERT_EQ(listen(listener, 1), 0);
    platform::SetControlDeviceSocket(path);
    std::thread host(ServeOneBadReply, listener, c.reply);
    std::unique_ptr<CControlDevice> device;
    EXPECT_EQ(CControlDevice::Open(platform::kPalvexDeviceName, device), 0u);
    if (device) {
      std::vector<uint8_t> buffer(8, 0xEE);
      SDeviceIoResult result = device->IoControl(IOCTL_PALVEX_GET_DRIVER_VERSION, nullptr, 0, buffer.data(), 4);
      EXPECT_EQ(result.error, platform::ERROR_DEVICE_NOT_CONNECTED);
      EXPECT_EQ(buffer, std::vector<uint8_t>(8, 0xEE));
      device.reset();
    }
    host.join();
    close(listener);
  }
}

}  // namespace
