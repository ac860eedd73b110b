// A real stub (dig, with EDNS and a cookie) sends its query to a loopback
// socket of the test and must accept the block answer built from it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <string>

#include "Quorvane/foundation/dns_codec.h"

namespace {

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

TEST(DigPeer, AcceptsTheBlockAnswerOfItsCookieQuery) {
  ASSERT_EQ(system("command -v dig >/dev/null 2>&1"), 0) << "dig (bind9-dnsutils) is needed: run scripts/bootstrap";
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  socklen_t len = sizeof local;
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len), 0);

  const std::string command = "timeout 20 dig @127.0.0.1 -p " + std::to_string(ntohs(local.sin_port)) +
                              " +cookie +tries=1 +time=10 Blocked.Example. A 2>&1";
  auto dig = std::async(std::launch::async, RunCommand, command);

  pollfd pfd{fd, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 15000), 1) << "dig sent no query";
  uint8_t packet[kDnsPacketBufferSize];
  sockaddr_in peer{};
  socklen_t peerLen = sizeof peer;
  ssize_t got = recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer), &peerLen);
  ASSERT_GT(got, 0);

  SDnsMessageInfo info;
  std::string text;
  ASSERT_EQ(ParseDNSRequestPacket(packet, static_cast<size_t>(got), info, text), DnsParseOk);
  EXPECT_EQ(text, "data is longer than necessary");  // the OPT record with its cookie
  EXPECT_EQ(info.rrCount, 1);
  EXPECT_EQ(info.name.lower, "blocked.example.");

  size_t length = static_cast<size_t>(got);
  sockaddr_storage zero{};
  zero.ss_family = static_cast<sa_family_t>(info.family);
  ASSERT_TRUE(IncludeAnswerIntoDnsPacket(packet, length, zero));
  ASSERT_EQ(sendto(fd, packet, length, 0, reinterpret_cast<sockaddr*>(&peer), peerLen), static_cast<ssize_t>(length));
  close(fd);

  ASSERT_EQ(dig.wait_for(std::chrono::seconds(25)), std::future_status::ready);
  std::string out = dig.get();
  EXPECT_NE(out.find("status: NOERROR"), std::string::npos) << out;
  EXPECT_NE(out.find("ANSWER: 1, AUTHORITY: 0, ADDITIONAL: 0"), std::string::npos) << out;
  EXPECT_NE(out.find("Blocked.Example.\t5\tIN\tA\t0.0.0.0"), std::string::npos) << out;
  EXPECT_EQ(out.find("malformed"), std::string::npos) << out;
  EXPECT_EQ(out.find("Warning: Message parser"), std::string::npos) << out;
}

}  // namespace
