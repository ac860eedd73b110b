#include "PalvexDrv/device.h"

#include <gtest/gtest.h>

#include "PalvexDrv/kernel/kernel_sim.h"
#include "tests/support/driver_fixture.h"

namespace drvtest {
namespace {

TEST(DriverLoad, CreatesOneExclusiveControlDevice) {
  ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
  ksim::SDeviceInfo info = ksim::DeviceInfo();
  EXPECT_TRUE(info.driverNonPnp);
  EXPECT_TRUE(info.hasUnload);
  EXPECT_TRUE(info.hasCleanup);
  EXPECT_TRUE(info.initialized);
  EXPECT_TRUE(info.exclusive);
  EXPECT_EQ(info.deviceType, 0x12u);
  EXPECT_EQ(info.name, u"\\Device\\PalvexDrv");
  EXPECT_EQ(info.symbolicLink, u"\\DosDevices\\Global\\PalvexDrv");
  EXPECT_EQ(info.controlInitSddl, u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
  EXPECT_EQ(info.sddl, u"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)");
  EXPECT_TRUE(info.hasFileClose);
  EXPECT_TRUE(info.defaultQueueSequential);
  EXPECT_TRUE(info.defaultQueuePowerManaged);
  EXPECT_TRUE(info.manualQueueNotPowerManaged);
  EXPECT_TRUE(ksim::TraceRunning());

  ksim::CClient first, second;
  EXPECT_EQ(first.Open(), 0u);
  EXPECT_EQ(second.Open(), ERROR_ACCESS_DENIED);
  first.Close();
  EXPECT_EQ(second.Open(), 0u);
  ksim::UnloadDriver();
  EXPECT_FALSE(second.IsOpen());
  EXPECT_FALSE(ksim::TraceRunning());
  ksim::CClient late;
  EXPECT_EQ(late.Open(), ERROR_FILE_NOT_FOUND);
}

struct LoadFailure {
  const char* name;
  const char* function;
  unsigned nth;
  NTSTATUS status;
  NTSTATUS want;
};

void PrintTo(const LoadFailure& c, std::ostream* os) { *os << c.name; }


class DriverLoadFailure : public ::testing::TestWithParam<LoadFailure> {};

TEST_P(DriverLoadFailure, LeavesNoDeviceAndNothingBehind) {
  ksim::FailNthCall(GetParam().function, GetParam().nth, GetParam().status);
  EXPECT_EQ(ksim::LoadDriver(DriverEntry), GetParam().want);
  EXPECT_EQ(ksim::CancelFailures(), 0u) << "the step was never reached";
  EXPECT_FALSE(ksim::DriverLoaded());
  EXPECT_EQ(ksim::LiveDeviceInits(), 0);
  EXPECT_FALSE(ksim::TraceRunning());
  EXPECT_EQ(ksim::LivePoolBlocks(), 0u);
  ksim::CClient client;
  EXPECT_EQ(client.Open(), ERROR_FILE_NOT_FOUND);
  // The next load is clean.
  ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
  ksim::UnloadDriver();
}

INSTANTIATE_TEST_SUITE_P(EachStep, DriverLoadFailure, ::testing::Values(
    LoadFailure{"driver_create", "WdfDriverCreate", 1, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
    LoadFailure{"no_device_init", "WdfControlDeviceInitAllocate", 1, STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES},
    LoadFailure{"name", "WdfDeviceInitAssignName", 1, STATUS_NO_MEMORY, STATUS_NO_MEMORY},
    LoadFailure{"sddl", "WdfDeviceInitAssignSDDL", 1, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    LoadFailure{"device_create", "WdfDeviceCreate", 1, STATUS_NO_MEMORY, STATUS_NO_MEMORY},
    LoadFailure{"symbolic_link", "WdfDeviceCreateSymbolicLink", 1, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
    LoadFailure{"default_queue", "WdfIoQueueCreate", 1, STATUS_NO_MEMORY, STATUS_NO_MEMORY},
    LoadFailure{"read_queue", "WdfIoQueueCreate", 2, STATUS_NO_MEMORY, STATUS_NO_MEMORY}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, UnloadFreesEveryEventAndTheConfiguration) {
  ConfigureAndStart();
  AppendEvent(EventUdpDatagram, 100);
  TvnLogEvent("pending", STATUS_SUCCESS, 0, false);
  EXPECT_GT(ksim::LivePoolBlocks(), 0u);
  // TearDown unloads with the handle open and checks that nothing is left.
}

}  // namespace
}  // namespace drvtest
