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

struct SFragmentCase {
  const char* name;
  int family;
  size_t payload, mtu, fragments;  // 0 fragments: refused
};

class FragmentPacket : public ::testing::TestWithParam<SFragmentCase> {};

TEST_P(FragmentPacket, CutsIntoPiecesOfTheMtuThatReassembleToTheDatagram) {
  const auto& c = GetParam();
  auto udp = Udp(40000, 53, c.payload);
  bool v4 = c.family == AF_INET;
  auto packet = v4 ? BuildUdpPacket(AF_INET, kClient4, kServer4, udp.data(), udp.size())
                   : BuildUdpPacket(AF_INET6, kClient6, kServer6, udp.data(), udp.size());
  if (v4) {
    EXPECT_EQ(packet[6] & 0x40, 0);  // no don't-fragment
  }
  auto fragments = FragmentIpPacket(c.family, packet, c.mtu, 0xA1B2C3D5);
  ASSERT_EQ(fragments.size(), c.fragments);
  if (fragments.empty()) return;
  size_t header = v4 ? 20 : 48;
  std::vector<uint8_t> reassembled(packet.begin(), packet.begin() + (v4 ? 20 : 40));
  for (size_t i = 0; i < fragments.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& f = fragments[i];
    EXPECT_LE(f.size(), c.mtu);
    bool last = i + 1 == fragments.size();
    if (!last) {
      EXPECT_EQ((f.size() - header) % 8, 0u);
    }
    size_t offset = reassembled.size() - (v4 ? 20 : 40);
    if (v4) {
      EXPECT_EQ(size_t(f[2] << 8 | f[3]), f.size());
      EXPECT_EQ(f[4] << 8 | f[5], 0xC3D5);
      EXPECT_EQ(size_t((f[6] & 0x1F) << 8 | f[7]) * 8, offset);
      EXPECT_EQ((f[6] & 0x20) != 0, !last);  // more fragments
      EXPECT_EQ(f[6] & 0x40, 0);
      EXPECT_EQ(OnesSum(f.data(), 20), 0xFFFFu);
    } else {
      EXPECT_EQ(size_t(f[4] << 8 | f[5]) + 40, f.size());
      EXPECT_EQ(f[6], 44);
      EXPECT_EQ(f[40], IPPROTO_UDP);
      EXPECT_EQ(size_t(f[42] << 8 | (f[43] & 0xF8)), offset);
      EXPECT_EQ((f[43] & 1) != 0, !last);
      EXPECT_EQ((std::vector<uint8_t>(f.begin() + 44, f.begin() + 48)), (std::vector<uint8_t>{0xA1, 0xB2, 0xC3, 0xD5}));
    }
    reassembled.insert(reassembled.end(), f.begin() + static_cast<ptrdiff_t>(header), f.end());
  }
  EXPECT_EQ(reassembled, packet);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FragmentPacket,
    ::testing::Values(SFragmentCase{"v4_1600", AF_INET, 1600, 1500, 2}, SFragmentCase{"v4_6000", AF_INET, 6000, 1500, 5},
                      SFragmentCase{"v4_odd_mtu", AF_INET, 4096, 1499, 3},
                      SFragmentCase{"v6_4096", AF_INET6, 4096, 1280, 4}, SFragmentCase{"v6_1600", AF_INET6, 1600, 1500, 2},
                      SFragmentCase{"v6_exactly_one_chunk", AF_INET6, 1448 - 8, 1500, 1},
                      SFragmentCase{"no_room", AF_INET, 100, 27, 0}, SFragmentCase{"no_mtu", AF_INET6, 100, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
