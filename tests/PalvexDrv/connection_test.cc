// The driver's side of the control socket's byte protocol, over the
// simulated device.
#include <gtest/gtest.h>

#include <map>

#include "PalvexDrv/engine_state.h"
#include "tests/support/driver_fixture.h"

namespace drvtest {
namespace {

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS); }
  void TearDown() override {
    ksim::CompleteInjections();
    ksim::UnloadDriver();
    EXPECT_EQ(ksim::LivePoolBlocks(), 0u);
  }

  static void Send(ksim::CConnection& connection, uint64_t tag, uint32_t code, std::vector<uint8_t> input = {},
                   uint32_t capacity = 0) {
    std::vector<uint8_t> bytes;
    EncodeRequest({tag, code, capacity, std::move(input)}, bytes);
    connection.Receive(bytes);
  }

  // Replies after the open reply, by tag, in arrival order.
  std::vector<SControlReply> Replies(ksim::CConnection& connection) {
    std::vector<uint8_t> out = connection.TakeOutput();
    m_reader.Append(out.data(), out.size());
    std::vector<SControlReply> replies;
    SControlReply reply;
    while (m_reader.NextReply(reply) == EFrameStatus::Frame) replies.push_back(reply);
    return replies;
  }

  // Opens and checks the open reply.
  void Opened(ksim::CConnection& connection) {
    EXPECT_EQ(connection.TakeOutput(), EncodeOpenReply(0));
    ASSERT_FALSE(connection.Closed());
  }

  CControlFrameReader m_reader;
};

TEST_F(ConnectionTest, OnlyOneConnectionHoldsTheDevice) {
  ksim::CConnection first;
  Opened(first);
  ksim::CConnection second;
  EXPECT_EQ(second.TakeOutput(), EncodeOpenReply(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(second.Closed());
  first.EndOfStream();
  ksim::CConnection third;
  Opened(third);
}

TEST_F(ConnectionTest, RepliesNameTheirRequestsAndAParkedReadWaitsBesideOthers) {
  ksim::CConnection connection;
  Opened(connection);
  Send(connection, 77, IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 4);
  Send(connection, 78, IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);  // nothing queued: parks
  Send(connection, 79, IOCTL_PALVEX_SET_CONFIG, ConfigBytes());
  Send(connection, 80, IOCTL_PALVEX_START);
  Send(connection, 81, IOCTL_PALVEX_GET_EVENT, {}, 304);
  std::vector<SControlReply> replies = Replies(connection);
  std::vector<uint64_t> order;
  std::map<uint64_t, SControlReply> byTag;
  for (const auto& reply : replies) {
    order.push_back(reply.tag);
    byTag[reply.tag] = reply;
  }
  // The parked read is answered while Start runs, before Start's own reply.
  EXPECT_EQ(order, (std::vector<uint64_t>{77, 79, 78, 80}));
  EXPECT_EQ(byTag[77].output, (std::vector<uint8_t>{118, 0, 0, 0}));
  EXPECT_TRUE(byTag[78].parked);
  EXPECT_EQ(ParseEvent(byTag[78].output).Text(), "Tavrin started.");
  EXPECT_FALSE(byTag[80].parked);
  // Nothing queued any more, so 81 parked; a log event feeds it.
  ASSERT_EQ(byTag.count(81), 0u) << "the read should have parked";
  TvnLogEvent("sixteen bytes..", STATUS_SUCCESS, 0, false);
  replies = Replies(connection);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].tag, 81u);
  EXPECT_EQ(replies[0].status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(replies[0].information, 304u + 16u);
  EXPECT_TRUE(replies[0].output.empty());
}

TEST_F(ConnectionTest, AnOversizedOrCutFrameEndsTheConnectionAndStopsTheEngine) {
  struct {
    const char* name;
    uint32_t inputLength, capacity;
    bool cut;
  } cases[] = {
      {"input_above_1_mib", kMaxRequestInput + 1, 0, false},
      {"output_above_one_event", 0, kMaxRequestOutput + 1, false},
      {"cut_short", 10, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ksim::CConnection connection;
    Opened(connection);
    Send(connection, 1, IOCTL_PALVEX_SET_CONFIG, ConfigBytes());
    Send(connection, 2, IOCTL_PALVEX_START);
    ASSERT_TRUE(g_TvnStarted.load());
    std::vector<uint8_t> frame;
    EncodeRequest({3, IOCTL_PALVEX_INJECT_UDP, c.capacity, {}}, frame);
    for (int i = 0; i < 4; ++i) frame[12 + i] = static_cast<uint8_t>(c.inputLength >> (8 * i));
    if (c.cut) frame.resize(frame.size() + 4, 0);  // 4 of the 10 input bytes
    connection.Receive(frame);
    EXPECT_EQ(connection.Closed(), !c.cut);
    if (c.cut) connection.EndOfStream();
    EXPECT_TRUE(connection.Closed());
    EXPECT_FALSE(g_TvnStarted.load());
    std::vector<SControlReply> replies = Replies(connection);
    EXPECT_EQ(replies.size(), 2u) << "the refused frame gets no reply";
    m_reader = CControlFrameReader();
  }
}

}  // namespace
}  // namespace drvtest
