// Intake of diverted queries: parse, count, decide, and answer in place,
// bypass, drop or route.
#include <cstring>

#include "Quorvane/config/profile.h"
#include "Quorvane/config/rule_processor.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

constexpr uint32_t kMaxDumpBytes = 1000;

}  // namespace

bool ParseInterceptedTraffic(const uint8_t* data, uint32_t length, SDnsMessageInfo& info, std::string& error) {
  std::vector<SDnsAnswerAddress> scratch;
  EDnsParseResult result = ParseDnsReply(data, length, DnsRequest, info, scratch, error);
  return result == DnsParseOk;
}

void LogDnsRequest(int level, const std::wstring& context, const SDnsMessageInfo& info,
                   const sockaddr_storage* server, const std::wstring& program, uint32_t processId) {
  // Its other values are of LogDebug, never written when level is not.
  if (!CLogMessage::Writes(level)) return;
  CLogMessage message;
  message.Append(level, DnsNameToDisplayText(info.name.name) + L" - " + context + L" : type=" +
                            DnsTypeName(info.qtype));
  message.Append(LogDebug, L", id=").Append(LogDebug, info.id);
  if (server) {
    message.Append(level, L", server=" + ToWide(SockaddrToText(*server), false) + L", program=" + program);
    message.Append(LogDebug, L", pid=").Append(LogDebug, processId);
  }
}

bool LogDnsReply(const uint8_t* data, uint32_t length, SDnsMessageInfo& info,
                 std::vector<SDnsAnswerAddress>& addresses, bool direct, uint64_t internalId) {
  std::string text;
  EDnsParseResult result = ParseDnsReply(data, length, DnsResponse, info, addresses, text);
  if (result != DnsParseOk) {
    CLogMessage message;
    message.SetError().Append(LogError, L"DnsParser error: " + ToWide(text, false));
    message.Append(LogDebug, L". Packet: " + ToWide(BytesToHex(std::vector<uint8_t>(data, data + length), false, 0),
                                                    false));
    return false;
  }
  if (!CLogMessage::Writes(LogVerbose)) return true;
  CLogMessage message;
  message.Append(LogVerbose, DnsNameToDisplayText(info.name.name) + L" - reply " + (direct ? L"(direct) " : L"") +
                                 L": type=" + DnsTypeName(info.qtype));
  message.Append(LogDebug, L", id=").Append(LogDebug, info.id);
  message.Append(LogDebug, L", intId=").Append(LogDebug, static_cast<unsigned long long>(internalId));
  if (info.qtype == 1 || info.qtype == 28) {
    std::vector<sockaddr_storage> list;
    list.reserve(addresses.size());
    for (const SDnsAnswerAddress& address : addresses) list.push_back(address.address);
    message.Append(LogVerbose, L", ips=" + AddressListToText(list, false));
  }
  return true;
}

EInterceptResult CDnsEngine::ProcessInterceptedQuery(uint8_t* packet, uint32_t& length,
                                                     const DatagramContext& context, const sockaddr_storage& client,
                                                     const sockaddr_storage& server, const std::wstring& program,
                                                     uint32_t processId) {
  SDnsMessageInfo info;
  std::string error;
  if (!ParseInterceptedTraffic(packet, length, info, error)) {
    CLogMessage()
        .SetError()
        .Append(LogError, L"Could not parse DNS packet. " + ToWide(error, false) + L", server=" +
                              ToWide(SockaddrToText(server), false) + L", program=" + program + L", pid=")
        .Append(LogError, processId);
    const uint32_t dump = std::min(length, kMaxDumpBytes);
    CLogMessage()
        .Append(LogDebug, L"Packet size=")
        .Append(LogDebug, length)
        .Append(LogDebug, L", data=" + ToWide(BytesToHex(std::vector<uint8_t>(packet, packet + dump), true, 1), false));
    return InterceptBypass;
  }
  ++m_resolvesProcessed;
  LogDnsRequest(LogVerbose, L"request", info, &server, program, processId);

  CRuleProcessor rules;
  rules.host = info.name.name;
  TrimRight(rules.host, '.');
  rules.running = CProfile::RunningLists();
  const std::wstring name = DnsNameToDisplayText(rules.host);

  std::vector<sockaddr_storage> localAddresses;
  CDnsServer chosen;
  std::optional<CDnsServer> relay;
  CRule rule;
  bool fromRedundancyPool = false;
  bool decidedByHost = false;

  for (const CDnsServer& candidate : rules.running->servers) {
    if (candidate.GetHostOrAddress(false) != rules.host) continue;
    chosen = candidate;
    int family = 0;
    std::vector<uint8_t> address;
    if (chosen.status == EServerStatus::Failed || !LookupServerAddress(rules.host, family, address)) {
      CLogMessage().Append(LogNormal, name + L" - use system resolver for the server hostname");
      return InterceptBypass;
    }
    chosen.family = static_cast<uint32_t>(family);
    chosen.address = std::move(address);
    CLogMessage().Append(LogNormal, name + L" - resolve server hostname through itself");
    decidedByHost = true;
    break;
  }

  if (!decidedByHost) {
    bool block = false;
    if (!rules.Process(localAddresses, chosen, relay, rule, block, fromRedundancyPool)) return InterceptBypass;
    if (block) {
      if (!rule.block_return_zero_ip) return InterceptAbsorbed;
      sockaddr_storage zero{};
      zero.ss_family = static_cast<sa_family_t>(info.family);
      size_t answerLength = length;
      if (!IncludeAnswerIntoDnsPacket(packet, answerLength, zero)) {
        CLogMessage().SetError().Append(LogError, L"IncludeAnswerIntoDnsPacket failed");
        return InterceptAbsorbed;
      }
      length = static_cast<uint32_t>(answerLength);
      return InterceptAnswered;
    }
  }

  dnsDataType data;
  data.kind = 0;
  data.context = context;
  data.clientAddress = client;
  data.serverAddress = server;
  data.server = chosen;
  data.relay = relay;
  data.localAddresses = localAddresses;
  data.fromRedundancyPool = fromRedundancyPool;
  RouteRequest(packet, length, kInterceptBufferSize, info, rule.dnssec_local_validation, rule.dnssec_reject_unsigned,
               data);
  return InterceptAbsorbed;
}
