// The driver client against the driver's own code on the simulated kernel,
// served on a real Unix socket. Events are queued in the driver as its
// classify functions would; what the client sends back is read off the
// socket.
#include "Quorvane/engine/net_filter_processor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "PalvexDrv/device.h"
#include "PalvexDrv/engine_state.h"
#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/kernel/kernel_sim.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/platform/clock.h"
#include "shared/driver_requests.h"
#include "tests/support/sim_driver_listener.h"
#include "tests/support/temp_folder.h"
#include "tests/support/bounded_wait.h"

namespace {

using namespace std::chrono_literals;

// Checksum of bytes as a receiver verifies it: 16-bit big-endian words
// summed in 32 bits, folded at the end.
uint16_t Fold(uint64_t sum) {
  while (sum > 0xFFFF) sum = (sum >> 16) + (sum & 0xFFFF);
  return static_cast<uint16_t>(sum);
}
uint64_t WordSum(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  uint64_t sum = 0;
  for (size_t i = from; i < to; i += 2) sum += (bytes[i] << 8) + (i + 1 < to ? bytes[i + 1] : 0);
  return sum;
}
uint16_t Be16(const std::vector<uint8_t>& bytes, size_t at) { return uint16_t(bytes[at] << 8 | bytes[at + 1]); }

// True when the IP header (v4) and the UDP checksum over its pseudo-header verify.
bool ChecksumsVerify(const std::vector<uint8_t>& packet) {
  bool v4 = (packet[0] >> 4) == 4;
  size_t udp = v4 ? 20 : 40;
  uint64_t pseudo;
  if (v4) {
    if (Fold(WordSum(packet, 0, 20)) != 0xFFFF) return false;
    pseudo = WordSum(packet, 12, 20) + 17 + (packet.size() - udp);
  } else {
    pseudo = WordSum(packet, 8, 40) + 17 + (packet.size() - udp);
  }
  return Be16(packet, udp + 6) != 0 && Fold(pseudo + WordSum(packet, udp, packet.size())) == 0xFFFF;
}

sockaddr_storage Address(const char* text, uint16_t port) {
  sockaddr_storage out{};
  if (std::strchr(text, ':')) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&out);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    inet_pton(AF_INET6, text, &a->sin6_addr);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&out);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, text, &a->sin_addr);
  }
  return out;
}

SOCKADDR_INET Record(const char* text, uint16_t port) {
  SOCKADDR_INET out{};
  out.port = htons(port);
  if (std::strchr(text, ':')) {
    out.family = kRecordFamilyInet6;
    inet_pton(AF_INET6, text, out.ipv6.address);
  } else {
    out.family = kRecordFamilyInet;
    inet_pton(AF_INET, text, out.ipv4);
  }
  return out;
}

std::vector<uint8_t> Utf16WithNul(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (char c : text) bytes.insert(bytes.end(), {uint8_t(c), 0});
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// A query for "a.test" of the given size (padded after the question).
std::vector<uint8_t> Query(size_t size = 24) {
  std::vector<uint8_t> q = {0xAB, 0xCD, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
  q.resize(std::max(size, q.size()), 0);
  return q;
}

struct SQuery {
  std::vector<uint8_t> message;
  sockaddr_storage client, server;
  std::wstring program;
  uint32_t processId;
};

// Members are public: table cases arrange through them.
class NetFilterTest : public ::testing::Test {
 public:
  void SetUp() override {
    g_LogLevelScreen = LogDebug;
    m_requests.clear();
    m_queries.clear();
    m_log.clear();
    std::list<SLogLine> stale;
    SwapLogQueue(stale, true);
    ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
    m_socket = m_folder.Path() / "PalvexDrv";
    m_listener = std::make_unique<testsupport::CSimDriverListener>(m_socket);
    m_listener->SetRequestObserver([this](const SControlRequest& request) {
      std::lock_guard lock(m_mutex);
      m_requests.push_back(request);
    });
    platform::SetControlDeviceSocket(m_socket);
    m_client = std::make_unique<CNetFilterProcessor>();
    m_client->SetEngineStartForTesting([this] { ++m_engineStarts; });
    m_client->SetQueryHandlerForTesting([this](uint8_t* packet, uint32_t& length, const DatagramContext&,
                                               const sockaddr_storage& client, const sockaddr_storage& server,
                                               const std::wstring& program, uint32_t processId) {
      std::lock_guard lock(m_mutex);
      m_queries.push_back({{packet, packet + length}, client, server, program, processId});
      if (m_verdict.load() == InterceptAnswered) {
        packet[2] |= 0x80;  // a response now
        std::memset(packet + length, 0x5A, 16);
        length += 16;
      }
      return m_verdict.load();
    });
  }

  void TearDown() override {
    m_holder.reset();
    m_client.reset();
    m_listener.reset();
    ksim::CompleteInjections();  // the platform finishes what it was given
    ksim::UnloadDriver();
    platform::SetControlDeviceSocket(platform::kDefaultControlSocket);
    platform::SetClockSourceForTesting(nullptr);
  }

  void OpenAndStart() {
    std::wstring error;
    ASSERT_TRUE(m_client->Open(error)) << std::string(error.begin(), error.end());
    ASSERT_TRUE(m_client->Configure(false, false));
    ASSERT_TRUE(m_client->Start());
    ASSERT_TRUE(WaitForLog("Network Engine started."));
  }

  // Every screen line so far, one per line.
  std::string Logs() {
    std::list<SLogLine> lines;
    SwapLogQueue(lines, true);
    for (auto& line : lines) m_log += std::string(line.text.begin(), line.text.end()) + "\n";
    return m_log;
  }
  bool HasLine(const std::string& line) { return ("\n" + Logs()).find("\n" + line + "\n") != std::string::npos; }
  bool WaitForLog(const std::string& text) {
    if (testsupport::WaitUntil([&] { return Logs().find(text) != std::string::npos; })) return true;
    ADD_FAILURE() << "no log line with \"" << text << "\" in:\n" << m_log;
    return false;
  }

  // Queues an event in the driver, as a classify function does, and lets
  // the completed read reach the client.
  void Queue(DriverEventType type, const std::vector<uint8_t>& data,
             const std::function<void(DriverEvent&)>& change = {}) {
    DriverEvent* event = TvnAllocateEvent(static_cast<uint32_t>(data.size()));
    ASSERT_NE(event, nullptr);
    event->eventType = type;
    if (!data.empty()) std::memcpy(DriverEventData(event), data.data(), data.size());
    if (change) change(*event);
    TvnEventListAppend(event);
    m_listener->Flush();
  }
  // An outbound datagram as the driver reports it: UDP header, then message.
  void QueueDatagram(const char* client, const char* server, const std::vector<uint8_t>& message, uint32_t processId,
                     bool inbound = false) {
    std::vector<uint8_t> data = {0x30, 0x39, 0, 53, uint8_t((message.size() + 8) >> 8), uint8_t(message.size() + 8), 0, 0};
    data.insert(data.end(), message.begin(), message.end());
    Queue(EventUdpDatagram, data, [&](DriverEvent& e) {
      e.processId = processId;
      e.inbound = inbound;
      e.sourceAddress = Record(inbound ? server : client, inbound ? 53 : 12345);
      e.destinationAddress = Record(inbound ? client : server, inbound ? 12345 : 53);
      e.typeBlock.datagram.transportHeaderSize = 8;
      e.typeBlock.datagram.interfaceIndex = 7;
      e.typeBlock.datagram.endpointHandle = 0x1122334455667788;
    });
  }
  void QueueFlow(uint32_t processId, const std::string& imagePath) {
    auto appId = Utf16WithNul(imagePath);
    Queue(EventFlowEstablished, appId, [&](DriverEvent& e) {
      e.processId = processId;
      e.appIdLength = static_cast<uint32_t>(appId.size());
    });
  }

  std::vector<SControlRequest> Requests(uint32_t code) {
    std::lock_guard lock(m_mutex);
    std::vector<SControlRequest> out;
    for (auto& r : m_requests)
      if (r.code == code) out.push_back(r);
    return out;
  }
  // The packets of the InjectUdp requests so far, with their headers.
  std::vector<std::pair<InjectUdpHeader, std::vector<uint8_t>>> Injected(size_t atLeast = 0) {
    testsupport::WaitUntil([&]() -> bool { return Requests(IOCTL_PALVEX_INJECT_UDP).size() >= atLeast; });
    std::vector<std::pair<InjectUdpHeader, std::vector<uint8_t>>> out;
    for (auto& r : Requests(IOCTL_PALVEX_INJECT_UDP)) {
      InjectUdpHeader header;
      std::memcpy(&header, r.input.data(), sizeof header);
      out.push_back({header, {r.input.begin() + kInjectUdpHeaderSize, r.input.end()}});
    }
    return out;
  }
  size_t QueryCount(size_t atLeast) {
    testsupport::WaitUntil([&] {
      std::lock_guard lock(m_mutex);
      return m_queries.size() >= atLeast;
    });
    std::lock_guard lock(m_mutex);
    return m_queries.size();
  }

  platform::FakeClock m_clock;  // outlives the client's thread
  testsupport::TempFolder m_folder;
  std::filesystem::path m_socket;
  std::unique_ptr<testsupport::CSimDriverListener> m_listener;
  std::unique_ptr<CNetFilterProcessor> m_client;
  std::unique_ptr<CNetFilterProcessor> m_holder;  // another program holding the device
  std::atomic<int> m_engineStarts{0};
  std::mutex m_mutex;
  std::vector<SControlRequest> m_requests;
  std::vector<SQuery> m_queries;
  std::atomic<int> m_verdict{InterceptAbsorbed};
  std::string m_log;
};

// Each case on a fresh driver: a closed handle reaches the driver only a
// moment later, so cases must not share one.
struct SOpenCase {
  const char* name;
  std::function<void(NetFilterTest&)> arrange;
  bool opens;
  const char* errorText;
  const char* logged;
};
class OpenDevice : public NetFilterTest, public ::testing::WithParamInterface<SOpenCase> {};

TEST_P(OpenDevice, ReportsEachFailureAndChecksTheVersion) {
  const SOpenCase& c = GetParam();
  c.arrange(*this);
  CNetFilterProcessor client;
  std::wstring error;
  EXPECT_EQ(client.Open(error), c.opens);
  EXPECT_EQ(std::string(error.begin(), error.end()), c.errorText);
  if (*c.logged) {
    EXPECT_NE(Logs().find(c.logged), std::string::npos) << m_log;
  }
}

std::function<void(NetFilterTest&)> DriverVersion(uint32_t value, size_t bytes) {
  return [=](NetFilterTest& t) {
    t.m_listener->SetReplyRewrite([=](uint32_t code, SControlReply& reply) {
      if (code != IOCTL_PALVEX_GET_DRIVER_VERSION) return;
      reply.output.assign(reinterpret_cast<const uint8_t*>(&value), reinterpret_cast<const uint8_t*>(&value) + bytes);
      reply.information = bytes;
    });
  };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenDevice,
    ::testing::Values(
        SOpenCase{"running", [](NetFilterTest&) {}, true, "", "Driver version 118 running."},
        SOpenCase{"missing", [](NetFilterTest& t) { platform::SetControlDeviceSocket(t.m_folder.Path() / "none"); },
                  false, "Tarnwick driver is not running.", ""},
        SOpenCase{"held",
                  [](NetFilterTest& t) {
                    std::wstring ignored;
                    t.m_holder = std::make_unique<CNetFilterProcessor>();
                    t.m_holder->Open(ignored);
                  },
                  false, "Cannot start Tarnwick driver: CreateFileW failed with error 5", ""},
        SOpenCase{"old_version", DriverVersion(117, 4), false, "Driver version must be 118", "Driver version 117 running."},
        SOpenCase{"short_version", DriverVersion(118, 2), false,
                  "GetDriverVersion failed with error: Incorrect number of bytes returned", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetFilterTest, ConfigureSendsTheWholeRecord) {
  std::wstring error;
  ASSERT_TRUE(m_client->Open(error));
  ASSERT_TRUE(m_client->Configure(true, true));
  auto sent = Requests(IOCTL_PALVEX_SET_CONFIG);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].input.size(), sizeof(DriverConfig));
  auto expected = std::make_unique<DriverConfig>();
  std::memset(expected.get(), 0, sizeof(DriverConfig));
  expected->size = sizeof(DriverConfig);
  expected->serviceProcessId = static_cast<uint32_t>(getpid());
  expected->datagramFlags = 3;
  expected->blockTcpPort53 = 1;
  expected->staleEventSeconds = 10;
  expected->interceptOthers = 1;
  EXPECT_EQ(std::memcmp(sent[0].input.data(), expected.get(), sizeof(DriverConfig)), 0);
}

TEST_F(NetFilterTest, StartRunsTheEngineOnceAndStopEndsTheThreadOnTheStopEvent) {
  OpenAndStart();
  EXPECT_TRUE(HasLine("Engine started.")) << m_log;
  EXPECT_EQ(m_engineStarts, 1);
  EXPECT_TRUE(m_client->Stop());
  EXPECT_TRUE(WaitForLog("Network Engine stopped."));
  EXPECT_EQ(Logs().find("GetEvent failed"), std::string::npos) << m_log;
}

TEST_F(NetFilterTest, AStopRightAfterStartIsNotLost) {
  std::wstring error;
  ASSERT_TRUE(m_client->Open(error));
  ASSERT_TRUE(m_client->Configure(false, false));
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(m_client->Start());
    ASSERT_TRUE(m_client->Stop());
  }
  EXPECT_EQ(m_engineStarts, 5);
}

TEST_F(NetFilterTest, AnEmergencyStopRestartsTheDriversEngine) {
  OpenAndStart();
  Logs();
  m_log.clear();
  ASSERT_TRUE(TvnStopEngine(true));
  m_listener->Flush();
  ASSERT_TRUE(WaitForLog("Network Engine was stopped automatically. Restarting."));
  EXPECT_TRUE(WaitForLog("Network Engine started."));  // the driver's start event after the restart
  EXPECT_EQ(m_log.find("Start failed"), std::string::npos) << m_log;
  EXPECT_EQ(Requests(IOCTL_PALVEX_START).size(), 2u);
}

// The host crashed and was started again: the client keeps the failed read's
// line, then reopens once a second and configures and starts the fresh driver.
TEST_F(NetFilterTest, TheClientComesBackWhenTheDriverHostRestarts) {
  platform::SetClockSourceForTesting(&m_clock);
  std::wstring error;
  ASSERT_TRUE(m_client->Open(error));
  ASSERT_TRUE(m_client->Configure(true, false));
  ASSERT_TRUE(m_client->Start());
  ASSERT_TRUE(WaitForLog("Network Engine started."));

  const uint64_t waits = m_clock.WaitsBegun();
  m_listener.reset();
  ksim::UnloadDriver();
  ASSERT_TRUE(WaitForLog("GetEvent failed with error GetOverlappedResult failed with error 1167"));
  // The first attempt finds no host yet; its reason is logged once.
  ASSERT_TRUE(m_clock.AwaitWaitsBegun(waits + 1, 5s));
  m_clock.AdvanceMs(CNetFilterProcessor::kReconnectIntervalMs);
  ASSERT_TRUE(m_clock.AwaitWaitsBegun(waits + 2, 5s));
  EXPECT_TRUE(WaitForLog("Tarnwick driver is not running."));

  ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
  m_listener = std::make_unique<testsupport::CSimDriverListener>(m_socket);
  m_listener->SetRequestObserver([this](const SControlRequest& request) {
    std::lock_guard lock(m_mutex);
    m_requests.push_back(request);
  });
  m_clock.AdvanceMs(CNetFilterProcessor::kReconnectIntervalMs - 1);
  m_clock.AdvanceMs(1);
  ASSERT_TRUE(WaitForLog("Driver connection restored."));
  EXPECT_TRUE(WaitForLog("Network Engine started."));
  EXPECT_EQ(Requests(IOCTL_PALVEX_GET_DRIVER_VERSION).size(), 2u);
  auto configs = Requests(IOCTL_PALVEX_SET_CONFIG);
  ASSERT_EQ(configs.size(), 2u);
  EXPECT_EQ(configs[1].input, configs[0].input);  // the settings Configure was given
  EXPECT_EQ(Requests(IOCTL_PALVEX_START).size(), 2u);
  EXPECT_EQ(m_engineStarts, 1);  // the DNS engine runs on
  std::string log = Logs();
  EXPECT_EQ(log.find("Tarnwick driver is not running."), log.rfind("Tarnwick driver is not running."));

  QueueDatagram("10.0.0.2", "10.0.0.1", Query(), 42);
  EXPECT_EQ(QueryCount(1), 1u);
  EXPECT_TRUE(m_client->Stop());
  EXPECT_TRUE(WaitForLog("Network Engine stopped."));
}

// A stop while the host is away ends the waiting thread at once.
TEST_F(NetFilterTest, AStopWhileTheHostIsAwayEndsTheThread) {
  platform::SetClockSourceForTesting(&m_clock);
  OpenAndStart();
  m_listener.reset();
  ASSERT_TRUE(WaitForLog("GetEvent failed with error"));
  EXPECT_FALSE(m_client->Stop());  // nothing to send the stop to
  m_client.reset();                // joins the thread without a clock step
  EXPECT_EQ(Logs().find("Driver connection restored."), std::string::npos);
}

TEST_F(NetFilterTest, DriverLogEventsBecomeTheirStatements) {
  OpenAndStart();
  struct SCase {
    const char* text;
    uint64_t status, value;
    bool information;
    const char* logged;
  } cases[] = {
      {"x", 0, 1, true, "Network Engine started."},
      {"12:FWPS_PACKET_INJECTED_BY_OTHER", 0, 0, false, "Third party DNS filter detected on the system."},
      {"13:FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF seen", 0, 0, false, "13:FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF seen"},
      {"55:boom", 0xC0000001, 7, false, "Network Engine: 55:boom (error = 3221225473, param = 7)"},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.text);
    m_log.clear();
    TvnLogEvent(c.text, static_cast<NTSTATUS>(c.status), c.value, c.information);
    m_listener->Flush();
    EXPECT_TRUE(WaitForLog(c.logged));
  }
}

TEST_F(NetFilterTest, TcpConnectsAreLoggedWithTheirVerdictServerAndProgram) {
  OpenAndStart();
  struct SCase {
    uint32_t verdict;
    const char* server;
    const char* imagePath;
    const char* logged;
  } cases[] = {
      {2, "10.53.0.1", "/usr/bin/dig", "TCP DNS request - blocked : server=10.53.0.1:53, program=dig, pid=77\n"},
      {1, "fd53::1", "/usr/bin/dig", "TCP DNS request - bypassed : server=fd53::1:53, program=dig, pid=77\n"},
      {2, "10.53.0.1", "dig", "TCP DNS request - blocked : server=10.53.0.1:53, program=, pid=77\n"},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.logged);
    auto appId = Utf16WithNul(c.imagePath);
    Queue(EventTcpConnect, appId, [&](DriverEvent& e) {
      e.verdict = c.verdict;
      e.processId = 77;
      e.appIdLength = static_cast<uint32_t>(appId.size());
      e.destinationAddress = Record(c.server, 53);
    });
    EXPECT_TRUE(WaitForLog(c.logged));
  }
}

TEST_F(NetFilterTest, AnEventLargerThanTheBufferIsReadAgainIntoAGrownBuffer) {
  OpenAndStart();
  // 2000 bytes in all: the program's path fills the data.
  std::string path = "/" + std::string((2000 - kDriverEventHeaderSize) / 2 - 7, 'p') + "/prog";
  auto appId = Utf16WithNul(path);
  ASSERT_EQ(appId.size(), 2000 - kDriverEventHeaderSize);
  Queue(EventTcpConnect, appId, [&](DriverEvent& e) {
    e.verdict = 2;
    e.appIdLength = static_cast<uint32_t>(appId.size());
    e.destinationAddress = Record("10.53.0.1", 53);
  });
  ASSERT_TRUE(WaitForLog("program=prog,"));
  // The read after it is parked with the grown buffer.
  auto capacities = [&] {
    std::vector<uint32_t> out;
    for (auto& r : Requests(IOCTL_PALVEX_GET_EVENT)) out.push_back(r.outputCapacity);
    return out;
  };
  auto grown = [&] { auto sizes = capacities(); return std::count(sizes.begin(), sizes.end(), 2000u); };
  testsupport::WaitUntil([&]() -> bool { return grown() >= 2; });
  std::vector<uint32_t> sizes = capacities();
  EXPECT_EQ(sizes.front(), kDriverEventHeaderSize);
  auto first = std::find(sizes.begin(), sizes.end(), 2000u);
  ASSERT_NE(first, sizes.end());
  ASSERT_NE(first, sizes.begin());
  EXPECT_LT(*(first - 1), 2000u);  // the read that was too small, sent once more grown
  EXPECT_GE(sizes.end() - first, 2);
  EXPECT_TRUE(std::all_of(first, sizes.end(), [](uint32_t size) { return size == 2000; }));
}

// The reads sent ahead stay parked after the stop ended the event thread:
// what reaches them is read by the next thread, in the driver's order.
TEST_F(NetFilterTest, ReadsAheadKeepTheDriversOrderAndLoseNothingAcrossStopAndStart) {
  OpenAndStart();
  auto queue = [&](int batch) {
    for (int i = 0; i < 100; ++i) TvnLogEvent((std::to_string(batch) + ":" + std::to_string(i)).c_str(), STATUS_UNSUCCESSFUL, 0, false);
    m_listener->Flush();
  };
  queue(1);
  ASSERT_TRUE(WaitForLog("Network Engine: 1:99 ("));
  ASSERT_TRUE(m_client->Stop());
  ASSERT_TRUE(WaitForLog("Network Engine stopped."));
  ASSERT_TRUE(m_client->Start());  // the driver drops what it held while stopped
  queue(2);
  queue(3);
  ASSERT_TRUE(WaitForLog("Network Engine: 3:99 ("));
  size_t last = 0;
  for (int batch = 1; batch <= 3; ++batch) {
    for (int i = 0; i < 100; ++i) {
      const std::string line = "Network Engine: " + std::to_string(batch) + ":" + std::to_string(i) + " (";
      size_t at = m_log.find(line);
      ASSERT_NE(at, std::string::npos) << line << " missing in:\n" << m_log;
      EXPECT_EQ(m_log.find(line, at + 1), std::string::npos) << line << " twice";
      EXPECT_GT(at, last) << line << " out of order";
      last = at;
    }
  }
  EXPECT_EQ(m_log.find("GetEvent failed"), std::string::npos) << m_log;
}

// An event that waits in the driver goes at once to a read that arrives,
// while older reads stay parked: played here by handing a completed read's
// reply to the youngest read outstanding. That read is taken at once.
TEST_F(NetFilterTest, AReadTheDriverCompletesAheadOfOlderOnesIsTakenAtOnce) {
  std::atomic<bool> armed{false}, moved{false};
  std::set<uint64_t> answered;  // listener thread only
  m_listener->SetReplyRewrite([&](uint32_t code, SControlReply& reply) {
    if (code == IOCTL_PALVEX_GET_EVENT && !reply.output.empty() && armed.exchange(false)) {
      std::lock_guard lock(m_mutex);
      for (auto it = m_requests.rbegin(); it != m_requests.rend(); ++it) {
        if (it->code != IOCTL_PALVEX_GET_EVENT || answered.count(it->tag)) continue;
        if (it->tag > reply.tag) {
          reply.tag = it->tag;
          moved = true;
        }
        break;
      }
    }
    answered.insert(reply.tag);
  });
  OpenAndStart();
  armed = true;
  TvnLogEvent("early", STATUS_UNSUCCESSFUL, 0, false);
  m_listener->Flush();
  EXPECT_TRUE(WaitForLog("Network Engine: early ("));
  EXPECT_TRUE(moved) << "no younger read was outstanding";
}

// InjectUdp returns once its request is written; the driver's refusal comes
// with the reply and is logged once, as a waited call logged it.
TEST_F(NetFilterTest, ARefusedInjectionIsLoggedOnceWhenItsReplyArrives) {
  std::wstring error;
  ASSERT_TRUE(m_client->Open(error));  // not started: the driver refuses every injection
  std::atomic<int> replies{0};
  m_listener->SetReplyRewrite([&](uint32_t code, SControlReply&) {
    if (code == IOCTL_PALVEX_INJECT_UDP) ++replies;
  });
  std::vector<uint8_t> answer(40, 0x11);
  DatagramContext context{};
  m_client->InjectUdp(answer.data(), 40, Address("10.53.0.1", 53), Address("10.53.0.2", 40000), context, true);
  ASSERT_TRUE(WaitForLog("InjectUdp failed with error DeviceIoControl failed with error "));
  EXPECT_EQ(replies, 1);
  std::this_thread::sleep_for(50ms);
  std::string logs = Logs();
  size_t first = logs.find("InjectUdp failed with error ");
  EXPECT_EQ(logs.find("InjectUdp failed with error ", first + 1), std::string::npos) << logs;
}

TEST_F(NetFilterTest, AnEmptyReadIsReadAgain) {
  OpenAndStart();
  std::atomic<bool> blank{true};
  m_listener->SetReplyRewrite([&](uint32_t code, SControlReply& reply) {
    // Only the read that carries the event: with reads parked ahead, an
    // empty drain reply may come first.
    if (code == IOCTL_PALVEX_GET_EVENT && !reply.output.empty() && blank.exchange(false)) {
      reply.output.clear();
      reply.information = 0;
    }
  });
  TvnLogEvent("1:swallowed", STATUS_UNSUCCESSFUL, 0, false);
  m_listener->Flush();
  testsupport::WaitUntil([&]() -> bool { return !blank; });
  ASSERT_FALSE(blank);
  TvnLogEvent("2:seen", STATUS_UNSUCCESSFUL, 0, false);
  m_listener->Flush();
  EXPECT_TRUE(WaitForLog("Network Engine: 2:seen"));
  EXPECT_EQ(m_log.find("1:swallowed"), std::string::npos);
  EXPECT_EQ(m_log.find("GetEvent failed"), std::string::npos);
}

struct SMalformed {
  const char* name;
  std::function<void(NetFilterTest&)> cause;
  const char* logged;
};
class MalformedEvent : public NetFilterTest, public ::testing::WithParamInterface<SMalformed> {};

TEST_P(MalformedEvent, EndsTheThread) {
  OpenAndStart();
  GetParam().cause(*this);
  EXPECT_TRUE(WaitForLog(GetParam().logged));
  size_t reads = Requests(IOCTL_PALVEX_GET_EVENT).size();
  QueueFlow(5, "/bin/x");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Requests(IOCTL_PALVEX_GET_EVENT).size(), reads);  // nothing is read any more
  EXPECT_TRUE(m_client->Stop());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MalformedEvent,
    ::testing::Values(
        SMalformed{"header_size",
                   [](NetFilterTest& t) { t.Queue(EventFlowDeleted, {}, [](DriverEvent& e) { e.headerSize = 300; }); },
                   "GetEvent failed with error Incorrect size returned 300 (must be 304)"},
        SMalformed{"data_size",
                   [](NetFilterTest& t) {
                     t.m_listener->SetReplyRewrite([](uint32_t code, SControlReply& reply) {
                       if (code != IOCTL_PALVEX_GET_EVENT || reply.output.size() <= kDriverEventHeaderSize) return;
                       reply.output.resize(reply.output.size() - 5);
                       reply.information = reply.output.size();
                     });
                     t.Queue(EventFlowDeleted, std::vector<uint8_t>(10));
                   },
                   "GetEvent failed with error Incorrect data size returned 10 (must be 5)"},
        SMalformed{"byte_count",
                   [](NetFilterTest& t) {
                     t.m_listener->SetReplyRewrite([](uint32_t code, SControlReply& reply) {
                       if (code != IOCTL_PALVEX_GET_EVENT || reply.output.empty()) return;
                       reply.output.resize(100);
                       reply.information = 100;
                     });
                     t.Queue(EventFlowDeleted, {});
                   },
                   "GetEvent failed with error Incorrect number of bytes returned"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetFilterTest, EventsWhoseLengthsExceedTheirDataAreDroppedAndReadingGoesOn) {
  OpenAndStart();
  Queue(EventFlowEstablished, Utf16WithNul("/a"), [](DriverEvent& e) { e.appIdLength = 100; });
  EXPECT_TRUE(WaitForLog("Event dropped: application id of 100 bytes in 6 bytes of data"));
  Queue(EventUdpDatagram, std::vector<uint8_t>(20), [](DriverEvent& e) {
    e.typeBlock.datagram.ipHeaderSize = 20;
    e.typeBlock.datagram.transportHeaderSize = 8;
    e.sourceAddress = Record("10.53.0.2", 1000);
    e.destinationAddress = Record("10.53.0.1", 53);
  });
  EXPECT_TRUE(WaitForLog("Datagram event dropped: headers of 28 bytes in 20 bytes of data"));
  QueueDatagram("10.53.0.2", "10.53.0.1", Query(), 9);
  EXPECT_EQ(QueryCount(1), 1u);
}

// The three verdicts of the engine, over both families: what goes back to
// the driver, from whom to whom, and with which context.
TEST_F(NetFilterTest, EachVerdictInjectsWhatItShould) {
  OpenAndStart();
  struct SCase {
    EInterceptResult verdict;
    const char *client, *server;
  } cases[] = {
      {InterceptAnswered, "10.53.0.2", "10.53.0.1"}, {InterceptAnswered, "fd53::2", "fd53::1"},
      {InterceptBypass, "10.53.0.2", "10.53.0.1"},   {InterceptBypass, "fd53::2", "fd53::1"},
      {InterceptAbsorbed, "10.53.0.2", "10.53.0.1"},
  };
  size_t queries = 0;
  for (const SCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.verdict) + " " + c.server);
    m_verdict = c.verdict;
    size_t injectedBefore = Injected().size();
    std::vector<uint8_t> query = Query();
    QueueDatagram(c.client, c.server, query, 4321);
    ASSERT_EQ(QueryCount(++queries), queries);
    {
      std::lock_guard lock(m_mutex);
      const SQuery& seen = m_queries.back();
      EXPECT_EQ(seen.message, query);
      sockaddr_storage client = Address(c.client, 12345), server = Address(c.server, 53);
      EXPECT_EQ(std::memcmp(&seen.client, &client, sizeof client), 0);
      EXPECT_EQ(std::memcmp(&seen.server, &server, sizeof server), 0);
      EXPECT_EQ(seen.processId, 4321u);
    }
    if (c.verdict == InterceptAbsorbed) {
      std::this_thread::sleep_for(50ms);
      EXPECT_EQ(Injected().size(), injectedBefore);
      continue;
    }
    auto injected = Injected(injectedBefore + 1);
    ASSERT_EQ(injected.size(), injectedBefore + 1);
    auto& [header, packet] = injected.back();
    bool v4 = !std::strchr(c.server, ':');
    bool answered = c.verdict == InterceptAnswered;
    EXPECT_EQ(header.addressFamily, v4 ? kRecordFamilyInet : kRecordFamilyInet6);
    EXPECT_EQ(header.receive, answered ? 1u : 0u);
    EXPECT_EQ(header.context.interfaceIndex, 7u);
    EXPECT_EQ(header.context.endpointHandle, 0x1122334455667788u);
    size_t ip = v4 ? 20 : 40;
    ASSERT_GT(packet.size(), ip + 8);
    EXPECT_TRUE(ChecksumsVerify(packet));
    // From the server dig asked to dig's port for an answer; the other way for a bypass.
    uint8_t from[16], to[16];
    inet_pton(v4 ? AF_INET : AF_INET6, answered ? c.server : c.client, from);
    inet_pton(v4 ? AF_INET : AF_INET6, answered ? c.client : c.server, to);
    size_t a = v4 ? 12 : 8, n = v4 ? 4 : 16;
    EXPECT_EQ(std::memcmp(packet.data() + a, from, n), 0);
    EXPECT_EQ(std::memcmp(packet.data() + a + n, to, n), 0);
    EXPECT_EQ(Be16(packet, ip), answered ? 53 : 12345);
    EXPECT_EQ(Be16(packet, ip + 2), answered ? 12345 : 53);
    std::vector<uint8_t> payload(packet.begin() + ip + 8, packet.end());
    if (answered) {
      ASSERT_EQ(payload.size(), query.size() + 16);
      EXPECT_EQ(payload[2] & 0x80, 0x80);
    } else {
      EXPECT_EQ(payload, query);
    }
  }
}

TEST_F(NetFilterTest, AMessageLargerThanTheInterceptBufferIsBypassedWhole) {
  OpenAndStart();
  std::vector<uint8_t> big = Query(6000);
  QueueDatagram("10.53.0.2", "10.53.0.1", big, 1);
  auto injected = Injected(1);
  ASSERT_EQ(injected.size(), 1u);
  EXPECT_EQ(injected[0].first.receive, 0u);
  EXPECT_EQ(std::vector<uint8_t>(injected[0].second.begin() + 28, injected[0].second.end()), big);
  EXPECT_NE(Logs().find("DNS message of 6000 bytes is larger than 5000, server=10.53.0.1:53 - bypassed"), std::string::npos)
      << m_log;
  std::lock_guard lock(m_mutex);
  EXPECT_TRUE(m_queries.empty());
}

TEST_F(NetFilterTest, AProcessKeepsItsFirstNameUntilItHasExitedAndAPurgeRan) {
  platform::SetClockSourceForTesting(&m_clock);
  OpenAndStart();
  pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  uint32_t pid = static_cast<uint32_t>(child);
  size_t asked = 0;
  auto programOf = [&](uint32_t processId) {
    QueueDatagram("10.53.0.2", "10.53.0.1", Query(), processId);
    EXPECT_EQ(QueryCount(++asked), asked);
    std::lock_guard lock(m_mutex);
    return std::string(m_queries.back().program.begin(), m_queries.back().program.end());
  };
  QueueFlow(pid, "/usr/bin/dig");
  QueueFlow(pid, "/usr/bin/other");
  QueueFlow(1, "init");  // no "/": no name
  EXPECT_EQ(programOf(pid), "dig");
  EXPECT_EQ(programOf(1), "");
  ASSERT_EQ(waitpid(child, nullptr, 0), child);  // gone: kill(pid, 0) says ESRCH

  QueueFlow(pid, "/usr/bin/other");  // the purge is not due yet
  EXPECT_EQ(programOf(pid), "dig");
  m_clock.AdvanceMs(CNetFilterProcessor::kProcessPurgeIntervalMs + 1);
  QueueFlow(pid, "/usr/bin/other");
  EXPECT_EQ(programOf(pid), "other");
  QueueFlow(1, "/sbin/init");  // a live process keeps its entry
  EXPECT_EQ(programOf(1), "");
  EXPECT_EQ(programOf(999999), "");  // unknown: an empty entry
}

// InjectUdp's packets, checked field by field against what a receiver reads.
TEST_F(NetFilterTest, InjectUdpWrapsTheMessageInIpAndUdpHeaders) {
  std::wstring error;
  ASSERT_TRUE(m_client->Open(error));
  std::vector<uint8_t> answer(100);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = uint8_t(i * 7 + 1);
  DatagramContext context{};
  context.compartmentId = 1, context.interfaceIndex = 2, context.subInterfaceIndex = 3, context.endpointHandle = 42;
  struct SCase {
    const char *from, *to;
    size_t request, packet;
  } cases[] = {{"10.53.0.1", "10.53.0.2", 184, 128}, {"fd53::1", "fd53::2", 204, 148}};
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.from);
    {
      std::lock_guard lock(m_mutex);
      m_requests.clear();
    }
    m_client->InjectUdp(answer.data(), 100, Address(c.from, 53), Address(c.to, 40000), context, true);
    std::vector<SControlRequest> sent;
    testsupport::WaitUntil([&] { return !(sent = Requests(IOCTL_PALVEX_INJECT_UDP)).empty(); },
                           std::chrono::milliseconds(1000));
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].input.size(), c.request);
    InjectUdpHeader header;
    std::memcpy(&header, sent[0].input.data(), sizeof header);
    EXPECT_EQ(header.headerSize, 56u);
    EXPECT_EQ(header.packetLength, c.packet);
    EXPECT_EQ(std::memcmp(&header.context, &context, sizeof context), 0);
    EXPECT_EQ(header.receive, 1u);
    std::vector<uint8_t> packet(sent[0].input.begin() + 56, sent[0].input.end());
    bool v4 = c.packet == 128;
    size_t udp = v4 ? 20 : 40;
    if (v4) {
      EXPECT_EQ(header.addressFamily, 2);
      EXPECT_EQ(packet[0], 0x45);
      EXPECT_EQ(Be16(packet, 2), 128);     // total length
      EXPECT_EQ(Be16(packet, 6), 0x4000);  // don't fragment
      EXPECT_EQ(packet[8], 64);
      EXPECT_EQ(packet[9], 17);
    } else {
      EXPECT_EQ(header.addressFamily, 23);
      EXPECT_EQ(packet[0], 0x60);
      EXPECT_EQ(Be16(packet, 4), 108);  // payload length
      EXPECT_EQ(packet[6], 17);
      EXPECT_EQ(packet[7], 64);
    }
    EXPECT_EQ(Be16(packet, udp), 53);
    EXPECT_EQ(Be16(packet, udp + 2), 40000);
    EXPECT_EQ(Be16(packet, udp + 4), 108);
    EXPECT_TRUE(ChecksumsVerify(packet));
    EXPECT_EQ(std::vector<uint8_t>(packet.begin() + udp + 8, packet.end()), answer);
  }
}

TEST_F(NetFilterTest, InjectUdpRefusesWhatNoPacketCanCarry) {
  std::wstring error;
  ASSERT_TRUE(m_client->Open(error));
  std::vector<uint8_t> big(65536);
  DatagramContext context{};
  m_client->InjectUdp(big.data(), 100, Address("10.53.0.1", 53), Address("fd53::2", 1), context, true);
  m_client->InjectUdp(big.data(), 65536, Address("10.53.0.1", 53), Address("10.53.0.2", 1), context, true);
  std::string logs = Logs();
  size_t first = logs.find("ComposeIpPacket failed");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(logs.find("ComposeIpPacket failed", first + 1), std::string::npos);
  // Neither reached the driver: the sound one after them is the only request.
  m_client->InjectUdp(big.data(), 10, Address("10.53.0.1", 53), Address("10.53.0.2", 1), context, true);
  auto injected = Injected(1);
  std::this_thread::sleep_for(20ms);
  injected = Injected();
  ASSERT_EQ(injected.size(), 1u);
  EXPECT_EQ(injected[0].second.size(), 38u);
}

TEST(ComposeIpPacket, LengthsUpToWhatTheLengthFieldsHold) {
  struct SCase {
    const char *from, *to;
    uint32_t length;
    bool composes;
  } cases[] = {
      {"10.53.0.1", "10.53.0.2", 65507, true},  {"10.53.0.1", "10.53.0.2", 65508, false},
      {"fd53::1", "fd53::2", 65527, true},      {"fd53::1", "fd53::2", 65528, false},
      {"10.53.0.1", "fd53::2", 10, false},      {"10.53.0.1", "10.53.0.2", 0, true},
  };
  std::vector<uint8_t> message(70000, 0xA5);
  for (const SCase& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " " + std::to_string(c.length));
    std::vector<uint8_t> packet;
    EXPECT_EQ(CNetFilterProcessor::ComposeIpPacket(message.data(), c.length, Address(c.from, 53), Address(c.to, 53), packet),
              c.composes);
    if (!c.composes) continue;
    EXPECT_EQ(packet.size(), c.length + (std::strchr(c.from, ':') ? 48u : 28u));
    EXPECT_TRUE(ChecksumsVerify(packet));
  }
  sockaddr_storage unknown{};
  std::vector<uint8_t> packet;
  EXPECT_FALSE(CNetFilterProcessor::ComposeIpPacket(message.data(), 10, unknown, unknown, packet));
}

TEST(ComposeIpPacket, OddLengthsAndAZeroChecksum) {
  sockaddr_storage from = Address("10.53.0.1", 53), to = Address("10.53.0.2", 5353);
  for (uint32_t length : {1u, 3u, 101u}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> message(length, 0xC3), packet;
    ASSERT_TRUE(CNetFilterProcessor::ComposeIpPacket(message.data(), length, from, to, packet));
    EXPECT_TRUE(ChecksumsVerify(packet));
  }
  // Two free bytes chosen so the checksum computes to 0: sent as 0xFFFF.
  std::vector<uint8_t> message(10, 0x11), packet;
  message[8] = message[9] = 0;
  ASSERT_TRUE(CNetFilterProcessor::ComposeIpPacket(message.data(), 10, from, to, packet));
  uint16_t partial = Fold(WordSum(packet, 12, 20) + 17 + 18 + WordSum(packet, 20, 26) + WordSum(packet, 28, packet.size()));
  uint16_t word = static_cast<uint16_t>(0xFFFF - partial);
  message[8] = uint8_t(word >> 8), message[9] = uint8_t(word);
  ASSERT_TRUE(CNetFilterProcessor::ComposeIpPacket(message.data(), 10, from, to, packet));
  EXPECT_EQ(Be16(packet, 26), 0xFFFF);
  EXPECT_TRUE(ChecksumsVerify(packet));
}

}  // namespace
