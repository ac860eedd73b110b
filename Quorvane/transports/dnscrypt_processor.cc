#include "Quorvane/transports/dnscrypt_processor.h"

#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/http_get.h"
#include "Quorvane/platform/paths.h"
#include "Quorvane/transports/engine_sink.h"

std::atomic<bool> g_bUpdatingCertificate{false};

namespace {

constexpr char kNoLocalAddress[] = "No local IP/port configured";
constexpr char kUnknownAuthority[] = "certificate signed by unknown authority";
constexpr auto kUnboundPause = std::chrono::milliseconds(100);

void LogInitFailure(const wchar_t* reason) {
  CLogMessage().SetError().Append(LogError, std::wstring(L"DNS-crypt initialization failed with error: ") + reason +
                                                L". All DNSCrypt-related functions will be inaccessible");
}

void LogErrorLine(const std::wstring& text) { CLogMessage().SetError().Append(LogError, text); }

}  // namespace

void UpdateCertificateThread(std::wstring url) {
  g_bUpdatingCertificate = true;
  CLogMessage().Append(LogDebug, L"Trying to update certificate for " + url);
  const platform::SHttpGetResult result =
      platform::HttpGetNoBody(ToNarrow(url, false), CDnsCryptProcessor::kRefreshTimeoutMs);
  if (result.error == 0) {
    CLogMessage().Append(LogDebug, L"OpenURL success: " + url);
  } else {
    std::string text = result.text.substr(0, 999);
    CLogMessage()
        .SetError()
        .Append(LogError, L"OpenURL error ")
        .Append(LogError, result.error)
        .Append(LogError, L": " + ToWide(text, false) + L", URL=" + url);
  }
  g_bUpdatingCertificate = false;
}

CDnsCryptProcessor::~CDnsCryptProcessor() {
  std::lock_guard lock(m_link->mutex);
  m_link->owner = nullptr;
}

void CDnsCryptProcessor::Init() {
  const wchar_t* reason = nullptr;
  std::string name = ToNarrow(m_libraryName, false);
  if (name.find('/') == std::string::npos) name = (platform::ModuleFilePath().parent_path() / name).string();
  m_module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_module) {
    reason = L"DNS-crypt module cannot be loaded";
  } else {
    m_initLib = reinterpret_cast<InitLibFn>(dlsym(m_module, "InitLibForRunWithData"));
    m_getResult = reinterpret_cast<GetResultFn>(dlsym(m_module, "GetResultMessage_v2"));
    m_initRemote = reinterpret_cast<InitRemoteFn>(dlsym(m_module, "InitRemoteForRunWithData_v5"));
    m_run = reinterpret_cast<RunFn>(dlsym(m_module, "RunWithData_v2"));
    m_memFree = reinterpret_cast<MemFreeFn>(dlsym(m_module, "MemFree"));
    m_clean = reinterpret_cast<CleanFn>(dlsym(m_module, "Clean"));
    if (!m_initLib || !m_getResult || !m_initRemote || !m_run || !m_memFree || !m_clean) {
      reason = L"DNS-crypt functions not loaded";
    } else if (!m_initLib()) {
      reason = L"DNS-crypt lib initialisation failed";
    } else {
      m_loaded = true;
    }
  }
  if (reason) LogInitFailure(reason);
  {
    std::lock_guard lock(m_link->mutex);
    m_link->owner = this;
    m_link->running = true;
  }
  std::thread(RunResultThread, m_link, m_getResult, m_memFree).detach();
}

bool CDnsCryptProcessor::SendRequest(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info,
                                     const CDnsServer& server, const std::vector<sockaddr_storage>& localAddresses,
                                     bool isTest, uint64_t requestId, std::optional<CDnsServer> relay) {
  const std::wstring name = DnsNameToDisplayText(info.name.name);
  std::optional<std::string> localText;
  if (server.family != 0 && !localAddresses.empty()) {
    const sockaddr_storage* chosen = nullptr;
    for (const sockaddr_storage& local : localAddresses) {
      if (local.ss_family == server.family) {
        chosen = &local;
        break;
      }
    }
    if (!chosen) {
      LogErrorLine(name + L" - Could not find a suitable interface IP to connect to the server " +
               ToWide(AddressToText(static_cast<int>(server.family), server.address), false));
      return false;
    }
    localText = SockaddrToText(*chosen);
  }

  const SDnsCryptRemoteKey key{server.id, relay ? relay->id : 0, localText, isTest};
  uint64_t handle = FindRemote(key);
  if (handle == 0) {
    std::string stamp, relayStamp, error;
    if (!server.ToStamp(stamp, error)) {
      LogErrorLine(name + L" - Cannot create sdns: " + ToWide(error, false));
      return false;
    }
    if (relay && !relay->ToStamp(relayStamp, error)) {
      LogErrorLine(name + L" - Cannot create relay sdns: " + ToWide(error, false));
      return false;
    }
    const std::string serverName = ToNarrow(server.name, true);
    handle = CreateRemote(key, serverName.c_str(), "", stamp.c_str(), relay ? relayStamp.c_str() : nullptr,
                          localText ? localText->c_str() : nullptr, server.dnscrypt_disable_padding,
                          server.dnscrypt_force_tcp ? 1 : 2);
    if (handle == 0) {
      LogErrorLine(name + L" - Cannot init server: " + server.name);
      return false;
    }
  }
  SendToRemote(handle, query, length, requestId);
  return true;
}

uint64_t CDnsCryptProcessor::FindRemote(const SDnsCryptRemoteKey& key) {
  std::lock_guard lock(m_mutex);
  auto it = m_remotes.find(key);
  return it == m_remotes.end() ? 0 : it->second;
}

uint64_t CDnsCryptProcessor::CreateRemote(const SDnsCryptRemoteKey& key, const char* name, const char* second,
                                          const char* stamp, const char* relayStamp, const char* local,
                                          bool disablePadding, int transport) {
  if (!m_initRemote || !m_loaded) return 0;
  const uint64_t handle = m_initRemote(name, second, stamp, relayStamp, local, disablePadding, transport);
  if (handle == 0) return 0;
  std::lock_guard lock(m_mutex);
  // Another thread made a remote for the key meanwhile: keep that one, so
  // the queries of both share it and no handle goes without its Clean.
  auto [it, inserted] = m_remotes.emplace(key, handle);
  if (!inserted && it->second != handle) {
    CleanRemote(handle);
    m_remoteStates.erase(handle);
    return it->second;
  }
  return handle;
}

void CDnsCryptProcessor::SendToRemote(uint64_t handle, const uint8_t* query, uint32_t length, uint64_t requestId) {
  std::unique_lock lock(m_mutex);
  SDnsCryptRemoteState& state = m_remoteStates[handle];
  if (state.ready) {
    lock.unlock();
    RunWithData(handle, query, length, requestId);
    return;
  }
  if (state.queue.size() > kMaxQueuedPackets) {
    CLogMessage()
        .SetError()
        .Append(LogError, L"PacketQueue size = ")
        .Append(LogError, static_cast<unsigned long>(state.queue.size()));
    state.queue.clear();
  }
  state.queue.push_back({requestId, std::vector<uint8_t>(query, query + length)});
}

void CDnsCryptProcessor::RunWithData(uint64_t handle, const uint8_t* query, uint32_t length, uint64_t requestId) {
  if (m_run && m_loaded) m_run(handle, query, static_cast<int>(length), requestId);
}

void CDnsCryptProcessor::CleanRemote(uint64_t handle) {
  if (m_clean && m_loaded) m_clean(handle);
}

void CDnsCryptProcessor::OnRemoteStatus(uint64_t handle, int value) {
  if (value == -1) return;
  std::lock_guard lock(m_mutex);
  SDnsCryptRemoteState& state = m_remoteStates[handle];
  if (state.ready) return;
  state.ready = true;
  for (const SDnsCryptQueuedPacket& packet : state.queue)
    RunWithData(handle, packet.query.data(), static_cast<uint32_t>(packet.query.size()), packet.requestId);
  state.queue.clear();
}

void CDnsCryptProcessor::ReleaseLocked(std::map<SDnsCryptRemoteKey, uint64_t>::iterator it) {
  CleanRemote(it->second);
  m_remoteStates.erase(it->second);
  m_remotes.erase(it);
}

uint64_t CDnsCryptProcessor::ReleaseRemotes(uint32_t serverId, uint32_t relayId, bool isTest) {
  std::lock_guard lock(m_mutex);
  uint64_t last = 0;
  for (auto it = m_remotes.begin(); it != m_remotes.end();) {
    const auto& [server, relay, local, test] = it->first;
    auto next = std::next(it);
    if (server == serverId && relay == relayId && test == isTest) {
      last = it->second;
      ReleaseLocked(it);
    }
    it = next;
  }
  return last;
}

void CDnsCryptProcessor::ReleaseAllRemotes() {
  std::lock_guard lock(m_mutex);
  while (!m_remotes.empty()) ReleaseLocked(m_remotes.begin());
}

void CDnsCryptProcessor::OnResult(int kind, uint64_t id, const std::vector<uint8_t>& bytes) {
  if (kind == DnsCryptAnswer) {
    GetEngineSink().OnUpstreamAnswer(bytes, id);
  } else if (kind == DnsCryptLogText) {
    const std::string text(bytes.begin(), bytes.end());
    if (text == kNoLocalAddress) return;
    if (!g_bUpdatingCertificate && text.find(kUnknownAuthority) != std::string::npos) {
      const size_t start = text.find("https://");
      const size_t end = start == std::string::npos ? std::string::npos : text.find("]: ", start);
      if (end != std::string::npos) {
        g_bUpdatingCertificate = true;  // at once, so a second line starts no second refresh
        std::thread(UpdateCertificateThread, ToWide(text.substr(start, end - start), false)).detach();
      }
    }
    const std::wstring line = L"DnsCrypt log: " + ToWide(text, true);
    if (id == 0) {
      CLogMessage().Append(LogDebug, line);
    } else if (id > 2) {
      LogErrorLine(line);
    } else {
      CLogMessage().Append(LogVerbose, line);
    }
  } else if (kind == DnsCryptServerStatus) {
    if (bytes.size() < sizeof(SDnsCryptServerStatus)) return;
    SDnsCryptServerStatus status;
    std::memcpy(&status, bytes.data(), sizeof(status));
    CLogMessage()
        .Append(LogVerbose, L"Status of server ")
        .Append(LogVerbose, static_cast<unsigned long long>(status.handle))
        .Append(LogVerbose, L" on step ")
        .Append(LogVerbose, static_cast<unsigned long long>(status.step))
        .Append(LogVerbose, L" is ")
        .Append(LogVerbose, static_cast<long long>(status.value));
    OnRemoteStatus(status.handle, static_cast<int>(static_cast<uint32_t>(status.value)));
  }
}

void CDnsCryptProcessor::RunResultThread(std::shared_ptr<SResultLink> link, GetResultFn getResult,
                                         MemFreeFn memFree) {
  std::vector<uint8_t> bytes;
  for (;;) {
    if (!getResult || !memFree) {
      std::this_thread::sleep_for(kUnboundPause);
      std::lock_guard lock(link->mutex);
      if (!link->owner) break;
      continue;
    }
    int kind = 0;
    uint64_t id = 0;
    uint8_t* buffer = nullptr;
    int length = 0;
    getResult(&kind, &id, &buffer, &length);
    // A negative length or a missing buffer carries nothing.
    if (length < 0 || !buffer) length = 0;
    bytes.assign(buffer, buffer + length);
    memFree(buffer);
    std::lock_guard lock(link->mutex);
    if (!link->owner) break;
    link->owner->m_resultSeen = true;
    link->owner->OnResult(kind, id, bytes);
  }
  std::lock_guard lock(link->mutex);
  link->running = false;
  link->ended.notify_all();
}

bool CDnsCryptProcessor::StopForTesting(const std::function<void()>& wake) {
  std::unique_lock lock(m_link->mutex);
  m_link->owner = nullptr;
  if (!m_link->running) return true;
  lock.unlock();
  if (wake) wake();
  lock.lock();
  return m_link->ended.wait_for(lock, std::chrono::seconds(5), [&] { return !m_link->running; });
}
