#include "PalvexDrv/host/flow_owner.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

TEST(FlowOwner, ResolvesALoopbackFlowAndTheSweepEndsItOnceTheSocketCloses) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(53);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);  // fixes the ends, sends nothing
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  SFlowKey flow;
  flow.family = AF_INET;
  flow.protocol = IPPROTO_UDP;
  flow.localAddress = flow.remoteAddress = {127, 0, 0, 1};
  flow.localPort = ntohs(local.sin_port);
  flow.remotePort = 53;

  CSocketOwnerFinder finder;
  auto owner = ResolveFlowOwner(flow, 0, finder);
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(owner->processId, uint32_t(getpid()));
  EXPECT_EQ(owner->uid, getuid());

  CFlowTable table;
  auto touch = table.BeginClassify(flow, 0);
  table.EndClassify(touch.flowHandle);
  table.SetOwner(touch.flowHandle, *owner);
  // A flow whose socket was never found ends only by idling.
  SFlowKey orphan = flow;
  orphan.localPort = 1;
  table.EndClassify(table.BeginClassify(orphan, 0).flowHandle);

  EXPECT_TRUE(SweepFlows(table, 1).empty());
  close(fd);
  auto ended = SweepFlows(table, 2);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].flowHandle, touch.flowHandle);
  EXPECT_EQ(table.Size(), 1u);
}

}  // namespace
