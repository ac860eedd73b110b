#include "Quorvane/config/rule_processor.h"

#include <random>

#include "Quorvane/config/hooks.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

struct SPoolRandom {
  bool seeded = false;
  std::mt19937 engine;
};
thread_local SPoolRandom t_poolRandom;

const CRuleInterfaceSource g_interfaceTable;

// Draws an index below count (count > 0).
size_t DrawIndex(size_t count) { return PoolRandom() % count; }

// The candidate with the smallest known round-trip time under the bound;
// the earlier one on ties. -1 when none is eligible.
int BestCandidate(const std::vector<CDnsServer>& candidates) {
  int best = -1;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const CDnsServer& c = candidates[i];
    if (c.status != EServerStatus::Ok || c.rttMs == -1 || c.rttMs >= kRedundancyMaxRttMs) continue;
    if (best < 0 || c.rttMs < candidates[best].rttMs) best = static_cast<int>(i);
  }
  return best;
}

}  // namespace

void SeedPoolRandom(uint32_t seed) {
  t_poolRandom.engine.seed(seed);
  t_poolRandom.seeded = true;
}

uint32_t PoolRandom() {
  if (!t_poolRandom.seeded) SeedPoolRandom(std::random_device()());
  return static_cast<uint32_t>(t_poolRandom.engine());
}

bool CRuleInterfaceSource::FindInterface(ENetInterfaceIdType idType, const std::wstring& text,
                                         SNetInterface& out) const {
  return FindNetInterface(idType, text, out);
}

std::vector<sockaddr_storage> CRuleInterfaceSource::SystemDnsServers() const { return GetSystemDnsServers(); }

const CRuleInterfaceSource& CRuleProcessor::Interfaces() const { return interfaces ? *interfaces : g_interfaceTable; }

void SelectPoolServer(const std::vector<CDnsServer>& targets, const std::vector<CDnsServer>& relays,
                      const CDnsPool& pool, CDnsServer& outServer, std::optional<CDnsServer>& outRelay) {
  bool hasRelays = !relays.empty();
  if (pool.type == EPoolType::Redundancy) {
    int best = BestCandidate(hasRelays ? relays : targets);
    if (best >= 0) {
      if (hasRelays) {
        outServer = targets.front();
        outRelay = relays[best];
      } else {
        outServer = targets[best];
      }
      return;
    }
  }
  outServer = targets[DrawIndex(targets.size())];
  if (hasRelays) outRelay = relays[DrawIndex(relays.size())];
}

void CRuleProcessor::CollectTargets(const CRule& rule, std::vector<CDnsServer>& outTargets,
                                    std::vector<CDnsServer>& outRelays, CDnsPool& outPool) const {
  outTargets.clear();
  outRelays.clear();
  if (rule.action == ERuleAction::ProcessServer) {
    int index = FindServerIndexById(Servers(), rule.action_id);
    if (index >= 0) outTargets.push_back(Servers()[index]);
    return;
  }
  if (rule.action != ERuleAction::ProcessPool) return;
  int poolIndex = FindPoolIndexById(Pools(), rule.action_id);
  if (poolIndex < 0) return;
  outPool = Pools()[poolIndex];
  for (uint32_t id : outPool.relayIds) {
    int index = FindServerIndexById(Servers(), id);
    if (index >= 0) outRelays.push_back(Servers()[index]);
  }
  // Relays the pool names but that are all gone: sending without one would
  // reveal the client to the server the relay was meant to hide it from.
  if (!outPool.relayIds.empty() && outRelays.empty()) return;
  for (uint32_t id : outPool.serverIds) {
    int index = FindServerIndexById(Servers(), id);
    if (index >= 0) outTargets.push_back(Servers()[index]);
  }
}

bool CRuleProcessor::MatchRule(const CRule& rule, SNetInterface& outInterface, std::vector<CDnsServer>& outTargets,
                               std::vector<CDnsServer>& outRelays, CDnsPool& outPool) const {
  if (!rule.enabled || !rule.Match(host)) return false;
  switch (rule.action) {
    case ERuleAction::Bypass:
    case ERuleAction::Block:
      return true;
    case ERuleAction::ProcessServer:
    case ERuleAction::ProcessPool:
      break;
    default:
      return false;
  }
  bool condition = !rule.interface_id.empty();
  if (!condition) {
    outInterface = SNetInterface();
    outInterface.name = L"Default";
    outInterface.up = true;
  } else if (!Interfaces().FindInterface(rule.interface_id_type, rule.interface_id, outInterface)) {
    outInterface = SNetInterface();
    outInterface.name = rule.interface_name;
    outInterface.up = false;
    outInterface.SetIdText(rule.interface_id_type, rule.interface_id);
  }
  if (rule.action_id != 0)
    CollectTargets(rule, outTargets, outRelays, outPool);
  else if (condition)
    outTargets = MakeServersFromAddresses(outInterface.dnsServers);
  else
    outTargets = MakeServersFromAddresses(Interfaces().SystemDnsServers());
  return true;
}

bool CRuleProcessor::Process(std::vector<sockaddr_storage>& localAddresses, CDnsServer& server,
                             std::optional<CDnsServer>& relay, CRule& rule, bool& block,
                             bool& fromRedundancyPool) const {
  block = false;
  fromRedundancyPool = false;
  const SSettings& settings = g_Configuration.settings;
  const std::wstring displayHost = DnsNameToDisplayText(host);

  if (settings.captivePortalDetection) {
    CCaptivePortalHooks& portal = CaptivePortalHooks();
    if (portal.IsDetectionRunning()) {
      // The probe resolves its own host through the network's server.
      std::string testHost = portal.ConnectivityTestHost();
      if (!testHost.empty() && host == testHost) {
        CLogMessage().Append(LogVerbose, displayHost).Append(LogVerbose, L" - bypass (test hostname)");
        return false;
      }
    }
    if (portal.IsDetected()) {
      CLogMessage().Append(LogNormal, displayHost).Append(LogNormal, L" - bypass (Captive Portal detected)");
      portal.StartCheck();
      return false;
    }
  }

  for (size_t i = 0; i < Rules().size(); ++i) {
    const CRule& candidate = Rules()[i];
    SNetInterface netInterface;
    std::vector<CDnsServer> targets, relays;
    CDnsPool pool;
    if (!MatchRule(candidate, netInterface, targets, relays, pool)) continue;

    std::wstring action, detail, addressText, interfaceText, addressListText, reason;
    bool result = true;
    bool decides = true;
    bool blocks = false;
    std::optional<CDnsServer> chosenServer, chosenRelay;
    std::vector<sockaddr_storage> interfaceAddresses;

    if (candidate.action == ERuleAction::Bypass) {
      action = L"bypass";
      result = false;
    } else if (candidate.action == ERuleAction::Block) {
      action = L"block";
      if (candidate.block_return_zero_ip) action += L" (return null IP)";
      blocks = true;
    } else {
      action = L"process";
      detail = L"server=";
      if (targets.empty()) {
        detail += L"N/A (";
      } else {
        CDnsServer chosen;
        if (candidate.action == ERuleAction::ProcessPool)
          SelectPoolServer(targets, relays, pool, chosen, chosenRelay);
        else
          chosen = targets.front();
        detail += chosen.name + L" (" + Utf8ToWide(GetProtocolNames(chosen.protocol).second);
        addressText = L", " + chosen.GetDisplayAddress();
        chosenServer = std::move(chosen);
      }
      if (candidate.action == ERuleAction::ProcessPool) {
        detail += L", pool " + pool.name;
        fromRedundancyPool = pool.type == EPoolType::Redundancy;
      }
      if (chosenRelay) detail += L", relay " + chosenRelay->name;
      bool up = true;
      if (!candidate.interface_id.empty()) {
        SNetInterface shown = netInterface;
        shown.idType = candidate.interface_id_type;
        interfaceText = L", interface=" + shown.GetText(false, false);
        up = netInterface.IsUp();
        if (up) {
          interfaceAddresses = netInterface.addresses;
          addressListText = L" (" + AddressListToText(interfaceAddresses, false) + L")";
        } else {
          interfaceText += L" (down)";
        }
      }
      if (!up || targets.empty()) {
        if (settings.ignore_rule_if_interface_down) {
          if (i + 1 == Rules().size()) {
            CLogMessage().SetError().Append(LogError, L"Interface of Default rule is down. Request blocked.");
            block = true;
            return true;
          }
          action = L"find next rule";
          reason = L" (skipped because of interface)";
          decides = false;
        } else {
          action = L"blocked because of interface";
          blocks = true;
        }
      }
    }

    {
      int level = decides ? LogNormal : LogVerbose;
      CLogMessage line;
      line.Append(level, displayHost).Append(level, L" - ").Append(level, action).Append(level, L" : ");
      if (!detail.empty()) {
        line.Append(level, detail).Append(LogVerbose, addressText).Append(level, L")").Append(level, interfaceText)
            .Append(LogVerbose, addressListText).Append(level, L", ");
      }
      line.Append(level, L"rule=").Append(level, candidate.name).Append(level, reason);
    }
    if (!decides) {
      fromRedundancyPool = false;
      continue;
    }
    rule = candidate;
    block = blocks;
    if (!blocks && chosenServer) {
      server = std::move(*chosenServer);
      if (chosenRelay) relay = std::move(chosenRelay);
      localAddresses.insert(localAddresses.end(), interfaceAddresses.begin(), interfaceAddresses.end());
    }
    return result;
  }

  CLogMessage().SetError().Append(LogError, L"No rules match the request. Request blocked.");
  block = true;
  return true;
}
