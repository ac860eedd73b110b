#include "PalvexDrv/host/raw_injector.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <vector>

namespace {

const std::array<uint8_t, 16> kServer4 = {10, 53, 0, 1}, kClient4 = {10, 53, 0, 2};
const std::array<uint8_t, 16> kServer6 = {0xfd, 0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const std::array<uint8_t, 16> kClient6 = {0xfd, 0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

std::vector<uint8_t> Udp(uint16_t source, uint16_t destination, size_t payload) {
  std::vector<uint8_t> udp(8 + payload, 0xAB);
  udp[0] = uint8_t(source >> 8), udp[1] = uint8_t(source);
  udp[2] = uint8_t(destination >> 8), udp[3] = uint8_t(destination);
  udp[4] = uint8_t(udp.size() >> 8), udp[5] = uint8_t(udp.size());
  return udp;
}

// The answer of the server's port 53 to the client's port 40000.
std::vector<uint8_t> Answer(int family) {
  auto udp = Udp(53, 40000, 30);
  return family == AF_INET ? BuildUdpPacket(AF_INET, kServer4, kClient4, udp.data(), udp.size())
                           : BuildUdpPacket(AF_INET6, kServer6, kClient6, udp.data(), udp.size());
}

// Held: the client's flow 40000 -> server 53, in both families.
bool Held(const SFlowKey& key) {
  bool v4 = key.family == AF_INET && key.localAddress == kClient4 && key.remoteAddress == kServer4;
  bool v6 = key.family == AF_INET6 && key.localAddress == kClient6 && key.remoteAddress == kServer6;
  return (v4 || v6) && key.protocol == IPPROTO_UDP && key.localPort == 40000 && key.remotePort == 53;
}

uint32_t OnesSum(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(p[i] << 8 | p[i + 1]);
  if (n % 2) sum += uint32_t(p[n - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}

struct SCheckCase {
  const char* name;
  int family;
  std::function<void(std::vector<uint8_t>&)> damage;
  EInjectDirection direction;
  NTSTATUS want;
};

class CheckPacket : public ::testing::TestWithParam<SCheckCase> {};

TEST_P(CheckPacket, AcceptsOnlyAWellFormedUdpPacketOfAHeldFlow) {
  const auto& c = GetParam();
  auto packet = Answer(c.family);
  c.damage(packet);
  SUdpPacket parsed;
  EXPECT_EQ(CheckUdpPacket(packet.data(), packet.size(), c.family, c.direction, Held, &parsed), c.want);
}

const auto kIntact = [](std::vector<uint8_t>&) {};

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckPacket,
    ::testing::Values(
        SCheckCase{"v4_answer", AF_INET, kIntact, EInjectDirection::AsReceived, STATUS_SUCCESS},
        SCheckCase{"v6_answer", AF_INET6, kIntact, EInjectDirection::AsReceived, STATUS_SUCCESS},
        SCheckCase{"v4_packet_as_v6", AF_INET6, [](auto& p) { p = Answer(AF_INET); }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v6_packet_as_v4", AF_INET, [](auto& p) { p = Answer(AF_INET6); }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v4_total_length_short", AF_INET, [](auto& p) { p[3] -= 1; }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v4_one_byte_more", AF_INET, [](auto& p) { p.push_back(0); }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v4_header_length_4", AF_INET, [](auto& p) { p[0] = 0x44; }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v4_header_past_end", AF_INET, [](auto& p) { p[0] = 0x4F; p.resize(50); p[2] = 0; p[3] = 50; },
                   EInjectDirection::AsReceived, STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v4_tcp", AF_INET, [](auto& p) { p[9] = IPPROTO_TCP; }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v4_fragment", AF_INET, [](auto& p) { p[6] = 0x20; }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v4_udp_length_long", AF_INET, [](auto& p) { p[20 + 5] += 1; }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v4_header_only", AF_INET, [](auto& p) { p.resize(20); p[3] = 20; }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v6_payload_length_short", AF_INET6, [](auto& p) { p[5] -= 1; }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v6_extension_header", AF_INET6, [](auto& p) { p[6] = 0; }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"empty", AF_INET, [](auto& p) { p.clear(); }, EInjectDirection::AsReceived,
                   STATUS_INJECT_BAD_PACKET},
        SCheckCase{"v4_other_client_port", AF_INET, [](auto& p) { p[20 + 3] ^= 1; }, EInjectDirection::AsReceived,
                   STATUS_INJECT_NO_FLOW},
        SCheckCase{"v6_other_server", AF_INET6, [](auto& p) { p[8 + 15] = 9; }, EInjectDirection::AsReceived,
                   STATUS_INJECT_NO_FLOW},
        // An answer-shaped packet sent "as sent" would go from the server's
        // end: the host holds no flow with that local end.
        SCheckCase{"v4_answer_as_sent", AF_INET, kIntact, EInjectDirection::AsSent, STATUS_INJECT_NO_FLOW},
        SCheckCase{"v4_query_as_sent", AF_INET,
                   [](auto& p) {
                     auto udp = Udp(40000, 53, 30);
                     p = BuildUdpPacket(AF_INET, kClient4, kServer4, udp.data(), udp.size());
                   },
                   EInjectDirection::AsSent, STATUS_SUCCESS}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildUdpPacket, ChecksumsVerifyInBothFamilies) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family);
    auto udp = Udp(53, 40000, 31);  // odd payload length
    const auto& source = family == AF_INET ? kServer4 : kServer6;
    const auto& destination = family == AF_INET ? kClient4 : kClient6;
    auto packet = BuildUdpPacket(family, source, destination, udp.data(), udp.size());
    size_t header = family == AF_INET ? 20 : 40, addressBytes = family == AF_INET ? 4 : 16;
    ASSERT_EQ(packet.size(), header + udp.size());
    if (family == AF_INET) {
      EXPECT_EQ(OnesSum(packet.data(), 20), 0xFFFFu);
    }
    uint32_t pseudo = OnesSum(source.data(), addressBytes) + OnesSum(destination.data(), addressBytes) +
                      IPPROTO_UDP + uint32_t(udp.size());
    EXPECT_EQ(OnesSum(packet.data() + header, udp.size(), pseudo), 0xFFFFu);
    SUdpPacket parsed;
    ASSERT_EQ(CheckUdpPacket(packet.data(), packet.size(), family, EInjectDirection::AsReceived, Held, &parsed), 0);
    EXPECT_EQ(parsed.sourcePort, 53);
    EXPECT_EQ(parsed.destinationPort, 40000);
    EXPECT_EQ(parsed.udpOffset, header);
  }
}

}  // namespace
