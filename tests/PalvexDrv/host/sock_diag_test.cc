#include "PalvexDrv/host/sock_diag.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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

// A socket on loopback of family, datagram or stream, connected to a
// listener of its own (stream) or to port 53 (datagram) unless bound only.
struct SLoopbackSocket {
  int fd = -1, listener = -1, accepted = -1;
  SFlowKey flow;
  uint64_t inode = 0;
  ~SLoopbackSocket() {
    for (int f : {fd, listener, accepted})
      if (f >= 0) close(f);
  }
};

void Fill(const sockaddr_storage& address, std::array<uint8_t, 16>& bytes, uint16_t& port) {
  bytes = {};
  if (address.ss_family == AF_INET) {
    auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    std::memcpy(bytes.data(), &v4->sin_addr, 4);
    port = ntohs(v4->sin_port);
  } else {
    auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    std::memcpy(bytes.data(), &v6->sin6_addr, 16);
    port = ntohs(v6->sin6_port);
  }
}

sockaddr_storage Loopback(int family, uint16_t port, socklen_t* length) {
  sockaddr_storage out{};
  if (family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    *length = sizeof(*v4);
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    v6->sin6_addr = in6addr_loopback;
    *length = sizeof(*v6);
  }
  return out;
}

void Open(SLoopbackSocket& s, int family, int type, bool connected) {
  socklen_t length;
  sockaddr_storage remote = Loopback(family, 53, &length);
  if (type == SOCK_STREAM) {
    s.listener = socket(family, SOCK_STREAM, 0);
    sockaddr_storage any = Loopback(family, 0, &length);
    ASSERT_EQ(bind(s.listener, reinterpret_cast<sockaddr*>(&any), length), 0);
    ASSERT_EQ(listen(s.listener, 1), 0);
    getsockname(s.listener, reinterpret_cast<sockaddr*>(&remote), &length);
  }
  s.fd = socket(family, type, 0);
  ASSERT_GE(s.fd, 0);
  if (connected) {
    ASSERT_EQ(connect(s.fd, reinterpret_cast<sockaddr*>(&remote), length), 0);
  } else {
    sockaddr_storage any{};
    any.ss_family = static_cast<sa_family_t>(family);
    ASSERT_EQ(bind(s.fd, reinterpret_cast<sockaddr*>(&any), length), 0);
  }
  if (type == SOCK_STREAM) s.accepted = accept(s.listener, nullptr, nullptr);
  sockaddr_storage local{};
  length = sizeof(local);
  getsockname(s.fd, reinterpret_cast<sockaddr*>(&local), &length);
  s.flow.family = static_cast<uint8_t>(family);
  s.flow.protocol = type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
  uint16_t ignored;
  Fill(local, s.flow.localAddress, s.flow.localPort);
  if (!connected) Fill(remote, s.flow.localAddress, ignored);  // a bound socket's datagram leaves from loopback too
  Fill(remote, s.flow.remoteAddress, s.flow.remotePort);
  struct stat info;
  fstat(s.fd, &info);
  s.inode = info.st_ino;
}

TEST(SockDiag, TheLookupByTheFlowsEndsAgreesWithTheDumpInBothFamilies) {
  struct SCase {
    const char* name;
    int family, type;
    bool connected;
  } cases[] = {{"udp4 connected", AF_INET, SOCK_DGRAM, true},   {"udp4 bound", AF_INET, SOCK_DGRAM, false},
               {"udp6 connected", AF_INET6, SOCK_DGRAM, true},  {"udp6 bound", AF_INET6, SOCK_DGRAM, false},
               {"tcp4 connected", AF_INET, SOCK_STREAM, true},  {"tcp6 connected", AF_INET6, SOCK_STREAM, true}};
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name);
    SLoopbackSocket s;
    Open(s, c.family, c.type, c.connected);
    std::vector<SDiagSocket> dump;
    std::string error;
    ASSERT_TRUE(DumpSockets(AF_INET, s.flow.protocol, dump, error)) << error;
    ASSERT_TRUE(DumpSockets(AF_INET6, s.flow.protocol, dump, error)) << error;
    auto dumped = MatchFlowSocket(s.flow, dump);
    auto looked = LookupFlowSocket(s.flow);
    ASSERT_TRUE(dumped.has_value());
    ASSERT_TRUE(looked.has_value());
    EXPECT_EQ(looked->inode, s.inode);
    EXPECT_EQ(looked->inode, dumped->inode);
    EXPECT_EQ(looked->uid, dumped->uid);
  }
  // An IPv4 flow of a dual-stack IPv6 socket, and a flow of no socket.
  SLoopbackSocket dual;
  Open(dual, AF_INET6, SOCK_DGRAM, false);
  SFlowKey flow;
  flow.family = AF_INET;
  flow.protocol = IPPROTO_UDP;
  flow.localAddress = {127, 0, 0, 1};
  flow.localPort = dual.flow.localPort;
  flow.remoteAddress = {127, 0, 0, 1};
  flow.remotePort = 53;
  ASSERT_TRUE(LookupFlowSocket(flow).has_value());
  EXPECT_EQ(LookupFlowSocket(flow)->inode, dual.inode);
  flow.localPort = 9;  // discard: nobody listens here
  EXPECT_FALSE(LookupFlowSocket(flow).has_value());
}

}  // namespace
