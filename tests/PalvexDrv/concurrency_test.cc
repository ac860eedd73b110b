// Classify threads, the dispatcher and the stops all at once. Meant for the
// thread-sanitizer build as much as the plain one; every wait is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "PalvexDrv/driver_config.h"
#include "PalvexDrv/engine_state.h"
#include "PalvexDrv/datagram_diversion.h"
#include "tests/support/driver_fixture.h"
#include "tests/PalvexDrv/filter_fixture.h"

namespace drvtest {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kProducers = 4;
constexpr uint32_t kEventsPerProducer = 250;

void AppendNumbered(uint8_t producer, uint32_t sequence) {
  DriverEvent* event = TvnAllocateEvent(5);
  ASSERT_NE(event, nullptr);
  event->eventType = EventUdpDatagram;
  uint8_t* data = DriverEventData(event);
  data[0] = producer;
  std::memcpy(data + 1, &sequence, 4);
  TvnEventListAppend(event);
}

using ConcurrencyTest = DriverTest;

TEST_F(ConcurrencyTest, ProducersAgainstAParkedReaderDeliverEveryEventOnceInOrder) {
  ConfigureAndStart();
  Drain();
  std::atomic<bool> producing{true};
  std::vector<uint32_t> next(kProducers, 0);
  int received = 0, outOfOrder = 0, emptyCompletions = 0;

  std::thread reader([&] {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (received < kProducers * static_cast<int>(kEventsPerProducer) && Clock::now() < deadline) {
      auto completion = m_client.Submit(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity).Wait(milliseconds(5000));
      if (!completion) break;
      if (completion->status != STATUS_SUCCESS) break;
      if (completion->output.empty()) {
        ++emptyCompletions;
        continue;
      }
      SEvent event = ParseEvent(completion->output);
      if (event.header.eventType != EventUdpDatagram) continue;
      uint8_t producer = event.data[0];
      uint32_t sequence;
      std::memcpy(&sequence, event.data.data() + 1, 4);
      if (producer >= kProducers || sequence != next[producer]) ++outOfOrder;
      if (producer < kProducers) next[producer] = sequence + 1;
      ++received;
    }
  });
  // The dispatcher is busy with other requests meanwhile.
  std::thread injector([&] {
    for (int i = 0; i < 300 && producing.load(); ++i)
      EXPECT_EQ(m_client.Call(IOCTL_PALVEX_INJECT_UDP, InjectUdpBytes(60)).status, STATUS_SUCCESS);
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([p] {
      for (uint32_t s = 0; s < kEventsPerProducer; ++s) AppendNumbered(static_cast<uint8_t>(p), s);
    });
  for (auto& t : producers) t.join();
  reader.join();
  producing.store(false);
  injector.join();
  EXPECT_EQ(received, kProducers * static_cast<int>(kEventsPerProducer));
  EXPECT_EQ(outOfOrder, 0);
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kEventsPerProducer) << "producer " << p;
  EXPECT_EQ(g_TvnEventListSize.load(), 0u);
  EXPECT_EQ(Call(IOCTL_PALVEX_STOP).status, STATUS_SUCCESS);
}

TEST_F(ConcurrencyTest, ConcurrentStopsStopOnceAndReportOnce) {
  Configure();
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(Call(IOCTL_PALVEX_START).status, STATUS_SUCCESS);
    Drain();
    std::atomic<int> stopped{0};
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 4; ++i)
      stoppers.emplace_back([&, i] { stopped += TvnStopEngine(i % 2 == 1) ? 1 : 0; });
    stoppers.emplace_back([&] { stopped += Call(IOCTL_PALVEX_STOP).status == STATUS_SUCCESS ? 1 : 0; });
    for (auto& t : stoppers) t.join();
    EXPECT_EQ(stopped.load(), 1);
    EXPECT_EQ(DrainTexts(), std::vector<std::string>{"Tavrin stopped."});
  }
}

TEST_F(ConcurrencyTest, ConcurrentLoggersNeverPassTheLogCap) {
  while (g_TvnEventListSize.load() < kTvnEventListLimit) AppendEvent(EventUdpDatagram, 0);
  std::vector<std::thread> loggers;
  for (int i = 0; i < 8; ++i)
    loggers.emplace_back([] {
      for (int n = 0; n < 10; ++n) TvnLogEvent("late", STATUS_SUCCESS, 0, false);
    });
  for (auto& t : loggers) t.join();
  EXPECT_EQ(g_TvnEventListSize.load(), kTvnLogEventLimit);
}

TEST_F(ConcurrencyTest, ReadersNeverSeeHalfAConfiguration) {
  Configure();
  std::atomic<bool> writing{true};
  std::atomic<int> mixed{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r)
    readers.emplace_back([&] {
      while (writing.load()) {
        CTvnConfigRef config = TvnAcquireConfig();
        uint32_t generation = config->blockTcpPort53;
        if (config->insertLength != generation || config->insertBytes[999] != uint8_t(generation) ||
            config->reserved2[198] != 0)
          ++mixed;
        ++reads;
      }
    });
  // The readers run before the first write, however fast the writes are.
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (reads.load() < 3 && Clock::now() < deadline) std::this_thread::yield();
  for (uint32_t generation = 1; generation <= 200; ++generation) {
    auto bytes = ConfigBytes([generation](DriverConfig& c) {
      c.blockTcpPort53 = generation;
      c.insertLength = generation;
      c.insertBytes[999] = uint8_t(generation);
    });
    ASSERT_EQ(Call(IOCTL_PALVEX_SET_CONFIG, bytes).status, STATUS_SUCCESS);
  }
  writing.store(false);
  for (auto& t : readers) t.join();
  EXPECT_EQ(mixed.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

using FilterConcurrencyTest = FilterTest;

// Flows open, carry queries and end on several threads while the reader
// drains and a stop removes every context under them.
TEST_F(FilterConcurrencyTest, ParallelFlowsSurviveAStopInTheirMidst) {
  StartWith([](DriverConfig& c) { c.staleEventSeconds = 0; });
  constexpr uint64_t kFlowsPerThread = 150;
  std::atomic<int> running{kProducers};
  std::vector<std::thread> threads;
  for (int t = 0; t < kProducers; ++t)
    threads.emplace_back([this, t, &running] {
      for (uint64_t i = 0; i < kFlowsPerThread; ++i) {
        uint64_t flow = 0x10000 * (t + 1) + i;
        OpenFlow({}, flow);
        ksim::Classify(Datagram({}, false, DnsMessage(), flow));
        ksim::Classify(Datagram({}, true, DnsMessage("example.com", 1, 1, 1), flow));
        if (i % 2) ksim::EndFlow(flow);
      }
      running.fetch_sub(1);
    });
  auto deadline = Clock::now() + std::chrono::seconds(20);
  bool stopped = false;
  while (running.load() > 0 && Clock::now() < deadline) {
    if (g_TvnEventListSize.load() != 0) Call(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
    // Once flows are held, so that the stop removes contexts under classifications.
    if (!stopped && TvnFlowCount() >= 40) stopped = Call(IOCTL_PALVEX_STOP).status == STATUS_SUCCESS;
    std::this_thread::yield();
  }
  for (auto& t : threads) t.join();
  if (!stopped) {
    ASSERT_EQ(Call(IOCTL_PALVEX_STOP).status, STATUS_SUCCESS);
  }
  EXPECT_EQ(TvnFlowCount(), 0u);
  EXPECT_EQ(ksim::Filtering().flowContexts, 0u);
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagFlow), 0u);
}

}  // namespace
}  // namespace drvtest
