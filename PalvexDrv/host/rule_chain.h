// The driver's filters as netfilter rules: one private chain of the filter
// table, jumped to from OUTPUT (UDP and TCP to port 53) and INPUT (UDP from
// port 53), in iptables and ip6tables alike. The chain first rejects, with
// a TCP reset, a packet that carries the block mark (a connect the driver
// blocked and handed back with NF_REPEAT), accepts what the host itself
// injected (the driver would let it pass unreported, so queueing it only
// costs a round trip through the reader), then queues UDP and TCP SYNs to
// NFQUEUE with --queue-bypass, so traffic flows unchanged whenever no host
// is bound to the queue. Absorbing is a queue verdict, never a DROP rule:
// a DROP in OUTPUT makes the sender's sendto fail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct SRuleChainConfig {
  std::string chain = "PALVEXDRV";
  uint16_t queueNumber = 5353;
  uint32_t blockMark = 0;
  uint32_t ownMark = 0;  // the injector's SO_MARK; 0: no accept rule
};

using ToolArgs = std::vector<std::string>;  // arguments after the tool's name

// The commands that create the chain and its jumps, in order.
std::vector<ToolArgs> ChainInstallCommands(const SRuleChainConfig& config);
// The commands that remove every jump to chain found in a listing of
// "-S <builtin>" (a leftover of any earlier run counts too), then flush and
// delete the chain.
std::vector<ToolArgs> ChainRemoveCommands(std::string_view chain, std::string_view outputListing,
                                          std::string_view inputListing);

// Runs tool with args (no shell), its standard output into *output when
// given; the exit status, or -1 when it could not be started.
int RunTool(const std::string& tool, const ToolArgs& args, std::string* output = nullptr);

class CRuleChain {
 public:
  explicit CRuleChain(SRuleChainConfig config) : m_config(std::move(config)) {}
  ~CRuleChain() { Remove(); }
  // Removes what an earlier run left, then installs for IPv4 and IPv6.
  // False with error naming the failing command; nothing stays installed then.
  bool Install(std::string& error);
  // Idempotent.
  void Remove();
  // Removes the chain and its jumps whether or not this object installed
  // them: what a host that was killed left behind.
  void RemoveLeftovers();

 private:
  void RemoveFor(const std::string& tool);

  SRuleChainConfig m_config;
  bool m_installed = false;
};
