#include "PalvexDrv/datagram_diversion.h"

#include <gtest/gtest.h>

#include "PalvexDrv/engine_state.h"
#include "PalvexDrv/filter_registration.h"
#include "tests/PalvexDrv/classify_input.h"
#include "tests/PalvexDrv/filter_fixture.h"

namespace drvtest {
namespace {

using DatagramTest = FilterTest;

std::vector<uint8_t> From(const std::vector<uint8_t>& bytes, size_t offset) {
  return std::vector<uint8_t>(bytes.begin() + offset, bytes.end());
}

// ---- The query shape --------------------------------------------------------------

struct SShapeCase {
  const char* name;
  std::vector<uint8_t> message;
  bool outbound, addressOnly, want;
};

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}

class QueryShape : public ::testing::TestWithParam<SShapeCase> {};

TEST_P(QueryShape, ReadsOnlyTheHeaderAndTheName) {
  const SShapeCase& c = GetParam();
  // A copy of exactly its size, so a read past the end is caught.
  std::vector<uint8_t> exact(c.message);
  EXPECT_EQ(TvnIsDnsQueryShape(exact.data(), uint32_t(exact.size()), c.outbound, c.addressOnly), c.want);
}

// example.com A: 12 header + 13 name + 4 = 29 bytes; the name ends at offset 24.
INSTANTIATE_TEST_SUITE_P(
    Cases, QueryShape,
    ::testing::Values(
        SShapeCase{"query", DnsMessage(), true, false, true},
        SShapeCase{"header_only", Cut(DnsMessage(), 12), true, false, false},
        SShapeCase{"eleven_bytes", Cut(DnsMessage(), 11), true, false, false},
        SShapeCase{"two_questions", DnsMessage("example.com", 1, 2), true, false, false},
        SShapeCase{"no_question", DnsMessage("example.com", 1, 0), true, false, false},
        SShapeCase{"outbound_with_answer", DnsMessage("example.com", 1, 1, 1), true, false, false},
        SShapeCase{"outbound_with_authority", DnsMessage("example.com", 1, 1, 0, 1), true, false, false},
        SShapeCase{"inbound_answer", DnsMessage("example.com", 1, 1, 1, 1), false, false, true},
        SShapeCase{"name_without_end", Cut(DnsMessage(), 24), true, false, false},
        SShapeCase{"name_end_in_the_last_two_bytes", Cut(DnsMessage(), 26), true, false, false},
        SShapeCase{"name_end_before_the_last_two_bytes", Cut(DnsMessage(), 27), true, true, true},
        SShapeCase{"root_name", DnsMessage("", 28), true, true, true},
        SShapeCase{"aaaa", DnsMessage("example.com", 28), true, true, true},
        SShapeCase{"mx_not_an_address_query", DnsMessage("example.com", 15), true, true, false},
        SShapeCase{"mx_without_the_flag", DnsMessage("example.com", 15), true, false, true},
        SShapeCase{"type_257_low_byte_1", DnsMessage("example.com", 257), true, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Flows ----------------------------------------------------------------------------

TEST_F(DatagramTest, AFlowToPort53GetsAContextAndIsReported) {
  StartWith({});
  Drain();
  for (const SEnds& ends : {SEnds{}, SEnds::V6()}) {
    SCOPED_TRACE(ends.v6 ? "v6" : "v4");
    uint64_t flow = ends.v6 ? kFlow + 6 : kFlow;
    OpenFlow(ends, flow);
    auto contexts = ksim::FlowContexts(flow);
    ASSERT_EQ(contexts.size(), 1u);
    EXPECT_EQ(contexts[0].first, (ends.v6 ? g_DatagramCalloutIdV6 : g_DatagramCalloutIdV4).load());
    auto* context = reinterpret_cast<FlowContext*>(contexts[0].second);
    EXPECT_EQ(context->layerId, DatagramLayer(ends));
    EXPECT_EQ(context->processId, kClientPid);
    EXPECT_EQ(context->flowHandle, flow);
    EXPECT_EQ(context->endpointHandle, kEndpoint);
    std::vector<SEvent> events = DrainNonLog();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].header.eventType, EventFlowEstablished);
    EXPECT_EQ(events[0].header.processId, kClientPid);
    EXPECT_EQ(events[0].header.flowHandle, flow);
    EXPECT_EQ(events[0].header.sourceAddress.family, ends.v6 ? kRecordFamilyInet6 : kRecordFamilyInet);
  }
  ksim::SCompletion counters = Call(IOCTL_PALVEX_GET_COUNTERS, {}, sizeof(DriverCounters));
  ASSERT_EQ(counters.output.size(), sizeof(DriverCounters));
  DriverCounters read;
  std::memcpy(&read, counters.output.data(), sizeof read);
  EXPECT_EQ(read.flowCount, 2u);
  EXPECT_EQ(read.pendingConnectCount, 0u);
}

TEST_F(DatagramTest, TheEndOfAFlowIsReportedWhileStarted) {
  StartWith({});
  OpenFlow({}, kFlow);
  OpenFlow({}, kFlow + 1);
  Drain();
  ksim::EndFlow(kFlow);
  EXPECT_EQ(TvnFlowCount(), 1u);
  std::vector<SEvent> events = DrainNonLog();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].header.eventType, EventFlowDeleted);
  EXPECT_EQ(events[0].header.flowHandle, kFlow);
  EXPECT_EQ(events[0].header.processId, kClientPid);
  EXPECT_EQ(events[0].header.dataLength, 0u);
  // A stop removes the rest without reports.
  ASSERT_EQ(Call(IOCTL_PALVEX_STOP).status, STATUS_SUCCESS);
  EXPECT_EQ(TvnFlowCount(), 0u);
  EXPECT_EQ(ksim::Filtering().flowContexts, 0u);
  EXPECT_TRUE(DrainNonLog().empty());
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagFlow), 0u);
}

TEST_F(DatagramTest, TheProgramsOwnFlowGetsNoContextUnlessIncluded) {
  StartWith({});
  OpenFlow({}, kFlow, kServicePid);
  EXPECT_EQ(TvnFlowCount(), 0u);
  EXPECT_EQ(Send(DnsMessage()).calls, 0u);  // no context, so the datagram callout is not called

  // Included, its flow is diverted but its datagrams still pass.
  Configure([](DriverConfig& c) { c.includeServiceTraffic = 1; });
  Drain();
  OpenFlow({}, kFlow + 1, kServicePid);
  EXPECT_EQ(TvnFlowCount(), 1u);
  Drain();
  ksim::SVerdict v = ksim::Classify(Datagram({}, false, DnsMessage(), kFlow + 1));
  EXPECT_EQ(v.calls, 1u);
  EXPECT_EQ(v.action, FWP_ACTION_PERMIT);
  EXPECT_TRUE(DrainNonLog().empty());
}

TEST_F(DatagramTest, FlowEstablishedFailuresLeaveNoContext) {
  StartWith({});
  Drain();
  ksim::SPacket noFlow = At(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4);
  noFlow.flowHandle.reset();
  ksim::Classify(noFlow);
  ksim::SPacket noEndpoint = At(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4);
  noEndpoint.endpointHandle.reset();
  ksim::Classify(noEndpoint);
  ksim::FailNextCall("FwpsFlowAssociateContext0", STATUS_UNSUCCESSFUL);
  OpenFlow();
  ksim::FailAllocation(kTvnTagFlow, 1);
  OpenFlow({}, kFlow + 1);
  EXPECT_EQ(TvnFlowCount(), 0u);
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagFlow), 0u);
  std::vector<std::string> logs;
  EXPECT_TRUE(DrainNonLog(&logs).empty());
  EXPECT_EQ(logs, (std::vector<std::string>{"193:CalloutFlow no FWPS_METADATA_FIELD_FLOW_HANDLE",
                                            "199:CalloutFlow no FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE",
                                            "238:FwpsFlowAssociateContext0 failed", "45:ExAllocatePoolWithTag failed"}));
}

TEST_F(DatagramTest, AFlowEstablishedAsTheEngineStopsKeepsNoContext) {
  StartWith({});
  SClassifyInput input(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4);
  ksim::Classify(Datagram({}, false, DnsMessage(), input.metadata.flowHandle));  // the platform knows the flow
  ASSERT_EQ(Call(IOCTL_PALVEX_STOP).status, STATUS_SUCCESS);
  Drain();
  // The classification began before the stop and reaches the flow only now.
  TvnCalloutFlowEstablished(&input.values, &input.metadata);
  EXPECT_EQ(TvnFlowCount(), 0u);
  EXPECT_EQ(ksim::Filtering().flowContexts, 0u);
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagFlow), 0u);
  EXPECT_TRUE(Drain().empty());
}

TEST_F(DatagramTest, RemovingAllFlowsGoesOnPastFailuresAndReturnsTheFirst) {
  StartWith({});
  for (uint64_t flow = kFlow; flow < kFlow + 3; ++flow) OpenFlow({}, flow);
  Drain();
  ksim::FailNthCall("FwpsFlowRemoveContext0", 1, STATUS_NOT_FOUND);
  ksim::FailNthCall("FwpsFlowRemoveContext0", 2, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(TvnRemoveAllFlows(false), STATUS_NOT_FOUND);
  EXPECT_EQ(TvnFlowCount(), 0u);
  // The last flow lost its context; the first two keep theirs until their flows end.
  EXPECT_EQ(ksim::FlowContexts(kFlow).size(), 1u);
  EXPECT_EQ(ksim::FlowContexts(kFlow + 1).size(), 1u);
  EXPECT_TRUE(ksim::FlowContexts(kFlow + 2).empty());
  std::vector<SEvent> events = Drain();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].Text(), "156:FwpsFlowRemoveContext0 failed");
  EXPECT_EQ(events[0].header.typeBlock.log.value, kFlow);
  EXPECT_EQ(events[1].Text(), "156:FwpsFlowRemoveContext0 failed");
  EXPECT_EQ(events[1].header.typeBlock.log.status, uint32_t(STATUS_UNSUCCESSFUL));
  EXPECT_EQ(events[2].header.eventType, EventFlowDeleted);
  EXPECT_EQ(events[2].header.flowHandle, kFlow + 2);
  ksim::EndFlow(kFlow);
  ksim::EndFlow(kFlow + 1);
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagFlow), 0u);
}

// ---- Datagrams --------------------------------------------------------------------------

TEST_F(DatagramTest, AnOutboundQueryIsReportedAndAbsorbed) {
  StartWith({});  // flags 3: absorb, shape check
  for (const SEnds& ends : {SEnds{}, SEnds::V6()}) {
    SCOPED_TRACE(ends.v6 ? "v6" : "v4");
    ksim::EndFlow(kFlow);
    OpenFlow(ends);
    Drain();
    std::vector<uint8_t> query = DnsMessage();
    ksim::SPacket p = Datagram(ends, false, query);
    ksim::SVerdict v = ksim::Classify(p);
    EXPECT_EQ(v.action, FWP_ACTION_BLOCK);
    EXPECT_EQ(v.rights & FWPS_RIGHT_ACTION_WRITE, 0u);
    EXPECT_EQ(v.flags & FWPS_CLASSIFY_OUT_FLAG_ABSORB, FWPS_CLASSIFY_OUT_FLAG_ABSORB);
    std::vector<SEvent> events = DrainNonLog();
    ASSERT_EQ(events.size(), 1u);
    const DriverEvent& e = events[0].header;
    EXPECT_EQ(e.eventType, EventUdpDatagram);
    EXPECT_EQ(e.inbound, 0);
    EXPECT_EQ(e.processId, kClientPid);
    EXPECT_EQ(e.flowHandle, kFlow);
    EXPECT_EQ(e.endpointHandle, kEndpoint);
    EXPECT_EQ(e.appIdLength, 0u);
    // From the UDP header on.
    EXPECT_EQ(events[0].data, From(p.ipPacket, ends.v6 ? 40 : 20));
    EXPECT_EQ(e.sourceAddress.port, uint16_t(50000 >> 8 | (50000 & 0xFF) << 8));
    EXPECT_EQ(e.destinationAddress.family, ends.v6 ? kRecordFamilyInet6 : kRecordFamilyInet);
    const DatagramContext& context = e.typeBlock.datagram;
    EXPECT_EQ(context.compartmentId, 1u);
    EXPECT_EQ(context.interfaceIndex, 7u);
    EXPECT_EQ(context.subInterfaceIndex, 9u);
    EXPECT_EQ(context.transportHeaderSize, 8u);
    EXPECT_EQ(context.ipHeaderSize, 0u);
    EXPECT_EQ(context.endpointHandle, kEndpoint);
  }
}

TEST_F(DatagramTest, AnInboundAnswerIsReportedFromItsIpHeaderAndPasses) {
  StartWith({});
  OpenFlow(SEnds::V6());
  Drain();
  std::vector<uint8_t> answer = DnsMessage("example.com", 28, 1, 1);
  ksim::SPacket p = Datagram(SEnds::V6(), true, answer);
  ksim::SVerdict v = ksim::Classify(p);
  EXPECT_EQ(v.action, FWP_ACTION_PERMIT);
  EXPECT_EQ(v.flags, 0u);
  // The net buffer is handed back as it came: data after the headers.
  EXPECT_EQ(v.dataOffset, 48u);
  EXPECT_EQ(v.dataLength, answer.size());
  std::vector<SEvent> events = DrainNonLog();
  ASSERT_EQ(events.size(), 1u);
  const DriverEvent& e = events[0].header;
  EXPECT_EQ(e.inbound, 1);
  EXPECT_EQ(events[0].data, p.ipPacket);
  EXPECT_EQ(e.sourceAddress.port, 53 << 8);  // the server
  EXPECT_EQ(e.sourceAddress.ipv6.address[15], 1);
  EXPECT_EQ(e.typeBlock.datagram.ipHeaderSize, 40u);
  EXPECT_EQ(e.typeBlock.datagram.transportHeaderSize, 8u);
}

struct SFlagsCase {
  const char* name;
  uint32_t flags;
  std::vector<uint8_t> payload;
  bool reported, absorbed;
};

class DatagramFlags : public FilterTest, public ::testing::WithParamInterface<SFlagsCase> {};

TEST_P(DatagramFlags, DecideWhatIsReportedAndAbsorbed) {
  const SFlagsCase& c = GetParam();
  StartWith([&](DriverConfig& config) { config.datagramFlags = c.flags; });
  OpenFlow();
  Drain();
  ksim::SVerdict v = Send(c.payload);
  EXPECT_EQ(v.action, c.absorbed ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT);
  EXPECT_EQ(DrainNonLog().size(), c.reported ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DatagramFlags,
    ::testing::Values(SFlagsCase{"reported_not_absorbed", 2, DnsMessage(), true, false},
                      SFlagsCase{"answer_count_1_is_no_query", 3, DnsMessage("a.b", 1, 1, 1), false, false},
                      SFlagsCase{"unterminated_name_is_no_query", 3, Cut(DnsMessage(), 24), false, false},
                      SFlagsCase{"mx_with_address_only", 7, DnsMessage("a.b", 15), false, false},
                      SFlagsCase{"aaaa_with_address_only", 7, DnsMessage("a.b", 28), true, true},
                      SFlagsCase{"no_shape_check_takes_anything", 1, {0xFF}, true, true},
                      SFlagsCase{"nothing_after_the_headers", 1, {}, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DatagramTest, ALargeDatagramIsCopiedThroughItsOwnBlockAndReportedWhole) {
  StartWith({});
  OpenFlow();
  Drain();
  std::vector<uint8_t> query = DnsMessage(std::string(60, 'a') + "." + std::string(60, 'b'));
  query.resize(1700, 0x5A);  // trailing bytes (an OPT record's worth and more)
  ksim::SPacket p = Datagram({}, false, query);
  p.splitAt = 100;  // the platform's memory in two pieces
  uint64_t before = ksim::PoolAllocations(kTvnTagDatagramCopy);
  EXPECT_EQ(ksim::Classify(p).action, FWP_ACTION_BLOCK);
  EXPECT_EQ(ksim::PoolAllocations(kTvnTagDatagramCopy), before + 1);
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagDatagramCopy), 0u);
  std::vector<SEvent> events = DrainNonLog();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].data, From(p.ipPacket, 20));

  // Without memory for the copy the datagram passes.
  ksim::FailAllocation(kTvnTagDatagramCopy, 1);
  EXPECT_EQ(ksim::Classify(p).action, FWP_ACTION_PERMIT);
  std::vector<std::string> logs;
  EXPECT_TRUE(DrainNonLog(&logs).empty());
  EXPECT_EQ(logs, std::vector<std::string>{"211:ExAllocatePoolWithTag failed"});
}

TEST_F(DatagramTest, AnInboundDatagramWithoutHeadroomPassesUnreported) {
  StartWith({});
  OpenFlow();
  Drain();
  ksim::SPacket p = Datagram({}, true, DnsMessage("a.b", 1, 1, 1));
  p.noHeadroom = true;
  EXPECT_EQ(ksim::Classify(p).action, FWP_ACTION_PERMIT);
  std::vector<std::string> logs;
  EXPECT_TRUE(DrainNonLog(&logs).empty());
  EXPECT_EQ(logs, std::vector<std::string>{"196:NdisRetreatNetBufferDataStart failed"});
}

struct SInjectedCase {
  const char* name;
  ksim::EInjectedBy by;
  uint32_t interceptOthers;
  bool reported;
  const char* warning;  // once per start, or null
};

class InjectionState : public FilterTest, public ::testing::WithParamInterface<SInjectedCase> {};

TEST_P(InjectionState, DecidesWhetherADatagramIsReported) {
  const SInjectedCase& c = GetParam();
  StartWith([&](DriverConfig& config) { config.interceptOthers = c.interceptOthers; });
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    OpenFlow({}, kFlow + start);
    Drain();
    for (int packet = 0; packet < 2; ++packet) {
      ksim::SPacket p = Datagram({}, false, DnsMessage(), kFlow + start);
      p.injectedBy = c.by;
      EXPECT_EQ(ksim::Classify(p).action, c.reported ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT);
    }
    std::vector<std::string> logs;
    EXPECT_EQ(DrainNonLog(&logs).size(), c.reported ? 2u : 0u);
    EXPECT_EQ(logs, c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{});
    ASSERT_EQ(Call(IOCTL_PALVEX_STOP).status, STATUS_SUCCESS);
    Start();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InjectionState,
    ::testing::Values(
        SInjectedCase{"not_injected", ksim::EInjectedBy::None, 0, true, nullptr},
        SInjectedCase{"by_the_driver", ksim::EInjectedBy::Driver, 1, false, nullptr},
        SInjectedCase{"earlier_by_the_driver", ksim::EInjectedBy::DriverEarlier, 1, false,
                      "163:FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF"},
        SInjectedCase{"by_another", ksim::EInjectedBy::Other, 0, false, "173:FWPS_PACKET_INJECTED_BY_OTHER"},
        SInjectedCase{"by_another_intercepted", ksim::EInjectedBy::Other, 1, true,
                      "173:FWPS_PACKET_INJECTED_BY_OTHER"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DatagramTest, TheProgramsOwnDatagramPassesUntouched) {
  // A flow diverted before the program's id was known to match it.
  StartWith([](DriverConfig& c) { c.serviceProcessId = 1; });
  OpenFlow();
  Configure([](DriverConfig& c) { c.serviceProcessId = kClientPid; });
  Drain();
  ksim::SVerdict v = Send(DnsMessage());
  EXPECT_EQ(v.calls, 1u);
  EXPECT_EQ(v.action, FWP_ACTION_PERMIT);
  EXPECT_TRUE(DrainNonLog().empty());
}

// ---- Injection -------------------------------------------------------------------------

std::vector<uint8_t> InjectBytes(const std::vector<uint8_t>& packet, uint16_t family, uint32_t receive) {
  InjectUdpHeader header{};
  header.headerSize = kInjectUdpHeaderSize;
  header.packetLength = uint32_t(packet.size());
  header.addressFamily = family;
  header.context = {3, 7, 9, 8, 0, 0, FilterTest::kEndpoint};
  header.receive = receive;
  std::vector<uint8_t> bytes = Bytes(header);
  bytes.insert(bytes.end(), packet.begin(), packet.end());
  return bytes;
}

TEST_F(DatagramTest, AnInjectedAnswerReachesTheProcessAndIsNotReportedAgain) {
  StartWith({});
  for (const SEnds& ends : {SEnds{}, SEnds::V6()}) {
    SCOPED_TRACE(ends.v6 ? "v6" : "v4");
    ksim::EndFlow(kFlow);
    OpenFlow(ends);
    Drain();
    size_t index = ksim::Injections().size();
    std::vector<uint8_t> answer = UdpPacket(ends, true, DnsMessage("example.com", 1, 1, 1));
    uint16_t family = ends.v6 ? kRecordFamilyInet6 : kRecordFamilyInet;
    ASSERT_EQ(Call(IOCTL_PALVEX_INJECT_UDP, InjectBytes(answer, family, 0x101)).status, STATUS_SUCCESS);
    ksim::SInjection injection = ksim::Injections().at(index);
    EXPECT_EQ(injection.kind, ksim::SInjection::Receive);
    EXPECT_EQ(injection.family, family);
    EXPECT_EQ(injection.compartmentId, 3u);
    EXPECT_EQ(injection.interfaceIndex, 7u);
    EXPECT_EQ(injection.subInterfaceIndex, 9u);
    EXPECT_EQ(injection.bytes, answer);
    EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagInjectUdp), 1u);

    // The platform passes it through the filters again: the loop guard.
    ksim::SPacket p = Datagram(ends, true, {});
    EXPECT_EQ(ksim::ClassifyInjected(index, p).action, FWP_ACTION_PERMIT);
    EXPECT_TRUE(DrainNonLog().empty());

    ksim::CompleteInjection(index);
    EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagInjectUdp), 0u);
    EXPECT_EQ(ksim::Filtering().netBufferLists, 0u);
    EXPECT_EQ(ksim::Filtering().mdls, 0u);
  }
}

TEST_F(DatagramTest, AQueryPassedOnLeavesAsTheDatagramItWas) {
  StartWith({});
  for (const SEnds& ends : {SEnds{}, SEnds::V6()}) {
    SCOPED_TRACE(ends.v6 ? "v6" : "v4");
    size_t index = ksim::Injections().size();
    std::vector<uint8_t> query = UdpPacket(ends, false, DnsMessage());
    uint16_t family = ends.v6 ? kRecordFamilyInet6 : kRecordFamilyInet;
    ASSERT_EQ(Call(IOCTL_PALVEX_INJECT_UDP, InjectBytes(query, family, 0x100)).status, STATUS_SUCCESS);
    ksim::SInjection injection = ksim::Injections().at(index);
    EXPECT_EQ(injection.kind, ksim::SInjection::Send);
    EXPECT_EQ(injection.endpointHandle, kEndpoint);
    EXPECT_EQ(injection.compartmentId, 3u);
    EXPECT_EQ(injection.bytes, From(query, ends.v6 ? 40 : 20));
    ASSERT_TRUE(injection.remote.has_value());
    EXPECT_EQ(injection.remote->family, family);
    EXPECT_EQ(injection.remote->port, 53 << 8);
    if (ends.v6)
      EXPECT_EQ(0, std::memcmp(injection.remote->ipv6.address, ends.remote, 16));
    else
      EXPECT_EQ(0, std::memcmp(injection.remote->ipv4, ends.remote, 4));
    ksim::CompleteInjection(index, STATUS_UNSUCCESSFUL);  // a failed send frees the same
    EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagInjectUdp), 0u);
  }
}

TEST_F(DatagramTest, AnIpv4HeaderWithOptionsIsStrippedByItsLength) {
  StartWith({});
  std::vector<uint8_t> query = UdpPacket({}, false, DnsMessage());
  query[0] = 0x46;  // IHL 6: four bytes of options after the addresses
  query.insert(query.begin() + 20, {1, 1, 1, 0});
  ASSERT_EQ(Call(IOCTL_PALVEX_INJECT_UDP, InjectBytes(query, kRecordFamilyInet, 0)).status, STATUS_SUCCESS);
  EXPECT_EQ(ksim::Injections().back().bytes, From(query, 24));
}

struct SInjectFailure {
  const char* name;
  const char* function;  // or null: the "Iudp" allocation
  NTSTATUS want;
};

class InjectFailure : public FilterTest, public ::testing::WithParamInterface<SInjectFailure> {};

TEST_P(InjectFailure, FreesWhatWasBuilt) {
  const SInjectFailure& c = GetParam();
  StartWith({});
  if (c.function) ksim::FailNextCall(c.function, STATUS_UNSUCCESSFUL);
  else ksim::FailAllocation(kTvnTagInjectUdp, 1);
  std::vector<uint8_t> answer = UdpPacket({}, true, DnsMessage());
  EXPECT_EQ(Call(IOCTL_PALVEX_INJECT_UDP, InjectBytes(answer, kRecordFamilyInet, 1)).status, c.want);
  EXPECT_TRUE(ksim::Injections().empty());
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagInjectUdp), 0u);
  EXPECT_EQ(ksim::Filtering().netBufferLists, 0u);
  EXPECT_EQ(ksim::Filtering().mdls, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InjectFailure,
    ::testing::Values(SInjectFailure{"packet_copy", nullptr, STATUS_NO_MEMORY},
                      SInjectFailure{"mdl", "IoAllocateMdl", STATUS_NO_MEMORY},
                      SInjectFailure{"net_buffer_list", "FwpsAllocateNetBufferAndNetBufferList0", STATUS_UNSUCCESSFUL},
                      SInjectFailure{"injection", "FwpsInjectTransportReceiveAsync0", STATUS_UNSUCCESSFUL}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DatagramTest, AFailedInjectionIsLogged) {
  StartWith({});
  Drain();
  ksim::FailNextCall("FwpsInjectTransportSendAsync0", STATUS_UNSUCCESSFUL);
  Call(IOCTL_PALVEX_INJECT_UDP, InjectBytes(UdpPacket({}, false, DnsMessage()), kRecordFamilyInet, 0));
  std::vector<SEvent> events = Drain();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Text(), "88:FwpsInjectTransport(Receive/Send)Async0 failed");
  EXPECT_EQ(events[0].header.typeBlock.log.value, 0u);
  EXPECT_EQ(events[1].Text(), "348:Error at TvnEvtIoDeviceControl");
}

}  // namespace
}  // namespace drvtest
