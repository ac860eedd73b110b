#include "PalvexDrv/event_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "PalvexDrv/engine_state.h"
#include "tests/support/driver_fixture.h"

namespace drvtest {
namespace {

using std::chrono::milliseconds;

class EventQueueTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ConfigureAndStart();
    Drain();
  }
};

TEST_F(EventQueueTest, AParkedReadIsCompletedByTheNextAppend) {
  ksim::CRequest read = m_client.Submit(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  EXPECT_FALSE(read.Done());
  ksim::SetInterruptTime(5000);
  AppendEvent(EventUdpDatagram, 30, 0x11);
  auto completion = read.Wait(milliseconds(1000));
  ASSERT_TRUE(completion);
  EXPECT_EQ(completion->status, STATUS_SUCCESS);
  EXPECT_TRUE(completion->parked);
  EXPECT_EQ(completion->information, 304u + 30u);
  SEvent event = ParseEvent(completion->output);
  EXPECT_EQ(event.header.eventType, EventUdpDatagram);
  EXPECT_EQ(event.header.enqueueTime, 5000u);
  EXPECT_EQ(event.data, std::vector<uint8_t>(30, 0x11));
  EXPECT_EQ(g_TvnEventListSize.load(), 0u);
}

TEST_F(EventQueueTest, AnEventAppendedWhileTheReadIsBeingParkedStillReachesIt) {
  // The append finds no parked read yet; the read must not wait for the next one.
  ksim::BeforeNextForward([] { TvnLogEvent("in the gap", STATUS_SUCCESS, 0, false); });
  ksim::CRequest read = m_client.Submit(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  auto completion = read.Wait(milliseconds(0));
  ASSERT_TRUE(completion) << "the read stayed parked";
  EXPECT_TRUE(completion->parked);
  EXPECT_EQ(ParseEvent(completion->output).Text(), "in the gap");
}

TEST_F(EventQueueTest, AParkedReadLetsOtherRequestsThroughAndHearsTheStop) {
  ksim::CRequest read = m_client.Submit(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  EXPECT_EQ(Call(IOCTL_PALVEX_INJECT_UDP, InjectUdpBytes(28)).status, STATUS_SUCCESS);
  EXPECT_FALSE(read.Done());
  EXPECT_EQ(Call(IOCTL_PALVEX_STOP).status, STATUS_SUCCESS);
  auto completion = read.Wait(milliseconds(0));
  ASSERT_TRUE(completion);
  EXPECT_EQ(ParseEvent(completion->output).Text(), "Tavrin stopped.");
}

TEST_F(EventQueueTest, OfTwoParkedReadsTheSecondIsCompletedEmpty) {
  ksim::CRequest first = m_client.Submit(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  ksim::CRequest second = m_client.Submit(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  TvnLogEvent("one", STATUS_SUCCESS, 0, true);
  auto a = first.Wait(milliseconds(1000));
  auto b = second.Wait(milliseconds(1000));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(ParseEvent(a->output).Text(), "one");
  EXPECT_EQ(b->status, STATUS_SUCCESS);
  EXPECT_EQ(b->information, 0u);
  EXPECT_TRUE(b->output.empty());
}

TEST_F(EventQueueTest, ATooSmallBufferLearnsTheSizeAndTheEventWaitsForTheRetry) {
  AppendEvent(EventUdpDatagram, 40, 0x22);
  TvnLogEvent("queued later", STATUS_SUCCESS, 0, false);
  for (uint32_t capacity : {0u, 304u, 343u}) {
    SCOPED_TRACE(capacity);
    ksim::SCompletion tooSmall = Call(IOCTL_PALVEX_GET_EVENT, {}, capacity);
    EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.information, 344u);
    EXPECT_TRUE(tooSmall.output.empty());
  }
  ksim::SCompletion retry = Call(IOCTL_PALVEX_GET_EVENT, {}, 344);
  ASSERT_EQ(retry.status, STATUS_SUCCESS);
  EXPECT_EQ(ParseEvent(retry.output).header.eventType, EventUdpDatagram);
  // No "348" for too-small buffers, and the later log event stayed behind.
  EXPECT_EQ(DrainTexts(), std::vector<std::string>{"queued later"});
}

TEST_F(EventQueueTest, ABufferThatCannotBeRetrievedCostsNoEvent) {
  AppendEvent(EventUdpDatagram, 8, 0x33);
  ksim::FailNextCall("WdfRequestRetrieveOutputBuffer", STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(DrainTexts(), (std::vector<std::string>{"#3", "348:Error at TvnEvtIoDeviceControl"}));
}

TEST_F(EventQueueTest, AFailedParkingIsReportedTwiceAndCompleted) {
  ksim::FailNextCall("WdfRequestForwardToIoQueue", STATUS_INSUFFICIENT_RESOURCES);
  ksim::SCompletion failed = Call(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  EXPECT_EQ(failed.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(failed.parked);
  std::vector<SEvent> events = Drain();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Text(), "331:WdfRequestForwardToIoQueue failed");
  EXPECT_EQ(events[0].header.typeBlock.log.value, IOCTL_PALVEX_GET_EVENT);
  EXPECT_EQ(events[1].Text(), "348:Error at TvnEvtIoDeviceControl");
}

TEST_F(EventQueueTest, TheClientNeverSeesTheQueueLinks) {
  AppendEvent(EventUdpDatagram, 0);
  AppendEvent(EventUdpDatagram, 0);
  AppendEvent(EventUdpDatagram, 0);
  Call(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  ksim::SCompletion middle = Call(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  ASSERT_EQ(middle.output.size(), 304u);
  EXPECT_TRUE(std::all_of(middle.output.begin() + 8, middle.output.begin() + 24, [](uint8_t b) { return b == 0; }));
}

TEST_F(EventQueueTest, AFlowDeletedEventIsExactlyItsHeader) {
  DriverEvent* event = TvnAllocateEvent(0);
  ASSERT_NE(event, nullptr);
  event->eventType = EventFlowDeleted;
  event->flowHandle = 0x1234;
  event->processId = 77;
  TvnEventListAppend(event);
  ksim::SCompletion read = Call(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  ASSERT_EQ(read.information, 304u);
  SEvent got = ParseEvent(read.output);
  EXPECT_EQ(got.header.headerSize, 304u);
  EXPECT_EQ(got.header.dataLength, 0u);
  EXPECT_EQ(got.header.flowHandle, 0x1234u);
}

TEST_F(EventQueueTest, LogEventsStopAt1010Queued) {
  while (g_TvnEventListSize.load() < 1009) AppendEvent(EventUdpDatagram, 0);
  TvnLogEvent("1010th", STATUS_SUCCESS, 0, false);
  EXPECT_EQ(g_TvnEventListSize.load(), 1010u);
  TvnLogEvent("dropped", STATUS_SUCCESS, 0, false);
  EXPECT_EQ(g_TvnEventListSize.load(), 1010u);
  std::vector<std::string> trace = ksim::TraceLines();
  EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const std::string& l) { return l.rfind("dropped", 0) == 0; }));
  std::vector<std::string> texts = DrainTexts();
  ASSERT_EQ(texts.size(), 1010u);
  EXPECT_EQ(texts.back(), "1010th");
}

TEST_F(EventQueueTest, ClosingTheHandleCancelsItsParkedReadAndStops) {
  ksim::CRequest parked = m_client.Submit(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
  m_client.Close();
  auto cancelled = parked.Wait(milliseconds(1000));
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
  EXPECT_FALSE(g_TvnStarted.load());
  ASSERT_EQ(m_client.Open(), 0u);
  EXPECT_EQ(DrainTexts(), std::vector<std::string>{"Tavrin stopped."});
}

TEST_F(EventQueueTest, ClosingTheHandleWhileStartedKeepsOnlyLogEvents) {
  TvnLogEvent("kept", STATUS_SUCCESS, 0, false);
  AppendEvent(EventUdpDatagram, 12);
  AppendEvent(EventFlowEstablished, 4);
  m_client.Close();
  ASSERT_EQ(m_client.Open(), 0u);
  std::vector<SEvent> events = Drain();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Text(), "kept");
  EXPECT_EQ(events[1].Text(), "Tavrin stopped.");
  EXPECT_EQ(events[1].header.typeBlock.log.status, 0u);
  EXPECT_EQ(events[1].header.typeBlock.log.value, 2u);
  // Closing a stopped engine's handle reports nothing.
  m_client.Close();
  ASSERT_EQ(m_client.Open(), 0u);
  EXPECT_EQ(g_TvnEventListSize.load(), 0u);
}

TEST_F(EventQueueTest, StartPurgesTheOldLogEventsFirst) {
  TvnLogEvent("old", STATUS_SUCCESS, 0, false);
  ASSERT_EQ(Call(IOCTL_PALVEX_STOP).status, STATUS_SUCCESS);
  ASSERT_EQ(Call(IOCTL_PALVEX_START).status, STATUS_SUCCESS);
  EXPECT_EQ(DrainTexts(), std::vector<std::string>{"Tavrin started."});
}

TEST_F(EventQueueTest, AnEmergencyStopSaysSo) {
  EXPECT_TRUE(TvnStopEngine(true));
  EXPECT_FALSE(TvnStopEngine(true));
  std::vector<SEvent> events = Drain();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Text(), "Tavrin stopped.");
  EXPECT_EQ(events[0].header.typeBlock.log.status, 1u);
}

TEST_F(EventQueueTest, DequeueCanSkipLogEventsAndPurgeCanKeepThem) {
  TvnLogEvent("log", STATUS_SUCCESS, 0, false);
  AppendEvent(EventUdpDatagram, 2);
  AppendEvent(EventFlowDeleted, 0);
  uint32_t size = 400;
  DriverEvent* event = TvnEventListDequeue(&size, true);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->eventType, EventUdpDatagram);
  EXPECT_EQ(size, 306u);
  TvnFreeEvent(event);
  size = 303;
  EXPECT_EQ(TvnEventListDequeue(&size, true), nullptr);  // the flow event needs 304
  EXPECT_EQ(size, 304u);
  TvnEventListPurge(true);
  EXPECT_EQ(DrainTexts(), std::vector<std::string>{"log"});
  size = 1000;
  EXPECT_EQ(TvnEventListDequeue(&size, false), nullptr);
  EXPECT_EQ(size, 0u);
}

}  // namespace
}  // namespace drvtest
