// The dormant mechanism, driven directly: no callout of the running driver
// reaches it.
#include "PalvexDrv/connect_redirection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/engine_state.h"
#include "tests/PalvexDrv/classify_input.h"
#include "tests/PalvexDrv/filter_fixture.h"

namespace drvtest {
namespace {

std::vector<uint8_t> Text(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// ---- Host masks and the first line ---------------------------------------------

TEST(HostMask, MatchesWildcardsAndOneWayCase) {
  struct SCase {
    const char* mask;
    const char* host;
    bool want;
  } cases[] = {
      {"example.com", "example.com", true},     {"example.com", "example.co", false},
      {"example.com", "example.comx", false},   {"*.example.com", "www.example.com", true},
      {"*.example.com", "example.com", false},  {"ex?mple.org", "example.org", true},
      {"ex?mple.org", "exmple.org", false},     {"www.*", "www.anything.at.all", true},
      {"*", "", true},                          {"a*b*c", "aXXbYYbZc", true},
      {"a*b*c", "aXXbYYbZ", false},             {"example.com", "EXAMPLE.COM", true},
      {"EXAMPLE.com", "example.com", false},    {"", "", true},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(std::string(c.mask) + " ~ " + c.host);
    EXPECT_EQ(TvnHostMaskMatches(reinterpret_cast<const uint8_t*>(c.mask), std::strlen(c.mask),
                                 reinterpret_cast<const uint8_t*>(c.host), std::strlen(c.host)),
              c.want);
  }
}

std::unique_ptr<DriverConfig> StreamConfig(const std::vector<uint8_t>& prefix, char separator,
                                           const std::vector<std::string>& masks) {
  auto config = std::make_unique<DriverConfig>();
  std::memset(config.get(), 0, sizeof *config);
  config->size = sizeof *config;
  config->serviceProcessId = kServicePid;
  std::memcpy(config->streamPrefix, prefix.data(), prefix.size());
  config->streamSeparator = static_cast<uint8_t>(separator);
  size_t offset = 0;
  for (const std::string& mask : masks) {
    std::memcpy(config->hostMasks + offset, mask.data(), mask.size());
    offset += mask.size() + 1;
  }
  const char insert[] = "X-Ins: 1\r\n";
  std::memcpy(config->insertBytes, insert, 10);
  config->insertLength = 10;
  return config;
}

TEST(StreamFirstLine, MatchesThePrefixThenAMaskedHostWithinTheFirstLine) {
  auto http = StreamConfig(Text("GET http://"), '/', {"*.example.com", "ex?mple.org"});
  // A 0 inside the prefix is any byte; the host starts after the prefix's last non-zero byte.
  auto gapped = StreamConfig({'G', 0, 'T', ' '}, ' ', {"host"});
  auto noMasks = StreamConfig(Text("GET http://"), '/', {});
  struct SCase {
    const char* name;
    const DriverConfig* config;
    std::string data;
    bool want;
  } cases[] = {
      {"match", http.get(), "GET http://www.example.com/ HTTP/1.1\r\nHost: a\r\n", true},
      {"second_mask", http.get(), "GET http://example.org/x HTTP/1.1\n", true},
      {"upper_case_host", http.get(), "GET http://WWW.EXAMPLE.COM/ HTTP/1.1\n", true},
      {"other_host", http.get(), "GET http://www.example.net/ HTTP/1.1\n", false},
      {"no_line_feed", http.get(), "GET http://www.example.com/ HTTP/1.1", false},
      {"separator_after_the_first_line", http.get(), "GET http://www.example.com\r\n/", false},
      {"other_prefix", http.get(), "PUT http://www.example.com/ HTTP/1.1\n", false},
      {"line_shorter_than_the_prefix", http.get(), "GET ht\nttp://www.example.com/", false},
      {"gap_in_the_prefix", gapped.get(), "GAT host rest\n", true},
      {"gap_host_not_shifted", gapped.get(), "GAT xhost rest\n", false},
      {"no_masks", noMasks.get(), "GET http://www.example.com/ HTTP/1.1\n", false},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> exact = Text(c.data);  // exactly its size, so a read past it is caught
    EXPECT_EQ(TvnStreamFirstLineMatches(exact.data(), exact.size(), *c.config), c.want);
  }
}

// ---- Stream inspection ------------------------------------------------------------

class StreamTest : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    StartWith({});
    Drain();
    m_config = StreamConfig(Text("GET http://"), '/', {"*.example.com"});
    m_flow.flowHandle = 0x5700;
    m_flow.layerId = FWPS_LAYER_STREAM_V4;
  }

  // One segment through the stream classification.
  FWPS_STREAM_CALLOUT_IO_PACKET0 Segment(uint32_t flags, std::vector<uint8_t> bytes, FWPS_CLASSIFY_OUT0* out) {
    m_bytes = std::move(bytes);
    m_mdl = {nullptr, m_bytes.data(), uint32_t(m_bytes.size())};
    m_buffer = {nullptr, &m_mdl, 0, uint32_t(m_bytes.size())};
    m_list.FirstNetBuffer = &m_buffer;
    m_data.flags = flags;
    m_data.netBufferListChain = &m_list;
    m_data.dataLength = m_bytes.size();
    FWPS_STREAM_CALLOUT_IO_PACKET0 packet;
    packet.streamData = &m_data;
    SClassifyInput input(FWPS_LAYER_STREAM_V4);
    TvnClassifyStream(&input.values, &input.metadata, &m_flow, &packet, out, *m_config);
    return packet;
  }

  std::unique_ptr<DriverConfig> m_config;
  FlowContext m_flow{};
  std::vector<uint8_t> m_bytes;
  MDL m_mdl;
  NET_BUFFER m_buffer;
  NET_BUFFER_LIST m_list;
  FWPS_STREAM_DATA0 m_data;
};

TEST_F(StreamTest, AMatchingFirstLineGetsTheInsertionAndTheOriginalIsBlocked) {
  std::string request = "GET http://www.example.com/ HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
  FWPS_CLASSIFY_OUT0 out;
  out.rights = FWPS_RIGHT_ACTION_WRITE;
  FWPS_STREAM_CALLOUT_IO_PACKET0 packet = Segment(FWPS_STREAM_FLAG_SEND, Text(request), &out);
  EXPECT_EQ(out.actionType, FWP_ACTION_BLOCK);
  EXPECT_EQ(out.rights, 0u);
  EXPECT_EQ(packet.streamAction, FWPS_STREAM_ACTION_NONE);  // inspection goes on
  EXPECT_EQ(packet.countBytesEnforced, request.size());
  EXPECT_EQ(m_flow.bytesSent, request.size() + 10);
  ASSERT_EQ(ksim::Injections().size(), 1u);
  ksim::SInjection injection = ksim::Injections()[0];
  EXPECT_EQ(injection.kind, ksim::SInjection::Stream);
  EXPECT_EQ(injection.flowId, 0x5700u);
  EXPECT_EQ(injection.streamFlags, FWPS_STREAM_FLAG_SEND);
  EXPECT_EQ(std::string(injection.bytes.begin(), injection.bytes.end()),
            "GET http://www.example.com/ HTTP/1.1\r\nX-Ins: 1\r\nHost: www.example.com\r\n\r\n");
  std::vector<SEvent> events = DrainNonLog();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].header.eventType, EventTcpStream);
  EXPECT_EQ(events[0].header.verdict, 2u);
  EXPECT_EQ(events[0].data, Text(request));
  ksim::CompleteInjection(0);
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagStreamInject), 0u);
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagStreamData), 0u);

  // The answer is only counted.
  out = FWPS_CLASSIFY_OUT0{};
  packet = Segment(FWPS_STREAM_FLAG_RECEIVE, Text("HTTP/1.1 200 OK\r\n"), &out);
  EXPECT_EQ(packet.streamAction, FWPS_STREAM_ACTION_NONE);
  EXPECT_EQ(m_flow.bytesReceived, 17u);
  EXPECT_TRUE(DrainNonLog().empty());
}

TEST_F(StreamTest, AnotherHostIsReportedAndPasses) {
  FWPS_CLASSIFY_OUT0 out;
  Segment(FWPS_STREAM_FLAG_SEND, Text("GET http://www.example.net/ HTTP/1.1\r\n"), &out);
  EXPECT_EQ(out.actionType, FWP_ACTION_NONE);
  EXPECT_TRUE(ksim::Injections().empty());
  std::vector<SEvent> events = DrainNonLog();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].header.verdict, 1u);
}

TEST_F(StreamTest, InspectionEndsWhenThereIsNothingToDo) {
  struct SCase {
    const char* name;
    uint32_t flags;
    std::string data;
    uint32_t insertLength;
    uint8_t keep;
    const char* log;
  } cases[] = {
      {"received_first", FWPS_STREAM_FLAG_RECEIVE, "hello\n", 10, 0, nullptr},
      {"empty_first", FWPS_STREAM_FLAG_SEND, "", 10, 0, nullptr},
      {"expedited", FWPS_STREAM_FLAG_SEND | FWPS_STREAM_FLAG_SEND_EXPEDITED, "x\n", 10, 0,
       "156:FWPS_STREAM_FLAG_EXPEDITED is not supported"},
      {"nothing_configured", FWPS_STREAM_FLAG_SEND, "GET http://www.example.com/\n", 0, 0, nullptr},
      {"kept_without_insertion", FWPS_STREAM_FLAG_SEND, "GET http://www.example.com/\n", 0, 1, nullptr},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    m_flow.bytesSent = m_flow.bytesReceived = 0;
    m_config->insertLength = c.insertLength;
    m_config->keepPendingConnects = c.keep;
    FWPS_CLASSIFY_OUT0 out;
    FWPS_STREAM_CALLOUT_IO_PACKET0 packet = Segment(c.flags, Text(c.data), &out);
    EXPECT_EQ(packet.streamAction, FWPS_STREAM_ACTION_ALLOW_CONNECTION);
    EXPECT_EQ(out.actionType, FWP_ACTION_NONE);
    std::vector<std::string> logs;
    EXPECT_TRUE(DrainNonLog(&logs).empty());
    std::vector<std::string> want;
    if (c.log) want.push_back(c.log);
    want.push_back("255:FwpsFlowRemoveContext0 failed");  // no flow holds this hand-made context
    EXPECT_EQ(logs, want);
  }
  EXPECT_TRUE(ksim::Injections().empty());
}

TEST_F(StreamTest, ASegmentWithoutDataIsLogged) {
  SClassifyInput input(FWPS_LAYER_STREAM_V4);
  FWPS_CLASSIFY_OUT0 out;
  TvnClassifyStream(&input.values, &input.metadata, &m_flow, nullptr, &out, *m_config);
  FWPS_STREAM_CALLOUT_IO_PACKET0 packet;
  TvnClassifyStream(&input.values, &input.metadata, &m_flow, &packet, &out, *m_config);
  std::vector<std::string> logs;
  DrainNonLog(&logs);
  EXPECT_EQ(logs, (std::vector<std::string>{"137:pIoPacket is NULL", "144:streamData is NULL"}));
}

TEST_F(StreamTest, AnEmptyInjectionNeedsADisconnect) {
  EXPECT_EQ(InjectStreamData(1, 2, FWPS_LAYER_STREAM_V4, FWPS_STREAM_FLAG_SEND, nullptr, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(InjectStreamData(1, 2, FWPS_LAYER_STREAM_V4, FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT,
                             nullptr, 0),
            STATUS_SUCCESS);
  ASSERT_EQ(ksim::Injections().size(), 1u);
  EXPECT_TRUE(ksim::Injections()[0].bytes.empty());
  ksim::FailNextCall("FwpsStreamInjectAsync0", STATUS_UNSUCCESSFUL);
  auto* data = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 4, kTvnTagStreamInject));
  EXPECT_EQ(InjectStreamData(1, 2, FWPS_LAYER_STREAM_V4, FWPS_STREAM_FLAG_SEND, data, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagStreamInject), 0u);
  EXPECT_EQ(ksim::Filtering().netBufferLists, 0u);
  std::vector<std::string> logs;
  DrainNonLog(&logs);
  EXPECT_EQ(logs, (std::vector<std::string>{"77:dataLength=0 but flags!=FWPS_STREAM_FLAG_*_DISCONNECT",
                                            "107:FwpsStreamInjectAsync0 failed"}));
}

// ---- Pending connects ---------------------------------------------------------------

class RedirectTest : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    StartWith([](DriverConfig& c) { c.insertLength = 1; });
    Drain();
  }

  // A TCP connect at the connect-redirect layer; its classify output.
  FWPS_CLASSIFY_OUT0 Redirect(uint64_t endpoint = 0xE9D) {
    SClassifyInput input(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4);
    input.Set(FWPS_FIELD_IP_PROTOCOL, FWP_UINT8).uint8 = 6;
    input.metadata.transportEndpointHandle = endpoint;
    FWPS_FILTER1 filter;
    filter.filterId = 77;
    FWPS_CLASSIFY_OUT0 out;
    out.rights = FWPS_RIGHT_ACTION_WRITE;
    TvnClassifyConnectRedirect(&input.values, &input.metadata, nullptr, &filter, &out, *TvnAcquireConfig());
    return out;
  }

  NTSTATUS Complete(uint64_t classifyHandle, uint32_t verdict, uint16_t family = kRecordFamilyInet) {
    DriverEvent header{};
    header.headerSize = kDriverEventHeaderSize;
    header.classifyHandle = classifyHandle;
    header.verdict = verdict;
    header.destinationAddress.family = family;
    header.destinationAddress.port = 53 << 8;
    header.destinationAddress.ipv4[0] = 127;
    header.destinationAddress.ipv4[3] = 1;
    return Call(IOCTL_PALVEX_COMPLETE_REDIRECT, Bytes(header)).status;
  }
};

TEST_F(RedirectTest, AConnectIsHeldReportedAndRedirectedToTheProgram) {
  FWPS_CLASSIFY_OUT0 out = Redirect();
  EXPECT_EQ(out.actionType, FWP_ACTION_BLOCK);
  EXPECT_EQ(out.rights, 0u);
  EXPECT_EQ(TvnPendingConnectCount(), 1u);
  std::vector<SEvent> events = DrainNonLog();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].header.eventType, EventConnectRedirect);
  uint64_t handle = events[0].header.classifyHandle;
  ASSERT_TRUE(ksim::ClassifyHandles().at(handle).pended);

  EXPECT_EQ(Complete(handle, 0x2 | 0x4), STATUS_SUCCESS);
  ksim::SClassifyHandle state = ksim::ClassifyHandles().at(handle);
  EXPECT_TRUE(state.completed && state.released && state.applied);
  EXPECT_EQ(state.completedOut.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(state.completedOut.rights, FWPS_RIGHT_ACTION_WRITE);
  EXPECT_EQ(state.request.localRedirectTargetPID, kServicePid);
  EXPECT_NE(state.request.localRedirectHandle, nullptr);
  EXPECT_EQ(state.request.remoteAddressAndPort[0], kRecordFamilyInet);
  EXPECT_EQ(state.request.remoteAddressAndPort[4], 127);
  // Kept for stream inspection, and no longer found by its classify handle.
  EXPECT_EQ(TvnPendingConnectCount(), 1u);
  EXPECT_EQ(Complete(handle, 0x2), STATUS_NO_SUCH_ALIAS);
  // The connection's flow takes the kept record.
  EXPECT_TRUE(TvnTakeKeptPendingConnect(0xE9D));
  EXPECT_EQ(TvnPendingConnectCount(), 0u);
}

TEST_F(RedirectTest, AnUnsupportedFamilyRedirectsNothingButTheConnectGoesOn) {
  Redirect();
  uint64_t handle = DrainNonLog().at(0).header.classifyHandle;
  EXPECT_EQ(Complete(handle, 0x2, 10), STATUS_SUCCESS);
  ksim::SClassifyHandle state = ksim::ClassifyHandles().at(handle);
  EXPECT_EQ(state.request.localRedirectTargetPID, 0u);
  EXPECT_TRUE(state.completed);
  EXPECT_EQ(TvnPendingConnectCount(), 0u);  // not kept
  std::vector<std::string> logs;
  DrainNonLog(&logs);
  EXPECT_EQ(logs, std::vector<std::string>{"176:Unsupported remote address family"});
}

TEST_F(RedirectTest, AFailedPendLetsTheConnectPass) {
  ksim::FailNextCall("FwpsPendClassify0", STATUS_UNSUCCESSFUL);
  FWPS_CLASSIFY_OUT0 out = Redirect();
  EXPECT_EQ(out.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(out.rights, FWPS_RIGHT_ACTION_WRITE);
  EXPECT_EQ(TvnPendingConnectCount(), 0u);
  EXPECT_EQ(ksim::Filtering().classifyHandles, 0u);
  std::vector<std::string> logs;
  EXPECT_TRUE(DrainNonLog(&logs).empty());
  EXPECT_EQ(logs, std::vector<std::string>{"259:FwpsPendClassify0 failed"});
}

TEST_F(RedirectTest, AnAlreadyRedirectedConnectIsLeftAlone) {
  ksim::SetRedirectState(FWPS_CONNECTION_REDIRECTED_BY_SELF);
  EXPECT_EQ(Redirect().actionType, FWP_ACTION_CONTINUE);
  EXPECT_EQ(TvnPendingConnectCount(), 0u);
}

TEST_F(RedirectTest, ThirdPurgeInARowOfAbandonedConnectsStopsTheEngine) {
  Redirect();
  for (int purge = 1; purge <= 3; ++purge) {
    SCOPED_TRACE(purge);
    ksim::AdvanceInterruptTime(kTvnPendingConnectExpiry + 1);
    Redirect();
    EXPECT_EQ(g_TvnStarted.load(), purge < 3);
  }
  EXPECT_EQ(TvnPendingConnectCount(), 0u);
  EXPECT_EQ(ksim::Filtering().classifyHandles, 0u);
  for (const auto& [handle, state] : ksim::ClassifyHandles()) {
    EXPECT_TRUE(state.completed);
    EXPECT_EQ(state.completedOut.actionType, FWP_ACTION_PERMIT);
  }
  std::vector<std::string> logs;
  DrainNonLog(&logs);
  EXPECT_EQ(std::count(logs.begin(), logs.end(), "107:Abandoned redirection request detected"), 3);
  EXPECT_EQ(std::count(logs.begin(), logs.end(),
                       "124:Too many abandoned redirection requests detected. Engine emergency stop"),
            1);
  EXPECT_EQ(logs.back(), "Tavrin stopped.");
}

TEST_F(RedirectTest, AStopCompletesEveryPendingConnect) {
  Redirect();
  Redirect(0xE9E);
  ASSERT_EQ(Call(IOCTL_PALVEX_STOP).status, STATUS_SUCCESS);
  EXPECT_EQ(TvnPendingConnectCount(), 0u);
  for (const auto& [handle, state] : ksim::ClassifyHandles()) EXPECT_TRUE(state.completed && state.released);
}

}  // namespace
}  // namespace drvtest
