// Rule evaluation: for one diverted query, whether it is bypassed, blocked or
// resolved, and for a resolved one through which server (and relay), from
// which local addresses, under which rule. One log line per rule acted on.
//
// The engine fills host and the running lists as last published
// (CProfile::RunningLists) and calls Process once; evaluation takes no
// configuration lock. It runs on the thread that decides queries and reads
// the running settings and the captive-portal state without locks.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Quorvane/config/dns_pool.h"
#include "Quorvane/config/dns_server.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/config/rule.h"
#include "Quorvane/foundation/net_interfaces.h"

// Where evaluation learns about the machine's interfaces. The default asks
// the interface table (FindNetInterface, GetSystemDnsServers); tests hand in
// their own.
class CRuleInterfaceSource {
 public:
  virtual ~CRuleInterfaceSource() = default;
  virtual bool FindInterface(ENetInterfaceIdType idType, const std::wstring& text, SNetInterface& out) const;
  virtual std::vector<sockaddr_storage> SystemDnsServers() const;
};

class CRuleProcessor {
 public:
  std::string host;  // as asked, letter case kept, no trailing dots; empty for the root
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  std::vector<CRule> rules;  // in order, the Default rule last
  // When set, evaluated in place of the three lists above, uncopied.
  std::shared_ptr<const SRunningLists> running;
  const CRuleInterfaceSource* interfaces = nullptr;  // nullptr: the interface table

  // False: bypass, the query goes on to the server the process addressed.
  // True: decided; with block set the query is blocked (the engine answers
  // by rule.block_return_zero_ip), else it is resolved through server (and
  // relay when set) from localAddresses, which gets the deciding rule's
  // interface addresses. block and fromRedundancyPool start false. rule gets
  // a copy of the deciding rule; it stays as the caller set it when no rule
  // decided. server and relay are written only when a processing rule
  // decides with a target.
  bool Process(std::vector<sockaddr_storage>& localAddresses, CDnsServer& server, std::optional<CDnsServer>& relay,
               CRule& rule, bool& block, bool& fromRedundancyPool) const;

  // Whether the rule applies to host; for processing rules also its interface
  // (a pseudo one without a condition, or a down one when it is absent) and
  // its targets, relays and pool.
  bool MatchRule(const CRule& rule, SNetInterface& outInterface, std::vector<CDnsServer>& outTargets,
                 std::vector<CDnsServer>& outRelays, CDnsPool& outPool) const;

  // The servers a rule's action_id names: the server itself, or a pool's
  // members and relays in the pool's order. A pool that names relays of
  // which none exists yields no target, so its queries never go out without
  // a relay.
  void CollectTargets(const CRule& rule, std::vector<CDnsServer>& outTargets, std::vector<CDnsServer>& outRelays,
                      CDnsPool& outPool) const;

 private:
  const CRuleInterfaceSource& Interfaces() const;
  const std::vector<CDnsServer>& Servers() const { return running ? running->servers : servers; }
  const std::vector<CDnsPool>& Pools() const { return running ? running->pools : pools; }
  const std::vector<CRule>& Rules() const { return running ? running->rules : rules; }
};

// Redundancy: the Ok candidate (a relay when there are relays) with the
// smallest known round-trip time below kRedundancyMaxRttMs, earlier on ties;
// with relays the server is the first target. Balancing, and Redundancy
// without such a candidate: random members. targets must not be empty.
void SelectPoolServer(const std::vector<CDnsServer>& targets, const std::vector<CDnsServer>& relays,
                      const CDnsPool& pool, CDnsServer& outServer, std::optional<CDnsServer>& outRelay);

constexpr int32_t kRedundancyMaxRttMs = 10000;

// The pool choice's generator, one per thread (glibc's rand is process-wide).
// The thread that decides queries seeds it with the time when it starts; a
// thread that never seeds it is seeded from the system's entropy.
void SeedPoolRandom(uint32_t seed);
uint32_t PoolRandom();
