#include "Quorvane/engine/dnscrypt_bridge.h"

#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"

void CDnsCryptProcessor::Init() {
  CLogMessage().SetError().Append(LogError, L"DNS-crypt initialization failed with error: "
                                            L"DNS-crypt module cannot be loaded. "
                                            L"All DNSCrypt-related functions will be inaccessible");
}

bool CDnsCryptProcessor::SendRequest(const uint8_t*, uint32_t, const SDnsMessageInfo& info, const CDnsServer& server,
                                     const std::vector<sockaddr_storage>& localAddresses, bool, uint64_t,
                                     std::optional<CDnsServer>) {
  const std::wstring name = DnsNameToDisplayText(info.name.name);
  if (server.family != 0 && !localAddresses.empty()) {
    bool found = false;
    for (const sockaddr_storage& local : localAddresses) found = found || local.ss_family == server.family;
    if (!found) {
      CLogMessage().SetError().Append(
          LogError, name + L" - Could not find a suitable interface IP to connect to the server " +
                        ToWide(AddressToText(static_cast<int>(server.family), server.address), false));
      return false;
    }
  }
  // No library, so no remote can be made.
  CLogMessage().SetError().Append(LogError, name + L" - Cannot init server: " + server.name);
  return false;
}

uint64_t CDnsCryptProcessor::ReleaseRemotes(uint32_t serverId, uint32_t relayId, bool isTest) {
  std::lock_guard lock(m_mutex);
  uint64_t last = 0;
  for (auto it = m_remotes.begin(); it != m_remotes.end();) {
    const auto& [server, relay, local, test] = it->first;
    if (server == serverId && relay == relayId && test == isTest) {
      CleanRemote(it->second);
      last = it->second;
      it = m_remotes.erase(it);
    } else {
      ++it;
    }
  }
  return last;
}

void CDnsCryptProcessor::ReleaseAllRemotes() {
  std::lock_guard lock(m_mutex);
  for (const auto& [key, handle] : m_remotes) CleanRemote(handle);
  m_remotes.clear();
}

void CDnsCryptProcessor::CleanRemote(uint64_t) {}
