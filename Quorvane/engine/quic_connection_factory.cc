#include "Quorvane/engine/quic_connection_factory.h"

#include "Quorvane/engine/tcp_server_processor.h"

bool CQuicServerConnectionFactory::SendRequest(const uint8_t*, uint32_t, const SDnsMessageInfo& info,
                                               const CDnsServer&, const std::vector<sockaddr_storage>&,
                                               CSocketEventsManager&, uint64_t) {
  LogTransportNotAvailable(info, EDnsProtocol::Doq);
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
