#include "PalvexDrv/host/sock_diag.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

SFlowKey Flow4(uint16_t localPort) {
  SFlowKey key;
  key.family = AF_INET;
  key.protocol = IPPROTO_UDP;
  key.localAddress = {10, 53, 0, 2};
  key.localPort = localPort;
  key.remoteAddress = {10, 53, 0, 1};
  key.remotePort = 53;
  return key;
}

SDiagSocket Socket(SFlowKey key, uint64_t inode) { return {key, inode, 0}; }

TEST(MatchFlowSocket, PrefersTheConnectedSocketThenABoundOneThenAMappedOne) {
  SFlowKey flow = Flow4(40000);
  SFlowKey connected = flow;
  SFlowKey wildcard = flow;
  wildcard.localAddress = {};
  wildcard.remoteAddress = {};
  wildcard.remotePort = 0;
  SFlowKey otherPort = flow;
  otherPort.localPort = 40001;
  SFlowKey otherRemote = flow;  // connected elsewhere: not this flow's socket
  otherRemote.remoteAddress = {10, 53, 0, 9};
  SFlowKey mapped = wildcard;
  mapped.family = AF_INET6;

  EXPECT_EQ(MatchFlowSocket(flow, {Socket(wildcard, 1), Socket(connected, 2)})->inode, 2u);
  EXPECT_EQ(MatchFlowSocket(flow, {Socket(otherPort, 3), Socket(wildcard, 1)})->inode, 1u);
  EXPECT_FALSE(MatchFlowSocket(flow, {Socket(otherPort, 3), Socket(otherRemote, 4)}).has_value());
  EXPECT_EQ(MatchFlowSocket(flow, {Socket(mapped, 5)})->inode, 5u);
}

TEST(SockDiag, FindsAConnectedLoopbackSocketAndSeesItGo) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(53);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // connect sends nothing on a datagram socket; it only fixes the ends.
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  struct stat info;
  fstat(fd, &info);

  SFlowKey flow;
  flow.family = AF_INET;
  flow.protocol = IPPROTO_UDP;
  flow.localAddress = {127, 0, 0, 1};
  flow.localPort = ntohs(local.sin_port);
  flow.remoteAddress = {127, 0, 0, 1};
  flow.remotePort = 53;
  auto found = FindFlowSocket(flow);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->inode, info.st_ino);
  EXPECT_EQ(found->uid, getuid());
  auto live = LiveSocketInodes(IPPROTO_UDP);
  ASSERT_TRUE(live.has_value());
  EXPECT_TRUE(live->count(info.st_ino));
  close(fd);
  EXPECT_FALSE(LiveSocketInodes(IPPROTO_UDP)->count(info.st_ino));
}

}  // namespace
