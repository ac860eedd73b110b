// The engine's lifecycle: start, the worker and its housekeeping, server
// changes, server tests and the stop road.
#include "Quorvane/engine/dns_engine.h"

#include <sys/resource.h>

#include <cerrno>
#include <chrono>

#include "Quorvane/engine/net_filter_processor.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/ngtcp2/quic_client.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/transports/certificate_cache.h"

namespace {

constexpr auto kWaitErrorPause = std::chrono::milliseconds(100);

// Every UDP query has a socket of its own, so a burst of queries needs many
// descriptors: take all that the hard limit allows.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  const rlim_t old = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    CLogMessage()
        .SetError()
        .Append(LogError, L"Could not raise the descriptor limit from ")
        .Append(LogError, static_cast<unsigned long long>(old))
        .Append(LogError, L", error ")
        .Append(LogError, errno);
  }
}

void DriverInjector(const uint8_t* message, uint32_t length, const sockaddr_storage& from, const sockaddr_storage& to,
                    const DatagramContext& context, bool receive) {
  g_NetFilterProcessor.InjectUdp(message, length, from, to, context, receive);
}

}  // namespace

CDnsEngine g_DnsEngine;

CDnsEngine::CDnsEngine(std::unique_ptr<CDnsCryptProcessor> dnsCrypt)
    : m_dnsCrypt(dnsCrypt ? std::move(dnsCrypt) : std::make_unique<CDnsCryptProcessor>()), m_inject(DriverInjector) {
  m_dnsCrypt->SetLibraryName(L"libdnscrypt.so");
  SetQuicClientCreator(CQuicClient::Create);
  m_requests.SetHostFailedHandler([this](const std::string& host) { UpdateServerAddress(host); });
}

CDnsEngine::~CDnsEngine() {
  // A worker left running would use the engine after it is gone; one that a
  // stop had to detach gets a last, bounded chance to end.
  if (m_worker.joinable()) Stop();
  {
    std::unique_lock lock(m_workerMutex);
    if (m_workerStarted && !m_workerEnded) {
      m_workerDone.wait_for(lock, std::chrono::milliseconds(2 * kStopWaitMs), [this] { return m_workerEnded; });
    }
  }
  if (&GetEngineSink() == &m_sink) SetEngineSink(nullptr);
  if (&ConfigEngineHooks() == &m_configHooks) SetConfigEngineHooks(nullptr);
  // Resolution threads use the engine; each ends within the resolver's time-out.
  std::unique_lock lock(m_detachedMutex);
  m_detachedDone.wait(lock, [this] { return m_detachedRunning == 0; });
}

void CDnsEngine::SetInjectorForTesting(InjectUdpFn inject) { m_inject = inject ? std::move(inject) : DriverInjector; }

CDnsEngine::STableSizes CDnsEngine::TableSizes() {
  STableSizes sizes;
  sizes.pending = m_requests.Count();
  sizes.udp = m_udp.Count();
  for (auto& [key, holder] : *m_tcpPool.lock()) sizes.tcp += holder->Count();
  for (auto& [key, holder] : *m_tlsPool.lock()) sizes.tls += holder->Count();
  for (auto& [key, factory] : *m_quicPool.lock()) sizes.quic += factory->ProcessorCount();
  sizes.socketEvents = m_socketEvents.EntryCount();
  {
    std::lock_guard lock(m_dnssecChecksMutex);
    sizes.dnssecChecks = m_dnssecChecks.size();
  }
  auto store = m_dnssecStore.lock();
  sizes.dnssecAnswers = store->answers.size();
  sizes.dnssecCache = store->cache.size();
  return sizes;
}

void CDnsEngine::StartDetached(std::function<void()> body) {
  {
    std::lock_guard lock(m_detachedMutex);
    ++m_detachedRunning;
  }
  std::thread([this, body = std::move(body)] {
    body();
    std::lock_guard lock(m_detachedMutex);
    if (--m_detachedRunning == 0) m_detachedDone.notify_all();
  }).detach();
}

bool CDnsEngine::Start() {
  m_running = true;
  RaiseDescriptorLimit();
  SetEngineSink(&m_sink);
  std::shared_ptr<platform::CompletionPort> port = platform::CompletionPort::Create();
  if (!port || !m_socketEvents.SetPort(port)) {
    // Without the port no transport can run: saying so beats an engine that
    // takes queries and never answers them.
    CLogMessage().SetError().Append(LogError, L"Could not create the completion port, error ").Append(LogError, errno);
    m_running = false;
    return false;
  }
  if (m_worker.joinable()) {
    CLogMessage().SetError().Append(LogError, L"Dns Engine worker is already running");
  } else {
    {
      std::lock_guard lock(m_workerMutex);
      m_workerStarted = true;
    }
    m_worker = std::thread(&CDnsEngine::WorkerThread, this);
  }
  m_dnsCrypt->Init();
  return true;
}

bool CDnsEngine::Stop() {
  m_running = false;
  if (!m_worker.joinable()) return true;
  if (platform::CompletionPort* port = m_socketEvents.GetPort()) port->Post(0, 0, nullptr);
  bool ended = false;
  {
    std::unique_lock lock(m_workerMutex);
    ended = m_workerDone.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [this] { return m_workerEnded; });
  }
  if (!ended) {
    CLogMessage().SetError().Append(LogError, L"Dns Engine stop failed with error ").Append(LogError, platform::ERROR_TIMEOUT);
    m_worker.detach();
    return false;
  }
  m_worker.join();
  return true;
}

void CDnsEngine::WorkerThread() {
  for (;;) {
    uint64_t key = 0;
    CSocketEventsManager::SSocketEntry entry;
    CSocketEventsManager::SCompletionEvent event;
    CSocketEventsManager::WaitResult result = m_socketEvents.WaitForEvent(key, entry, event);
    if (!m_running) break;
    const int64_t now = platform::TickSeconds();
    if (now > m_lastHousekeeping) {
      m_lastHousekeeping = now + 1;
      Housekeeping(now);
      std::lock_guard lock(m_workerMutex);
      ++m_housekeepings;
      m_workerDone.notify_all();
    }
    if (result == CSocketEventsManager::WaitError) {
      CLogMessage().SetError().Append(LogError, L"Socket event error ").Append(LogError, event.error);
      std::this_thread::sleep_for(kWaitErrorPause);
    } else if (result == CSocketEventsManager::WaitEvent && entry.processor) {
      entry.processor->ProcessEvent(event, entry.socket ? entry.socket->Handle() : -1, key, m_socketEvents,
                                    entry.processor);
    }
  }
  std::lock_guard lock(m_workerMutex);
  m_workerEnded = true;
  m_workerDone.notify_all();
}

uint64_t CDnsEngine::AwaitHousekeepingForTesting(uint64_t seen, int limitMs) {
  std::unique_lock lock(m_workerMutex);
  m_workerDone.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return m_housekeepings > seen; });
  return m_housekeepings;
}

void CDnsEngine::Housekeeping(int64_t now) {
  std::set<uint64_t> expired;
  std::set<uint64_t> live;
  m_requests.CheckTimeouts(expired, live, now);
  if (!expired.empty()) ExpireRequestProcessors(expired);
  GetCertificateCache().Purge(now);
  m_socketEvents.RemoveTimedOutProcessors(now);
  if (!live.empty()) RemoveOrphanProcessors(live);
  {
    std::erase_if(*m_quicPool.lock(), [](const auto& entry) { return entry.second->RemoveIdleProcessors(); });
  }
  ExpireDnssecState(now);
}

void CDnsEngine::ExpireRequestProcessors(const std::set<uint64_t>& expired) {
  ForEachStreamHolder([&](CTcpServerProcessorBase& holder) { holder.RemoveRequests(expired); });
  m_udp.RemoveRequestProcessors(expired, m_socketEvents);
}

void CDnsEngine::ForEachStreamHolder(const std::function<void(CTcpServerProcessorBase&)>& visit) {
  auto walk = [&](auto& table) {
    auto pool = table.lock();
    for (auto it = pool->begin(); it != pool->end();) {
      visit(*it->second);
      it = it->second->Empty() ? pool->erase(it) : std::next(it);
    }
  };
  walk(m_tlsPool);
  walk(m_tcpPool);
}

void CDnsEngine::RemoveOrphanProcessors(const std::set<uint64_t>& live) {
  ForEachStreamHolder([&](CTcpServerProcessorBase& holder) {
    for (uint64_t id : holder.RemoveOrphans(live)) {
      CLogMessage()
          .SetError()
          .Append(LogError, L"TCP processor for non existent request removed ")
          .Append(LogError, static_cast<unsigned long long>(id));
    }
  });
  for (uint64_t id : m_udp.RemoveOrphans(live, m_socketEvents)) {
    CLogMessage()
        .SetError()
        .Append(LogError, L"UDP processor for non existent request removed ")
        .Append(LogError, static_cast<unsigned long long>(id));
  }
}

void CDnsEngine::OnServerChange(int kind, const CDnsServer& server, const CDnsServer& relay, bool check) {
  CLogMessage message;
  if (kind == kServerChangeAdded) {
    message.Append(LogDebug, L"Server added: ");
  } else {
    switch (server.protocol) {
      case EDnsProtocol::DnsCrypt:
      case EDnsProtocol::Doh:
      case EDnsProtocol::NextDns:  // NextDNS runs on the bridge's remotes too
        message.Append(LogDebug, check ? L"Check server " : L"Server ")
            .Append(LogDebug, static_cast<unsigned long long>(RemoveDnsCryptRemote(server.id, relay.id, check)))
            .Append(LogDebug, L" removed: ");
        break;
      case EDnsProtocol::Doq:
        RemoveQuicProcessors(server.id, check);
        break;
      default:
        break;
    }
  }
  message.Append(LogDebug, L"name=" + server.name + L", id=").Append(LogDebug, server.id);
  if (relay.id != 0) {
    message.Append(LogDebug, L", relayName=" + relay.name + L", relayId=").Append(LogDebug, relay.id);
  }
}

uint64_t CDnsEngine::RemoveDnsCryptRemote(uint32_t serverId, uint32_t relayId, bool check) {
  return m_dnsCrypt->ReleaseRemotes(serverId, relayId, check);
}

bool CDnsEngine::RemoveQuicProcessors(uint32_t serverId, bool check) {
  auto pool = m_quicPool.lock();
  auto it = pool->find(PoolKey{serverId, 0, check ? 1 : 0});
  if (it == pool->end()) return false;
  it->second->RemoveAllProcessors();
  pool->erase(it);
  return true;
}

bool CDnsEngine::SendTestRequest(uint8_t* message, uint32_t& length, const SDnsMessageInfo& info,
                                 const SServerCheck& check) {
  dnsDataType data;
  if (check.dnsCryptServer.id != 0) {
    data.server = check.dnsCryptServer;
    data.relay = check.server;
  } else {
    data.server = check.server;
  }
  data.owner = check.owner;
  data.sequence = check.sequence;
  data.testHost = check.testHost;
  data.test = true;
  return RouteRequest(message, length, kInterceptBufferSize, info, false, false, data);
}
