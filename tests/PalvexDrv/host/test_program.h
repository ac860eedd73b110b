// The program's side of the control socket as the namespace tests drive
// it (events read with one GetEvent outstanding, injections), the packets
// it hands back (an answer to a query, or the query itself), and a fixture
// that starts palvexdrv with the program connected.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "PalvexDrv/host/raw_injector.h"
#include "shared/driver_records.h"
#include "shared/driver_requests.h"
#include "tests/PalvexDrv/host/control_client.h"
#include "tests/PalvexDrv/host/netns_fixture.h"
#include "tests/support/temp_folder.h"

namespace testsupport {

using std::chrono::milliseconds;

struct SEvent {
  DriverEvent header{};
  std::vector<uint8_t> data;
  std::string Text() const {
    return data.empty() ? std::string() : std::string(data.begin(), data.end() - 1);
  }
  std::vector<uint8_t> Payload() const { return {data.begin() + header.appIdLength, data.end()}; }
};

// The program's side of the control socket, as far as these tests need it.
class CTestProgram {
 public:
  bool Connect(const std::filesystem::path& socket) {
    for (int i = 0; i < 250; ++i) {
      m_client.Close();
      if (auto reply = m_client.Connect(socket)) return *reply == 0;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }
  void Close() { m_client.Close(); }

  SControlReply Call(uint32_t code, std::vector<uint8_t> input = {}, uint32_t capacity = 0) {
    uint64_t tag = ++m_tag;
    EXPECT_TRUE(m_client.SendRequest(tag, code, std::move(input), capacity));
    for (int i = 0; i < 100; ++i) {
      auto reply = m_client.ReadReply();
      if (!reply) break;
      if (reply->tag == tag) return *reply;
      Keep(*reply);
    }
    ADD_FAILURE() << "no reply to request " << std::hex << code;
    SControlReply failed;
    failed.status = STATUS_UNSUCCESSFUL;
    return failed;
  }

  // serviceProcessId: the test's own by default, so its sockets pass.
  bool SetConfig(uint32_t blockTcpPort53, uint32_t staleEventSeconds,
                 uint32_t serviceProcessId = static_cast<uint32_t>(getpid())) {
    DriverConfig config{};
    config.size = sizeof(DriverConfig);
    config.serviceProcessId = serviceProcessId;
    config.datagramFlags = kDatagramFlagAbsorb | kDatagramFlagQueryShape;
    config.blockTcpPort53 = blockTcpPort53;
    config.staleEventSeconds = staleEventSeconds;
    std::vector<uint8_t> bytes(sizeof(config));
    std::memcpy(bytes.data(), &config, sizeof(config));
    return Call(IOCTL_PALVEX_SET_CONFIG, bytes).status == STATUS_SUCCESS;
  }

  // The next event within timeout; one GetEvent is kept outstanding.
  std::optional<SEvent> NextEvent(milliseconds timeout = milliseconds(5000)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_events.empty()) {
      if (!m_readTag) {
        m_readTag = ++m_tag;
        EXPECT_TRUE(m_client.SendRequest(*m_readTag, IOCTL_PALVEX_GET_EVENT, {}, kMaxRequestOutput));
      }
      auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto reply = m_client.ReadReply(left);
      if (!reply) return std::nullopt;
      Keep(*reply);
    }
    SEvent event = m_events.front();
    m_events.pop_front();
    return event;
  }
  // The next event that is not an EventLog.
  std::optional<SEvent> NextTraffic(milliseconds timeout = milliseconds(5000)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto event = NextEvent(left);
      if (!event || event->header.eventType != EventLog) return event;
      m_logs.push_back(event->Text());
    }
  }
  const std::vector<std::string>& Logs() const { return m_logs; }

  NTSTATUS InjectUdp(const SEvent& query, const std::vector<uint8_t>& packet, bool receive) {
    InjectUdpHeader header{};
    header.headerSize = kInjectUdpHeaderSize;
    header.packetLength = static_cast<uint32_t>(packet.size());
    header.addressFamily = query.header.sourceAddress.family;
    header.context = query.header.typeBlock.datagram;
    header.receive = receive ? 1 : 0;
    std::vector<uint8_t> input(sizeof(header));
    std::memcpy(input.data(), &header, sizeof(header));
    input.insert(input.end(), packet.begin(), packet.end());
    return Call(IOCTL_PALVEX_INJECT_UDP, input).status;
  }

 private:
  void Keep(const SControlReply& reply) {
    if (!m_readTag || reply.tag != *m_readTag) return;
    m_readTag.reset();
    if (reply.status != STATUS_SUCCESS || reply.output.size() < kDriverEventHeaderSize) return;
    SEvent event;
    std::memcpy(&event.header, reply.output.data(), sizeof(event.header));
    event.data.assign(reply.output.begin() + kDriverEventHeaderSize, reply.output.end());
    m_events.push_back(std::move(event));
  }

  CControlClient m_client;
  uint64_t m_tag = 0;
  std::optional<uint64_t> m_readTag;
  std::deque<SEvent> m_events;
  std::vector<std::string> m_logs;
};

inline std::array<uint8_t, 16> AddressOf(const SOCKADDR_INET& address) {
  std::array<uint8_t, 16> bytes{};
  if (address.family == kRecordFamilyInet)
    std::memcpy(bytes.data(), address.ipv4, 4);
  else
    std::memcpy(bytes.data(), address.ipv6.address, 16);
  return bytes;
}

inline int FamilyOf(const SEvent& event) { return event.header.sourceAddress.family == kRecordFamilyInet ? AF_INET : AF_INET6; }

// An answer to the query of an outbound datagram event (UDP header, then
// the DNS message): the question, then one A record 192.0.2.99.
inline std::vector<uint8_t> AnswerPacket(const SEvent& query) {
  std::vector<uint8_t> udp = query.Payload();
  if (udp.size() < 8 + 12) return {};
  const uint8_t* dns = udp.data() + 8;
  size_t length = udp.size() - 8, end = 12;
  while (end < length && dns[end] != 0) end += size_t(dns[end]) + 1;
  end += 5;
  if (end > length) return {};
  std::vector<uint8_t> answer(dns, dns + end);
  answer[2] = 0x81, answer[3] = 0x80;
  answer[6] = 0, answer[7] = 1;
  for (int i = 8; i < 12; ++i) answer[i] = 0;
  const uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 99};
  answer.insert(answer.end(), record, record + sizeof(record));
  std::vector<uint8_t> reply = {udp[2], udp[3], udp[0], udp[1], 0, 0, 0, 0};
  reply[4] = uint8_t((8 + answer.size()) >> 8), reply[5] = uint8_t(8 + answer.size());
  reply.insert(reply.end(), answer.begin(), answer.end());
  return BuildUdpPacket(FamilyOf(query), AddressOf(query.header.destinationAddress),
                        AddressOf(query.header.sourceAddress), reply.data(), reply.size());
}

// The query itself as the whole IP packet the program hands back.
inline std::vector<uint8_t> QueryPacket(const SEvent& query) {
  std::vector<uint8_t> udp = query.Payload();
  return BuildUdpPacket(FamilyOf(query), AddressOf(query.header.sourceAddress),
                        AddressOf(query.header.destinationAddress), udp.data(), udp.size());
}

inline uint16_t LocalPort(const SEvent& event) { return ntohs(event.header.sourceAddress.port); }

// palvexdrv in the client namespace of a fresh pair, the stub server behind
// the veth, and the test program connected, configured and started.
class CDivertingHost {
 protected:
  // From SetUp, under ASSERT_NO_FATAL_FAILURE. The program's own process
  // is serviceProcessId.
  void StartHost(uint32_t serviceProcessId = static_cast<uint32_t>(getpid())) {
    ASSERT_TRUE(m_pair.CreateAsRoot());
    std::string error;
    ASSERT_TRUE(m_server.Start(m_pair, error)) << error;
    m_host = m_pair.Spawn(m_pair.Client(), {PALVEXDRV_PATH, "--socket-folder", m_folder.Path().string()}, Log());
    ASSERT_TRUE(m_program.Connect(m_folder.Path() / "PalvexDrv")) << ReadBytes(Log());
    ASSERT_EQ(m_program.Call(IOCTL_PALVEX_GET_DRIVER_VERSION, {}, 4).output, (std::vector<uint8_t>{118, 0, 0, 0}));
    ASSERT_TRUE(m_program.SetConfig(0, 10, serviceProcessId));
    ASSERT_EQ(m_program.Call(IOCTL_PALVEX_START).status, STATUS_SUCCESS);
    auto started = m_program.NextEvent();
    ASSERT_TRUE(started.has_value());
    ASSERT_EQ(started->Text(), "Tavrin started.");
  }
  std::string Log() const { return (m_folder.Path() / "palvexdrv.log").string(); }

  TempFolder m_folder;
  CNetnsPair m_pair;
  CStubDnsServer m_server;
  CTestProgram m_program;
  pid_t m_host = -1;
};

}  // namespace testsupport
