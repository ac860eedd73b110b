#include "PalvexDrv/create_tvn_event.h"

#include <gtest/gtest.h>

#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/layer_values.h"
#include "tests/PalvexDrv/classify_input.h"
#include "tests/support/driver_fixture.h"

namespace drvtest {
namespace {

using CreateTvnEventTest = DriverTest;

TEST_F(CreateTvnEventTest, AFlowEventCarriesTheApplicationTheUserAndTheLocalEndAsSource) {
  SClassifyInput input(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4);
  SEventPtr made{CreateTvnEvent(EventFlowEstablished, &input.values, &input.metadata, nullptr, nullptr, 0)};
  ASSERT_NE(made.event, nullptr);
  const DriverEvent& e = *made.event;
  EXPECT_EQ(e.headerSize, 304u);
  EXPECT_EQ(e.eventType, EventFlowEstablished);
  EXPECT_EQ(e.appIdLength, sizeof kImagePath);
  EXPECT_EQ(e.dataLength, sizeof kImagePath);
  EXPECT_EQ(std::memcmp(DriverEventData(&e), kImagePath, sizeof kImagePath), 0);
  EXPECT_EQ(e.processId, 321u);
  EXPECT_EQ(e.flowHandle, 0xF10u);
  EXPECT_EQ(e.endpointHandle, 0xE9Du);
  EXPECT_EQ(e.inbound, 0);
  EXPECT_EQ(std::memcmp(e.userSid, input.sidBytes.data(), input.sidBytes.size()), 0);
  EXPECT_EQ(e.userSid[input.sidBytes.size()], 0);
  EXPECT_EQ(e.sourceAddress.family, 2);
  EXPECT_EQ(e.sourceAddress.port, 0x50C3);  // 50000 in network order
  EXPECT_EQ(std::vector<uint8_t>(e.sourceAddress.ipv4, e.sourceAddress.ipv4 + 4), (std::vector<uint8_t>{10, 0, 0, 2}));
  EXPECT_EQ(e.destinationAddress.port, 0x3500);
  EXPECT_EQ(std::vector<uint8_t>(e.destinationAddress.ipv4, e.destinationAddress.ipv4 + 4),
            (std::vector<uint8_t>{10, 0, 0, 53}));
  EXPECT_EQ(e.enqueueTime, 0u);  // stamped by the append
}

TEST_F(CreateTvnEventTest, AnInboundDatagramComesFromTheRemoteEndWithTheFlowsProcess) {
  SClassifyInput input(FWPS_LAYER_DATAGRAM_DATA_V6);
  input.Set(FWPS_FIELD_DIRECTION, FWP_UINT32).uint32 = FWP_DIRECTION_INBOUND;
  FlowContext flow{};
  flow.processId = 999;
  const uint8_t payload[] = {0x60, 0, 0, 0, 1, 2, 3};
  SEventPtr made{CreateTvnEvent(EventUdpDatagram, &input.values, &input.metadata, &flow, payload, sizeof payload)};
  ASSERT_NE(made.event, nullptr);
  const DriverEvent& e = *made.event;
  EXPECT_EQ(e.processId, 999u);
  EXPECT_EQ(e.appIdLength, 0u);
  EXPECT_EQ(e.dataLength, sizeof payload);
  EXPECT_EQ(std::memcmp(DriverEventData(&e), payload, sizeof payload), 0);
  EXPECT_EQ(e.inbound, 1);
  EXPECT_EQ(e.sourceAddress.family, 23);
  EXPECT_EQ(e.sourceAddress.port, 0x3500);
  EXPECT_EQ(e.sourceAddress.ipv6.address[0], 0xfd);
  EXPECT_EQ(e.sourceAddress.ipv6.flowInfo, 0u);
  EXPECT_EQ(e.sourceAddress.ipv6.scopeId, 0u);
  EXPECT_EQ(e.destinationAddress.ipv6.address[15], 1);
  EXPECT_EQ(e.userSid[0], 0);  // no SID outside the ALE layers
}

TEST_F(CreateTvnEventTest, MissingMetadataLeavesZeros) {
  SClassifyInput input(FWPS_LAYER_ALE_AUTH_CONNECT_V4);
  input.metadata.currentMetadataValues = 0;
  SEventPtr made{CreateTvnEvent(EventTcpConnect, &input.values, &input.metadata, nullptr, nullptr, 0)};
  ASSERT_NE(made.event, nullptr);
  EXPECT_EQ(made.event->processId, 0u);
  EXPECT_EQ(made.event->flowHandle, 0u);
  EXPECT_EQ(made.event->endpointHandle, 0u);
}

TEST_F(CreateTvnEventTest, ASidWithMoreThan29SubAuthoritiesIsLeftOut) {
  for (unsigned count : {29u, 30u}) {
    SCOPED_TRACE(count);
    SClassifyInput input(FWPS_LAYER_ALE_AUTH_CONNECT_V6, count);
    SEventPtr made{CreateTvnEvent(EventTcpConnect, &input.values, &input.metadata, nullptr, nullptr, 0)};
    ASSERT_NE(made.event, nullptr);
    EXPECT_EQ(made.event->userSid[1], count == 29 ? 29 : 0);
  }
}

struct RefusedCase {
  const char* name;
  DriverEventType type;
  uint16_t layer;
  std::function<void(SClassifyInput&)> change;
  uint32_t payloadLength;
  const char* text;
  uint32_t status;
  uint64_t value;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class CreateTvnEventRefused : public DriverTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(CreateTvnEventRefused, MakesNoEventAndSaysWhy) {
  const RefusedCase& c = GetParam();
  SClassifyInput input(c.layer);
  if (c.change) c.change(input);
  std::vector<uint8_t> payload(c.payloadLength, 0x5A);
  EXPECT_EQ(CreateTvnEvent(c.type, &input.values, &input.metadata, nullptr, payload.data(), c.payloadLength), nullptr);
  std::vector<SEvent> events = Drain();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Text(), c.text);
  EXPECT_EQ(events[0].header.typeBlock.log.status, c.status);
  EXPECT_EQ(events[0].header.typeBlock.log.value, c.value);
}

constexpr uint32_t kAppIdBytes = sizeof kImagePath;

INSTANTIATE_TEST_SUITE_P(Refusals, CreateTvnEventRefused, ::testing::Values(
    RefusedCase{"no_app_id", EventTcpConnect, FWPS_LAYER_ALE_AUTH_CONNECT_V4,
                [](SClassifyInput& i) { i.Set(FWPS_FIELD_ALE_APP_ID, FWP_EMPTY); }, 0,
                "FixedValuesGetAppId failed", 0, FWPS_LAYER_ALE_AUTH_CONNECT_V4},
    RefusedCase{"app_id_at_a_datagram_layer", EventFlowEstablished, FWPS_LAYER_DATAGRAM_DATA_V4, {}, 0,
                "FixedValuesGetAppId failed", 0, FWPS_LAYER_DATAGRAM_DATA_V4},
    RefusedCase{"no_user_id", EventFlowEstablished, FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6,
                [](SClassifyInput& i) { i.Set(FWPS_FIELD_ALE_USER_ID, FWP_EMPTY); }, 0,
                "FixedValuesGetUserId failed", 0, FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6},
    RefusedCase{"sid_shorter_than_its_count", EventConnectRedirect, FWPS_LAYER_ALE_CONNECT_REDIRECT_V4,
                [](SClassifyInput& i) { i.sid.size -= 1; }, 0,
                "FixedValuesGetUserId failed", 0, FWPS_LAYER_ALE_CONNECT_REDIRECT_V4},
    RefusedCase{"log_is_not_built_here", EventLog, FWPS_LAYER_DATAGRAM_DATA_V4, {}, 0,
                "127:Unknown event type", 0xC0000001, EventLog},
    RefusedCase{"flow_deleted_is_not_built_here", EventFlowDeleted, FWPS_LAYER_DATAGRAM_DATA_V4, {}, 0,
                "127:Unknown event type", 0xC0000001, EventFlowDeleted},
    RefusedCase{"datagram_above_1000000", EventUdpDatagram, FWPS_LAYER_DATAGRAM_DATA_V4, {}, 1000001,
                "135:Size is too big", 0, 1000001},
    RefusedCase{"app_id_and_payload_above_1000000", EventTcpConnect, FWPS_LAYER_ALE_AUTH_CONNECT_V4, {},
                1000000 - kAppIdBytes + 1, "135:Size is too big", 0, 1000001}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CreateTvnEventTest, ExactlyAMillionDataBytesFit) {
  SClassifyInput input(FWPS_LAYER_ALE_AUTH_CONNECT_V4);
  std::vector<uint8_t> payload(1000000 - kAppIdBytes, 1);
  SEventPtr made{CreateTvnEvent(EventTcpConnect, &input.values, &input.metadata, nullptr, payload.data(),
                                static_cast<uint32_t>(payload.size()))};
  ASSERT_NE(made.event, nullptr);
  EXPECT_EQ(made.event->dataLength, 1000000u);
  EXPECT_EQ(DriverEventData(made.event)[999999], 1);
}

TEST_F(CreateTvnEventTest, OutOfMemoryMakesNoEvent) {
  SClassifyInput input(FWPS_LAYER_DATAGRAM_DATA_V4);
  ksim::FailAllocation(kTvnTagEvent, 1);
  EXPECT_EQ(CreateTvnEvent(EventUdpDatagram, &input.values, &input.metadata, nullptr, "x", 1), nullptr);
  EXPECT_EQ(DrainTexts(), std::vector<std::string>{"142:ExAllocatePoolWithTag failed"});
}

TEST_F(CreateTvnEventTest, LayerValuesNeedTheirLayerAndType) {
  SClassifyInput v4(FWPS_LAYER_DATAGRAM_DATA_V4);
  uint8_t protocol = 0;
  EXPECT_TRUE(FixedValuesGetProtocol(&v4.values, &protocol));
  EXPECT_EQ(protocol, 17);
  SClassifyInput connect(FWPS_LAYER_ALE_AUTH_CONNECT_V4);
  EXPECT_FALSE(FixedValuesGetProtocol(&connect.values, &protocol));  // not carried at auth connect
  SOCKADDR_INET address;
  v4.Set(FWPS_FIELD_IP_REMOTE_ADDRESS, FWP_BYTE_ARRAY16_TYPE).byteArray16 = &v4.remote6;  // V6 type at a V4 layer
  EXPECT_FALSE(FixedValuesGetSockAddr(&v4.values, false, &address));
  EXPECT_TRUE(FixedValuesGetSockAddr(&v4.values, true, &address));
  v4.values.layerId = 1;  // a layer without addresses
  EXPECT_FALSE(FixedValuesGetSockAddr(&v4.values, true, &address));
  uint16_t port = 0;
  v4.values.valueCount = FWPS_FIELD_IP_LOCAL_PORT;  // the port lies past the values given
  v4.values.layerId = FWPS_LAYER_DATAGRAM_DATA_V4;
  EXPECT_FALSE(FixedValuesGetPort(&v4.values, true, &port));
}

}  // namespace
}  // namespace drvtest
