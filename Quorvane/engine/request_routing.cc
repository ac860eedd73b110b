// Routing: registration, the server's address (resolved on short threads for
// servers given by host name), and dispatch by protocol.
#include <cstring>

#include "Quorvane/config/profile.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/system_dns.h"

namespace {

constexpr int64_t kRefreshRetrySeconds = 10;
constexpr int64_t kMinRefreshSeconds = 2;
// QUIC factories remember which 128-second slot of the clock made them.

bool IsMappedIpv4(const std::vector<uint8_t>& address) {
  static const uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return address.size() == 16 && std::memcmp(address.data(), kPrefix, sizeof kPrefix) == 0;
}

template <class Holder, class Make>
std::shared_ptr<Holder> GetOrMake(CDnsEngine::Table<CDnsEngine::HolderPool<Holder>>& table, uint32_t serverId,
                                  bool test, Make make) {
  auto pool = table.lock();
  auto& slot = (*pool)[CDnsEngine::PoolKey{serverId, 0, test ? 1 : 0}];
  if (!slot) slot = make();
  return slot;
}

}  // namespace

bool CDnsEngine::RouteRequest(uint8_t* message, uint32_t& length, uint32_t capacity, const SDnsMessageInfo& info,
                              bool localValidation, bool rejectUnsigned, const dnsDataType& data) {
  const uint64_t requestId = m_requests.Add(message, length, capacity, info, localValidation, rejectUnsigned,
                                            std::any(data));
  if (requestId == 0) {
    // Sending a cut query would only earn a garbled answer; the server is fine.
    CLogMessage()
        .SetError()
        .Append(LogError, DnsNameToDisplayText(info.name.name) + L" - the query does not fit in ")
        .Append(LogError, capacity)
        .Append(LogError, L" bytes once prepared for upstream, dropped");
    return false;
  }

  CDnsServer server = data.server;
  const std::string host = server.GetHostOrAddress(true);
  if (server.address.empty()) {
    int family = 0;
    std::vector<uint8_t> address;
    if (TextToAddress(host, family, address)) {
      server.family = static_cast<uint32_t>(family);
      server.address = std::move(address);
    }
  }
  if (server.address.empty()) {
    int family = 0;
    std::vector<uint8_t> address;
    if (!LookupServerAddress(host, family, address)) {
      CLogMessage().Append(LogNormal, DnsNameToDisplayText(info.name.name) + L" - IP address of " +
                                          ToWide(host, false) + L" is not yet known and will be resolved");
      std::vector<uint8_t> kept(message, message + length);
      StartDetached([this, server, kept = std::move(kept), info, data, requestId]() mutable {
        ResolveThread(std::move(server), std::move(kept), std::move(info), std::move(data), requestId);
      });
      return true;
    }
    server.family = static_cast<uint32_t>(family);
    server.address = std::move(address);
  }
  return DispatchRequest(message, length, info, server, data.localAddresses, data.test, requestId, data.relay);
}

void CDnsEngine::ResolveThread(CDnsServer server, std::vector<uint8_t> message, SDnsMessageInfo info,
                               dnsDataType data, uint64_t requestId) {
  const std::string host = server.GetHostOrAddress(true);
  if (ResolveServerHost(host) == 0) return;
  int family = 0;
  std::vector<uint8_t> address;
  if (!LookupServerAddress(host, family, address)) return;
  server.family = static_cast<uint32_t>(family);
  server.address = std::move(address);
  DispatchRequest(message.data(), static_cast<uint32_t>(message.size()), info, server, data.localAddresses, data.test,
                  requestId, data.relay);
}

bool CDnsEngine::LookupServerAddress(const std::string& host, int& family, std::vector<uint8_t>& address) {
  bool refresh = false;
  {
    auto addresses = m_hostAddresses.lock();
    auto it = addresses->find(host);
    if (it == addresses->end()) return false;
    const int64_t now = platform::WallTime();
    if (it->second.refreshTime < now) {
      // The old address serves meanwhile; the step keeps further lookups
      // from starting more threads.
      it->second.refreshTime = now + kRefreshRetrySeconds;
      refresh = true;
    }
    family = it->second.family;
    address = it->second.address;
  }
  if (refresh) {
    CLogMessage().Append(LogDebug, ToWide(host, false) + L" - time to update DNS server IP address");
    StartDetached([this, host] { ResolveServerHost(host); });
  }
  return true;
}

void CDnsEngine::UpdateServerAddress(const std::string& host) {
  CLogMessage().Append(LogDebug, ToWide(host, false) + L" - update server address");
  StartDetached([this, host] { ResolveServerHost(host); });
}

int CDnsEngine::ResolveServerHost(std::string host) {
  if (host.empty()) {
    CLogMessage().SetError().Append(LogError, L"DNS Server empty hostname");
    return 0;
  }
  // One increment decides, so no two threads both see room for the last one.
  if (m_resolvesRunning.fetch_add(1) >= kMaxResolvesRunning) {
    --m_resolvesRunning;
    CLogMessage().SetError().Append(LogError, L"Too many resolves in progress. The " + ToWide(host, false) +
                                                  L" will not be resolved");
    return 0;
  }
  platform::SSystemDnsResult result =
      platform::SystemDnsQuery(host, platform::DNS_TYPE_AAAA,
                               platform::DNS_QUERY_BYPASS_CACHE | platform::DNS_QUERY_DUAL_ADDR);
  --m_resolvesRunning;

  if (result.status != 0) {
    CLogMessage()
        .SetError()
        .Append(LogError, DnsNameToDisplayText(host) + L" - server hostname resolution failed with error ")
        .Append(LogError, result.status)
        .Append(LogError, L". " + ToWide(platform::SystemDnsErrorText(result.status), false));
  }

  const int64_t now = platform::WallTime();
  int count = 0;
  SServerAddressEntry entry;
  for (const platform::SSystemDnsRecord& record : result.records) {
    if (record.type != platform::DNS_TYPE_AAAA || record.address.size() != 16) continue;
    ++count;
    entry.refreshTime = now + std::max<int64_t>(record.ttl, kMinRefreshSeconds);
    if (IsMappedIpv4(record.address)) {
      entry.family = AF_INET;
      entry.address.assign(record.address.begin() + 12, record.address.end());
      break;
    }
    entry.family = AF_INET6;
    entry.address = record.address;
  }

  {
    auto addresses = m_hostAddresses.lock();
    if (count == 0) {
      addresses->erase(host);
      CLogMessage().Append(LogDebug, ToWide(host, false) + L" - server hostname resolution failed");
    } else {
      (*addresses)[host] = entry;
      CLogMessage()
          .Append(LogDebug, ToWide(host, false) + L" - server hostname resolved as " +
                                ToWide(AddressToText(entry.family, entry.address), false) + L", TTL=")
          .Append(LogDebug, static_cast<long long>(entry.refreshTime - now));
    }
  }

  if (count != 0) {
    std::vector<CDnsServer> servers;
    CProfile::GetServers(servers);
    for (const CDnsServer& server : servers) {
      if (server.GetHostOrAddress(false) != host) continue;
      if (server.family == entry.family && server.address == entry.address) continue;
      RemoveDnsCryptRemote(server.id, 0, false);
    }
  }
  return count;
}

void CDnsEngine::ResetServerState() {
  {
    m_hostAddresses.lock()->clear();
  }
  m_dnsCrypt->ReleaseAllRemotes();
}

std::shared_ptr<CTcpPlainServerProcessor> CDnsEngine::GetTcpServerProcessor(uint32_t serverId, bool test,
                                                                            const std::wstring& name) {
  return GetOrMake(m_tcpPool, serverId, test,
                   [&] { return std::make_shared<CTcpPlainServerProcessor>(name); });
}

std::shared_ptr<CTcpTlsServerProcessor> CDnsEngine::GetTlsServerProcessor(uint32_t serverId, bool test,
                                                                          const std::wstring& name) {
  return GetOrMake(m_tlsPool, serverId, test,
                   [&] { return std::make_shared<CTcpTlsServerProcessor>(name); });
}

std::shared_ptr<CQuicServerConnectionFactory> CDnsEngine::GetQuicFactory(uint32_t serverId, bool test,
                                                                         const std::wstring& name) {
  return GetOrMake(m_quicPool, serverId, test, [&] {
    return std::make_shared<CQuicServerConnectionFactory>(name, platform::WallTime() / CQuicServerConnectionFactory::kTimeSlotSeconds);
  });
}

bool CDnsEngine::DispatchRequest(const uint8_t* message, uint32_t length, const SDnsMessageInfo& info,
                                 const CDnsServer& server, const std::vector<sockaddr_storage>& localAddresses,
                                 bool test, uint64_t requestId, std::optional<CDnsServer> relay) {
  switch (server.protocol) {
    case EDnsProtocol::DnsCrypt:
    case EDnsProtocol::Doh:
    case EDnsProtocol::NextDns:
      return m_dnsCrypt->SendRequest(message, length, info, server, localAddresses, test, requestId, relay);
    case EDnsProtocol::Dot: {
      auto holder = GetTlsServerProcessor(server.id, test, server.name);
      return holder->GetProcessor(holder->NextConnectionKey())
          ->SendRequest(message, length, info, server, localAddresses, m_socketEvents, requestId, relay);
    }
    case EDnsProtocol::Doq: {
      // Each query's own answer layer; the client feeds it the stream's bytes.
      auto handler = std::make_shared<CDnsPlainProtocolProcessor>(true);
      handler->m_requestId = requestId;
      handler->m_name = DnsNameToDisplayText(info.name.name);
      return GetQuicFactory(server.id, test, server.name)
          ->GetProcessor()
          ->SendRequest(message, length, info, server, localAddresses, &m_socketEvents, requestId, handler);
    }
    case EDnsProtocol::Plain:
      if (server.plain_use_tcp) {
        auto holder = GetTcpServerProcessor(server.id, test, server.name);
        return holder->GetProcessor(holder->NextConnectionKey())
            ->SendRequest(message, length, info, server, localAddresses, m_socketEvents, requestId, relay);
      }
      [[fallthrough]];
    default:
      return m_udp.SendRequest(message, length, info, server, localAddresses, m_socketEvents, requestId, relay);
  }
}
