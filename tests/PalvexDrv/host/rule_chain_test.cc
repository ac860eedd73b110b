#include "PalvexDrv/host/rule_chain.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

bool Has(const ToolArgs& args, std::initializer_list<const char*> words) {
  auto it = args.begin();
  for (const char* word : words) {
    it = std::find(it, args.end(), word);
    if (it == args.end()) return false;
  }
  return true;
}

TEST(RuleChain, RejectsTheBlockMarkBeforeAnythingIsQueuedAndEveryQueueRuleBypasses) {
  SRuleChainConfig config{"PALVEXDRV", 77, 0x70640002};
  auto commands = ChainInstallCommands(config);
  ASSERT_GE(commands.size(), 4u);
  EXPECT_THAT(commands[0], ElementsAre("-w", "-N", "PALVEXDRV"));
  EXPECT_TRUE(Has(commands[1], {"-A", "PALVEXDRV", "tcp", "--mark", "0x70640002", "REJECT", "tcp-reset"}));
  int queues = 0;
  for (const ToolArgs& args : commands) {
    if (!Has(args, {"NFQUEUE"})) continue;
    ++queues;
    EXPECT_TRUE(Has(args, {"-A", "PALVEXDRV", "--queue-num", "77", "--queue-bypass"}));
    EXPECT_FALSE(Has(args, {"DROP"}));
  }
  EXPECT_EQ(queues, 2);  // datagrams, and TCP SYNs
  EXPECT_TRUE(std::any_of(commands.begin(), commands.end(),
                          [](const ToolArgs& a) { return Has(a, {"OUTPUT", "udp", "--dport", "53", "PALVEXDRV"}); }));
  EXPECT_TRUE(std::any_of(commands.begin(), commands.end(),
                          [](const ToolArgs& a) { return Has(a, {"OUTPUT", "tcp", "--dport", "53", "PALVEXDRV"}); }));
  EXPECT_TRUE(std::any_of(commands.begin(), commands.end(),
                          [](const ToolArgs& a) { return Has(a, {"INPUT", "udp", "--sport", "53", "PALVEXDRV"}); }));
}

TEST(RuleChain, AcceptsTheOwnMarkAfterTheResetAndBeforeAnythingIsQueued) {
  SRuleChainConfig config{"PALVEXDRV", 77, 0x70640002, 0x70640001};
  auto commands = ChainInstallCommands(config);
  auto accept = std::find_if(commands.begin(), commands.end(),
                             [](const ToolArgs& a) { return Has(a, {"-A", "PALVEXDRV", "--mark", "0x70640001", "ACCEPT"}); });
  auto reset = std::find_if(commands.begin(), commands.end(), [](const ToolArgs& a) { return Has(a, {"REJECT"}); });
  auto queue = std::find_if(commands.begin(), commands.end(), [](const ToolArgs& a) { return Has(a, {"NFQUEUE"}); });
  ASSERT_NE(accept, commands.end());
  EXPECT_LT(reset, accept);
  EXPECT_LT(accept, queue);
  // Without a mark there is nothing to accept by.
  config.ownMark = 0;
  for (const ToolArgs& args : ChainInstallCommands(config)) EXPECT_FALSE(Has(args, {"ACCEPT"}));
}

TEST(RuleChain, RemovesEveryJumpOfTheListingsAndNoOtherRule) {
  const char* output =
      "-P OUTPUT ACCEPT\n"
      "-A OUTPUT -p udp -m udp --dport 53 -j PALVEXDRV\n"
      "-A OUTPUT -p udp -m udp --dport 53 -j PALVEXDRV\n"  // a leftover of an earlier run
      "-A OUTPUT -p tcp -j PALVEXDRV_OTHER\n"
      "-A OUTPUT -d 10.0.0.1/32 -j ACCEPT\n";
  const char* input = "-P INPUT ACCEPT\n-A INPUT -p udp -m udp --sport 53 -j PALVEXDRV\n";
  auto commands = ChainRemoveCommands("PALVEXDRV", output, input);
  ASSERT_EQ(commands.size(), 5u);
  EXPECT_THAT(commands[0], ElementsAre("-w", "-D", "OUTPUT", "-p", "udp", "-m", "udp", "--dport", "53", "-j", "PALVEXDRV"));
  EXPECT_EQ(commands[1], commands[0]);
  EXPECT_THAT(commands[2], ElementsAre("-w", "-D", "INPUT", "-p", "udp", "-m", "udp", "--sport", "53", "-j", "PALVEXDRV"));
  EXPECT_THAT(commands[3], ElementsAre("-w", "-F", "PALVEXDRV"));
  EXPECT_THAT(commands[4], ElementsAre("-w", "-X", "PALVEXDRV"));
}

TEST(RuleChain, RunToolReportsExitStatusOutputAndAMissingTool) {
  std::string output;
  EXPECT_EQ(RunTool("sh", {"-c", "echo hello; exit 3"}, &output), 3);
  EXPECT_EQ(output, "hello\n");
  EXPECT_EQ(RunTool("palvex-no-such-tool", {}), -1);
}

}  // namespace
