#include "PalvexDrv/device_control.h"

#include <gtest/gtest.h>

#include "PalvexDrv/driver_config.h"
#include "PalvexDrv/pool_tags.h"
#include "tests/support/driver_fixture.h"

namespace drvtest {
namespace {

enum class EState { Loaded, Configured, Started };

std::vector<uint8_t> RedirectBytes(uint32_t length, uint32_t headerSize) {
  std::vector<uint8_t> bytes(length, 0);
  for (int i = 0; i < 4 && i < static_cast<int>(length); ++i) bytes[i] = static_cast<uint8_t>(headerSize >> (8 * i));
  return bytes;
}

std::vector<uint8_t> InjectTcpBytes(uint32_t dataBytes, uint32_t headerSize, uint32_t dataLength) {
  InjectTcpHeader header{headerSize, dataLength, {}};
  std::vector<uint8_t> bytes = Bytes(header);
  bytes.resize(bytes.size() + dataBytes, 1);
  return bytes;
}

struct RequestCase {
  const char* name;
  EState state;
  uint32_t code;
  std::function<std::vector<uint8_t>()> input;
  uint32_t outputCapacity;
  NTSTATUS status;
  uint64_t information;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }


class RequestStatus : public DriverTest, public ::testing::WithParamInterface<RequestCase> {};

// Each request's failures in the order they are tested, then its result;
// where two faults meet, the earlier check wins.
TEST_P(RequestStatus, CompletesWithTheStatusOfTheFirstFailedCheck) {
  const RequestCase& c = GetParam();
  if (c.state != EState::Loaded) Configure();
  if (c.state == EState::Started) {
    ASSERT_EQ(Call(IOCTL_PALVEX_START).status, STATUS_SUCCESS);
  }
  Drain();

  ksim::SCompletion completion = Call(c.code, c.input ? c.input() : std::vector<uint8_t>{}, c.outputCapacity);
  EXPECT_EQ(static_cast<uint32_t>(completion.status), static_cast<uint32_t>(c.status));
  EXPECT_EQ(completion.information, c.information);
  EXPECT_FALSE(completion.parked);

  // Every failure but "buffer too small" and "not started" is also reported.
  bool reported = !NT_SUCCESS(c.status) && c.status != STATUS_BUFFER_TOO_SMALL && c.status != STATUS_SERVER_DISABLED;
  std::vector<SEvent> events = Drain();
  int found = 0;
  for (const SEvent& event : events) {
    if (event.header.eventType != EventLog || event.Text() != "348:Error at TvnEvtIoDeviceControl") continue;
    ++found;
    EXPECT_EQ(event.header.typeBlock.log.status, static_cast<uint32_t>(c.status));
    EXPECT_EQ(event.header.typeBlock.log.value, c.code);
    EXPECT_EQ(event.header.typeBlock.log.isInformation, 0u);
  }
  EXPECT_EQ(found, reported ? 1 : 0);
}

const uint32_t kConfigSize = sizeof(DriverConfig);

INSTANTIATE_TEST_SUITE_P(AllRequests, RequestStatus, ::testing::Values(
    RequestCase{"start_before_any_config", EState::Loaded, IOCTL_PALVEX_START, {}, 0, STATUS_DEVICE_CONFIGURATION_ERROR, 0},
    RequestCase{"start_twice", EState::Started, IOCTL_PALVEX_START, {}, 0, STATUS_ALREADY_REGISTERED, 0},
    RequestCase{"start", EState::Configured, IOCTL_PALVEX_START, {}, 0, STATUS_SUCCESS, 0},
    RequestCase{"stop_while_stopped", EState::Configured, IOCTL_PALVEX_STOP, {}, 0, STATUS_SERVER_DISABLED, 0},
    RequestCase{"stop", EState::Started, IOCTL_PALVEX_STOP, {}, 0, STATUS_SUCCESS, 0},
    RequestCase{"version_into_3_bytes", EState::Loaded, IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 3, STATUS_BUFFER_TOO_SMALL, 0},
    RequestCase{"version_into_nothing", EState::Loaded, IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 0, STATUS_BUFFER_TOO_SMALL, 0},
    RequestCase{"version", EState::Loaded, IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 8, STATUS_SUCCESS, 4},
    RequestCase{"config_one_byte_short", EState::Loaded, IOCTL_PALVEX_SET_CONFIG,
                [] { auto b = ConfigBytes([](DriverConfig& c) { c.size = 1; }); b.pop_back(); return b; }, 0,
                STATUS_INVALID_BUFFER_SIZE, 0},
    RequestCase{"config_one_byte_long", EState::Loaded, IOCTL_PALVEX_SET_CONFIG,
                [] { auto b = ConfigBytes(); b.push_back(0); return b; }, 0, STATUS_INVALID_BUFFER_SIZE, 0},
    RequestCase{"config_none", EState::Loaded, IOCTL_PALVEX_SET_CONFIG, {}, 0, STATUS_INVALID_BUFFER_SIZE, 0},
    RequestCase{"config_size_field_before_insert_length", EState::Loaded, IOCTL_PALVEX_SET_CONFIG,
                [] { return ConfigBytes([](DriverConfig& c) { c.size = kConfigSize - 1; c.insertLength = 1001; }); }, 0,
                STATUS_INVALID_PARAMETER_1, 0},
    RequestCase{"config_insert_length_1001_before_guard", EState::Loaded, IOCTL_PALVEX_SET_CONFIG,
                [] { return ConfigBytes([](DriverConfig& c) { c.insertLength = 1001; c.hostMasks[kHostMasksSize - 1] = 'x'; }); }, 0,
                STATUS_INVALID_PARAMETER_2, 0},
    RequestCase{"config_guard_byte_c380", EState::Started, IOCTL_PALVEX_SET_CONFIG,
                [] { return ConfigBytes([](DriverConfig& c) { c.hostMasks[kHostMasksSize - 1] = 'x'; }); }, 0,
                STATUS_INVALID_PARAMETER_3, 0},
    RequestCase{"config_guard_byte_c37f", EState::Loaded, IOCTL_PALVEX_SET_CONFIG,
                [] { return ConfigBytes([](DriverConfig& c) { c.hostMasks[kHostMasksSize - 2] = 'x'; }); }, 0,
                STATUS_INVALID_PARAMETER_3, 0},
    RequestCase{"config_insert_length_1000", EState::Started, IOCTL_PALVEX_SET_CONFIG,
                [] { return ConfigBytes([](DriverConfig& c) { c.insertLength = 1000; }); }, 0, STATUS_SUCCESS, 0},
    RequestCase{"inject_udp_not_started_before_length", EState::Configured, IOCTL_PALVEX_INJECT_UDP,
                [] { return std::vector<uint8_t>(10); }, 0, STATUS_SERVER_DISABLED, 0},
    RequestCase{"inject_udp_55_bytes", EState::Started, IOCTL_PALVEX_INJECT_UDP,
                [] { return std::vector<uint8_t>(55); }, 0, STATUS_INVALID_BUFFER_SIZE, 0},
    RequestCase{"inject_udp_header_size_before_packet_length", EState::Started, IOCTL_PALVEX_INJECT_UDP,
                [] { return InjectUdpBytes(20, [](InjectUdpHeader& h) { h.headerSize = 57; h.packetLength = 3; }); }, 0,
                STATUS_INVALID_PARAMETER_1, 0},
    RequestCase{"inject_udp_packet_length_one_short", EState::Started, IOCTL_PALVEX_INJECT_UDP,
                [] { return InjectUdpBytes(40, [](InjectUdpHeader& h) { h.packetLength = 39; }); }, 0,
                STATUS_INVALID_PARAMETER_2, 0},
    RequestCase{"inject_udp", EState::Started, IOCTL_PALVEX_INJECT_UDP, [] { return InjectUdpBytes(40); }, 0,
                STATUS_SUCCESS, 0},
    RequestCase{"inject_udp_header_only", EState::Started, IOCTL_PALVEX_INJECT_UDP, [] { return InjectUdpBytes(0); }, 0,
                STATUS_INVALID_PARAMETER_2, 0},
    RequestCase{"inject_udp_shorter_than_its_headers", EState::Started, IOCTL_PALVEX_INJECT_UDP,
                [] { return InjectUdpBytes(27); }, 0, STATUS_INVALID_PARAMETER_2, 0},
    RequestCase{"inject_udp_ihl_past_the_packet", EState::Started, IOCTL_PALVEX_INJECT_UDP,
                [] { auto b = InjectUdpBytes(40); b[kInjectUdpHeaderSize] = 0x4F; return b; }, 0,
                STATUS_INVALID_PARAMETER_2, 0},
    RequestCase{"inject_udp_ihl_below_20_bytes", EState::Started, IOCTL_PALVEX_INJECT_UDP,
                [] { auto b = InjectUdpBytes(40); b[kInjectUdpHeaderSize] = 0x44; return b; }, 0,
                STATUS_INVALID_PARAMETER_2, 0},
    RequestCase{"inject_udp_family_10", EState::Started, IOCTL_PALVEX_INJECT_UDP,
                [] { return InjectUdpBytes(40, [](InjectUdpHeader& h) { h.addressFamily = 10; }); }, 0,
                STATUS_INVALID_PARAMETER_2, 0},
    RequestCase{"inject_udp_ipv4_packet_as_ipv6", EState::Started, IOCTL_PALVEX_INJECT_UDP,
                [] { return InjectUdpBytes(60, [](InjectUdpHeader& h) { h.addressFamily = kRecordFamilyInet6; }); },
                0, STATUS_INVALID_PARAMETER_2, 0},
    RequestCase{"redirect_not_started", EState::Configured, IOCTL_PALVEX_COMPLETE_REDIRECT,
                [] { return RedirectBytes(304, 304); }, 0, STATUS_SERVER_DISABLED, 0},
    RequestCase{"redirect_303_bytes", EState::Started, IOCTL_PALVEX_COMPLETE_REDIRECT,
                [] { return RedirectBytes(303, 304); }, 0, STATUS_INVALID_BUFFER_SIZE, 0},
    RequestCase{"redirect_305_bytes", EState::Started, IOCTL_PALVEX_COMPLETE_REDIRECT,
                [] { return RedirectBytes(305, 304); }, 0, STATUS_INVALID_BUFFER_SIZE, 0},
    RequestCase{"redirect_header_size", EState::Started, IOCTL_PALVEX_COMPLETE_REDIRECT,
                [] { return RedirectBytes(304, 303); }, 0, STATUS_INVALID_PARAMETER_1, 0},
    RequestCase{"redirect_finds_no_pending_connect", EState::Started, IOCTL_PALVEX_COMPLETE_REDIRECT,
                [] { return RedirectBytes(304, 304); }, 0, STATUS_NO_SUCH_ALIAS, 0},
    RequestCase{"counters_into_11_bytes", EState::Loaded, IOCTL_PALVEX_GET_COUNTERS, {}, 11, STATUS_BUFFER_TOO_SMALL, 0},
    RequestCase{"counters", EState::Loaded, IOCTL_PALVEX_GET_COUNTERS, {}, 12, STATUS_SUCCESS, 12},
    RequestCase{"inject_tcp_not_started", EState::Configured, IOCTL_PALVEX_INJECT_TCP,
                [] { return InjectTcpBytes(0, 32, 0); }, 0, STATUS_SERVER_DISABLED, 0},
    RequestCase{"inject_tcp_31_bytes", EState::Started, IOCTL_PALVEX_INJECT_TCP,
                [] { return std::vector<uint8_t>(31); }, 0, STATUS_INVALID_BUFFER_SIZE, 0},
    RequestCase{"inject_tcp_header_size_before_data_length", EState::Started, IOCTL_PALVEX_INJECT_TCP,
                [] { return InjectTcpBytes(5, 33, 4); }, 0, STATUS_INVALID_PARAMETER_1, 0},
    RequestCase{"inject_tcp_data_length", EState::Started, IOCTL_PALVEX_INJECT_TCP,
                [] { return InjectTcpBytes(5, 32, 6); }, 0, STATUS_INVALID_PARAMETER_2, 0},
    RequestCase{"inject_tcp_is_not_implemented", EState::Started, IOCTL_PALVEX_INJECT_TCP,
                [] { return InjectTcpBytes(5, 32, 5); }, 0, STATUS_NOT_IMPLEMENTED, 0},
    RequestCase{"unknown_code", EState::Started, 0x120028, {}, 0, STATUS_INVALID_PARAMETER, 0},
    RequestCase{"code_zero", EState::Loaded, 0, {}, 0, STATUS_INVALID_PARAMETER, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, VersionAndCountersWriteTheirRecords) {
  ksim::SCompletion version = Call(IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 4);
  ASSERT_EQ(version.output.size(), 4u);
  EXPECT_EQ(version.output, (std::vector<uint8_t>{118, 0, 0, 0}));
  ksim::SCompletion counters = Call(IOCTL_PALVEX_GET_COUNTERS, {}, 64);
  ASSERT_EQ(counters.output.size(), sizeof(DriverCounters));
  DriverCounters record;
  std::memcpy(&record, counters.output.data(), sizeof record);
  EXPECT_EQ(record.size, 12u);
  EXPECT_EQ(record.flowCount, 0u);
  EXPECT_EQ(record.pendingConnectCount, 0u);
}

TEST_F(DriverTest, AFailedSetConfigLeavesThePreviousConfigurationInForce) {
  EXPECT_EQ(TvnAcquireConfig()->size, 0u);  // all zero at load
  ASSERT_EQ(Call(IOCTL_PALVEX_SET_CONFIG, ConfigBytes([](DriverConfig& c) { c.blockTcpPort53 = 1; })).status,
            STATUS_SUCCESS);
  EXPECT_EQ(Call(IOCTL_PALVEX_SET_CONFIG, ConfigBytes([](DriverConfig& c) { c.insertLength = 1001; c.serviceProcessId = 7; })).status,
            STATUS_INVALID_PARAMETER_2);
  ksim::FailAllocation(kTvnTagConfig, 1);
  EXPECT_EQ(Call(IOCTL_PALVEX_SET_CONFIG, ConfigBytes([](DriverConfig& c) { c.serviceProcessId = 8; })).status,
            STATUS_NO_MEMORY);
  {
    CTvnConfigRef config = TvnAcquireConfig();
    EXPECT_EQ(config->serviceProcessId, 4242u);
    EXPECT_EQ(config->blockTcpPort53, 1u);
  }
  // While started a new configuration replaces the whole block, and a
  // reader keeps the block it took.
  ConfigureAndStart();
  CTvnConfigRef held = TvnAcquireConfig();
  ASSERT_EQ(Call(IOCTL_PALVEX_SET_CONFIG, ConfigBytes([](DriverConfig& c) { c.interceptOthers = 1; })).status,
            STATUS_SUCCESS);
  EXPECT_EQ(held->interceptOthers, 0u);
  EXPECT_EQ(held->blockTcpPort53, 0u);
  EXPECT_EQ(TvnAcquireConfig()->interceptOthers, 1u);
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagConfig), 2u);
}

TEST_F(DriverTest, StartAndStopReportThemselvesAndKeepTheConfiguration) {
  ConfigureAndStart();
  std::vector<SEvent> events = Drain();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Text(), "Tavrin started.");
  EXPECT_EQ(events[0].header.typeBlock.log.status, 0u);
  EXPECT_EQ(events[0].header.typeBlock.log.value, 1u);
  EXPECT_EQ(events[0].header.typeBlock.log.isInformation, 1u);
  EXPECT_EQ(events[0].header.enqueueTime, 1000u);

  EXPECT_EQ(Call(IOCTL_PALVEX_STOP).status, STATUS_SUCCESS);
  events = Drain();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Text(), "Tavrin stopped.");
  EXPECT_EQ(events[0].header.typeBlock.log.status, 0u);
  EXPECT_EQ(events[0].header.typeBlock.log.value, 2u);
  // Stop and Start keep the configuration: Start needs no new SetConfig.
  EXPECT_EQ(Call(IOCTL_PALVEX_START).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace drvtest
