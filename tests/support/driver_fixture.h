// A driver loaded on the simulated facade with one open client, and helpers
// to build requests and read events back.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "PalvexDrv/device.h"
#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/kernel/kernel_sim.h"
#include "PalvexDrv/pool_tags.h"
#include "shared/driver_records.h"
#include "shared/driver_requests.h"

namespace drvtest {

constexpr uint32_t kReadCapacity = 4096;

struct SEvent {
  DriverEvent header{};
  std::vector<uint8_t> data;

  // The text of an EventLog, without its NUL.
  std::string Text() const {
    if (data.empty()) return {};
    return std::string(data.begin(), data.end() - 1);
  }
};

inline SEvent ParseEvent(const std::vector<uint8_t>& bytes) {
  SEvent event;
  EXPECT_GE(bytes.size(), kDriverEventHeaderSize);
  if (bytes.size() < kDriverEventHeaderSize) return event;
  std::memcpy(&event.header, bytes.data(), kDriverEventHeaderSize);
  event.data.assign(bytes.begin() + kDriverEventHeaderSize, bytes.end());
  EXPECT_EQ(event.data.size(), event.header.dataLength);
  return event;
}

template <typename T>
std::vector<uint8_t> Bytes(const T& record) {
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

// The configuration the program sends, optionally changed.
inline std::vector<uint8_t> ConfigBytes(const std::function<void(DriverConfig&)>& change = {}) {
  auto config = std::make_unique<DriverConfig>();
  std::memset(config.get(), 0, sizeof(DriverConfig));
  config->size = sizeof(DriverConfig);
  config->serviceProcessId = 4242;
  config->datagramFlags = kDatagramFlagAbsorb | kDatagramFlagQueryShape;
  config->staleEventSeconds = 10;
  if (change) change(*config);
  return Bytes(*config);
}

inline std::vector<uint8_t> InjectUdpBytes(uint32_t packetBytes, const std::function<void(InjectUdpHeader&)>& change = {}) {
  InjectUdpHeader header{};
  header.headerSize = kInjectUdpHeaderSize;
  header.packetLength = packetBytes;
  header.addressFamily = kRecordFamilyInet;
  header.receive = 1;
  if (change) change(header);
  std::vector<uint8_t> bytes = Bytes(header);
  bytes.resize(bytes.size() + packetBytes, 0x45);
  return bytes;
}

// A queued event of type with dataLength bytes of data, appended as a classify function would.
inline void AppendEvent(DriverEventType type, uint32_t dataLength, uint8_t fill = 0) {
  DriverEvent* event = TvnAllocateEvent(dataLength);
  ASSERT_NE(event, nullptr);
  event->eventType = type;
  std::memset(DriverEventData(event), fill, dataLength);
  TvnEventListAppend(event);
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ksim::ResetPool();
    ksim::ClearTrace();
    ksim::SetInterruptTime(1000);
    ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(m_client.Open(), 0u);
  }

  void TearDown() override {
    ksim::CompleteInjections();  // the platform finishes what it was given
    m_client.Close();
    ksim::UnloadDriver();
    EXPECT_EQ(ksim::LivePoolBlocks(), 0u) << "pool blocks leaked";
    EXPECT_EQ(ksim::CancelFailures(), 0u) << "a chosen failure was never reached";
  }

  ksim::SCompletion Call(uint32_t code, std::vector<uint8_t> input = {}, uint32_t outputCapacity = 0) {
    return m_client.Call(code, std::move(input), outputCapacity);
  }

  void Configure() { ASSERT_EQ(Call(IOCTL_PALVEX_SET_CONFIG, ConfigBytes()).status, STATUS_SUCCESS); }

  void ConfigureAndStart() {
    Configure();
    ASSERT_EQ(Call(IOCTL_PALVEX_START).status, STATUS_SUCCESS);
  }

  // Reads every queued event; never parks, since it stops at an empty list.
  std::vector<SEvent> Drain() {
    std::vector<SEvent> events;
    for (int i = 0; i < 2000 && g_TvnEventListSize.load() != 0; ++i) {
      ksim::SCompletion completion = Call(IOCTL_PALVEX_GET_EVENT, {}, kReadCapacity);
      EXPECT_EQ(completion.status, STATUS_SUCCESS);
      if (completion.status != STATUS_SUCCESS || completion.output.empty()) break;
      events.push_back(ParseEvent(completion.output));
    }
    return events;
  }

  // The texts of the queued events, in order (non-log events as "#type").
  std::vector<std::string> DrainTexts() {
    std::vector<std::string> texts;
    for (const SEvent& event : Drain())
      texts.push_back(event.header.eventType == EventLog ? event.Text()
                                                         : "#" + std::to_string(event.header.eventType));
    return texts;
  }

  ksim::CClient m_client;
};

}  // namespace drvtest
