#include "shared/control_framing.h"

#include <cerrno>
#include <gtest/gtest.h>

#include "shared/driver_requests.h"

namespace {

std::vector<uint8_t> Frame(const SControlRequest& request) {
  std::vector<uint8_t> bytes;
  EncodeRequest(request, bytes);
  return bytes;
}

// A header with chosen lengths and no body.
std::vector<uint8_t> RequestHeader(uint32_t inputLength, uint32_t outputCapacity) {
  SControlRequest request{7, IOCTL_PALVEX_INJECT_UDP, outputCapacity, {}};
  std::vector<uint8_t> bytes = Frame(request);
  for (int i = 0; i < 4; ++i) bytes[12 + i] = static_cast<uint8_t>(inputLength >> (8 * i));
  return bytes;
}

TEST(ControlFraming, RequestsSurviveAnySplitAndBackToBack) {
  SControlRequest first{0x1122334455667788ull, IOCTL_PALVEX_SET_CONFIG, 0, std::vector<uint8_t>(300, 0xAB)};
  SControlRequest second{2, IOCTL_PALVEX_GET_EVENT, 304 + 1000000, {}};
  std::vector<uint8_t> stream = Frame(first);
  EncodeRequest(second, stream);

  CControlFrameReader reader;
  std::vector<SControlRequest> got;
  for (uint8_t byte : stream) {  // one byte at a time: the worst split
    reader.Append(&byte, 1);
    SControlRequest request;
    while (reader.NextRequest(request) == EFrameStatus::Frame) got.push_back(request);
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].tag, first.tag);
  EXPECT_EQ(got[0].code, first.code);
  EXPECT_EQ(got[0].input, first.input);
  EXPECT_EQ(got[1].tag, 2u);
  EXPECT_EQ(got[1].outputCapacity, 304u + 1000000u);
  EXPECT_TRUE(got[1].input.empty());
  EXPECT_FALSE(reader.HasPartialFrame());
}

TEST(ControlFraming, ReplyKeepsInformationOfAFailureAndTheParkedFlag) {
  SControlReply tooSmall{9, STATUS_BUFFER_TOO_SMALL, 304 + 40, false, {}};
  SControlReply event{10, STATUS_SUCCESS, 3, true, {1, 2, 3}};
  std::vector<uint8_t> stream;
  EncodeReply(tooSmall, stream);
  EncodeReply(event, stream);
  EXPECT_EQ(stream.size(), 2 * kReplyHeaderSize + 3);

  CControlFrameReader reader;
  reader.Append(stream.data(), stream.size());
  SControlReply reply;
  ASSERT_EQ(reader.NextReply(reply), EFrameStatus::Frame);
  EXPECT_EQ(reply.tag, 9u);
  EXPECT_EQ(reply.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(reply.information, 344u);
  EXPECT_FALSE(reply.parked);
  EXPECT_TRUE(reply.output.empty());
  ASSERT_EQ(reader.NextReply(reply), EFrameStatus::Frame);
  EXPECT_EQ(reply.tag, 10u);
  EXPECT_TRUE(reply.parked);
  EXPECT_EQ(reply.output, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(reader.NextReply(reply), EFrameStatus::NeedMore);
}

TEST(ControlFraming, OversizedHeadersAreRefusedBeforeTheirBodyArrives) {
  struct {
    const char* name;
    uint32_t inputLength, outputCapacity;
    EFrameStatus want;
  } cases[] = {
      {"input_at_limit", kMaxRequestInput, 0, EFrameStatus::NeedMore},
      {"input_above_limit", kMaxRequestInput + 1, 0, EFrameStatus::Invalid},
      {"output_at_limit", 0, kMaxRequestOutput, EFrameStatus::Frame},
      {"output_above_limit", 0, kMaxRequestOutput + 1, EFrameStatus::Invalid},
      {"input_huge", 0xFFFFFFFF, 0, EFrameStatus::Invalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CControlFrameReader reader;
    std::vector<uint8_t> header = RequestHeader(c.inputLength, c.outputCapacity);
    reader.Append(header.data(), header.size());
    SControlRequest request;
    EXPECT_EQ(reader.NextRequest(request), c.want);
    if (c.want == EFrameStatus::Invalid) {
      EXPECT_EQ(reader.NextRequest(request), EFrameStatus::Invalid);  // stays refused
    }
  }
}

TEST(ControlFraming, RepliesAboveTheLimitOrWithABadFlagAreRefused) {
  SControlReply reply{1, STATUS_SUCCESS, 0, false, {}};
  std::vector<uint8_t> bytes;
  EncodeReply(reply, bytes);
  std::vector<uint8_t> tooLong = bytes;
  uint32_t length = kMaxRequestOutput + 1;
  for (int i = 0; i < 4; ++i) tooLong[24 + i] = static_cast<uint8_t>(length >> (8 * i));
  std::vector<uint8_t> badFlag = bytes;
  badFlag[20] = 2;
  for (const auto& frame : {tooLong, badFlag}) {
    CControlFrameReader reader;
    reader.Append(frame.data(), frame.size());
    SControlReply out;
    EXPECT_EQ(reader.NextReply(out), EFrameStatus::Invalid);
  }
}

TEST(ControlFraming, ACutFrameIsSeenAsPartial) {
  std::vector<uint8_t> bytes = Frame({1, IOCTL_PALVEX_INJECT_UDP, 0, std::vector<uint8_t>(60, 1)});
  CControlFrameReader reader;
  reader.Append(bytes.data(), bytes.size() - 1);
  SControlRequest request;
  EXPECT_EQ(reader.NextRequest(request), EFrameStatus::NeedMore);
  EXPECT_TRUE(reader.HasPartialFrame());
  reader.Append(&bytes.back(), 1);
  EXPECT_EQ(reader.NextRequest(request), EFrameStatus::Frame);
  EXPECT_FALSE(reader.HasPartialFrame());
}

TEST(ControlFraming, OpenReplyAndConnectErrors) {
  EXPECT_EQ(EncodeOpenReply(0), (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(EncodeOpenReply(ERROR_ACCESS_DENIED), (std::vector<uint8_t>{5, 0, 0, 0}));
  EXPECT_EQ(Win32ErrorForConnectErrno(ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32ErrorForConnectErrno(ECONNREFUSED), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32ErrorForConnectErrno(EACCES), ERROR_ACCESS_DENIED);
}

}  // namespace
