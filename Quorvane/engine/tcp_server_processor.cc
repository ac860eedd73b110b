#include "Quorvane/engine/tcp_server_processor.h"

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"

void LogTransportNotAvailable(const SDnsMessageInfo& info, EDnsProtocol protocol) {
  CLogMessage().SetError().Append(LogError, DnsNameToDisplayText(info.name.name) + L" - " +
                                                ToWide(GetProtocolNames(protocol).second, false) +
                                                L" transport is not available");
}

bool CTcpServerProcessor::SendRequest(uint64_t, const uint8_t*, uint32_t, const SDnsMessageInfo& info,
                                      const CDnsServer& server, const std::vector<sockaddr_storage>&,
                                      CSocketEventsManager&, uint64_t, const std::optional<CDnsServer>&) {
  LogTransportNotAvailable(info, server.protocol);
  return false;
}

void CTcpServerProcessor::RemoveRequest(uint64_t requestId) {
  std::lock_guard lock(m_mutex);
  std::erase_if(m_connections, [&](const auto& entry) { return entry.second == requestId; });
}

void CTcpServerProcessor::RemoveRequests(const std::set<uint64_t>& ids) {
  std::lock_guard lock(m_mutex);
  std::erase_if(m_connections, [&](const auto& entry) { return ids.count(entry.second) != 0; });
}

std::vector<uint64_t> CTcpServerProcessor::RemoveOrphans(const std::set<uint64_t>& live) {
  std::lock_guard lock(m_mutex);
  std::vector<uint64_t> removed;
  for (auto it = m_connections.begin(); it != m_connections.end();) {
    if (live.count(it->second) == 0) {
      removed.push_back(it->second);
      it = m_connections.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

bool CTcpServerProcessor::Empty() {
  std::lock_guard lock(m_mutex);
  return m_connections.empty();
}
