#include "Quorvane/engine/quic_connection_factory.h"

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"

bool CQuicServerConnectionFactory::SendRequest(const uint8_t*, uint32_t, const SDnsMessageInfo& info,
                                               const CDnsServer&, const std::vector<sockaddr_storage>&,
                                               CSocketEventsManager&, uint64_t) {
  CLogMessage().SetError().Append(LogError, DnsNameToDisplayText(info.name.name) + L" - " +
                                                ToWide(GetProtocolNames(EDnsProtocol::Doq).second, false) +
                                                L" transport is not available");
  return false;
}

bool CQuicServerConnectionFactory::RemoveIdleProcessors() {
  std::lock_guard lock(m_mutex);
  return m_processors == 0;
}

void CQuicServerConnectionFactory::CloseAll() {
  std::lock_guard lock(m_mutex);
  m_processors = 0;
}
