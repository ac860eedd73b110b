#include "Quorvane/transports/quic_connection_processor.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/system_errors.h"
#include "Quorvane/transports/engine_sink.h"

namespace {

// Function statics: the engine's global sets the creator during static
// initialisation, in whatever order the program's files run theirs.
struct SCreator {
  std::mutex mutex;
  QuicClientCreator creator;  // under mutex
};
SCreator& CreatorSlot() {
  static SCreator* slot = new SCreator;
  return *slot;
}

QuicClientCreator Creator() {
  std::lock_guard lock(CreatorSlot().mutex);
  return CreatorSlot().creator;
}

void LogErrorLine(const std::wstring& text) { CLogMessage().SetError().Append(LogError, text); }

socklen_t AddressLength(int family) {
  return family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace

void SetQuicClientCreator(QuicClientCreator creator) {
  std::lock_guard lock(CreatorSlot().mutex);
  CreatorSlot().creator = std::move(creator);
}

using CEventBase = CQuicConnectionProcessorBase::CQuicEventProcessorBase;

CEventBase::CQuicEventProcessorBase(std::wstring queryName)
    : m_queryName(std::move(queryName)),
      m_receiveBuffer(kReceiveBufferSize, 0),
      m_lastActivity(platform::TickSeconds()) {
  m_sendBuffer.reserve(kSendBufferSize);
}

CEventBase::~CQuicEventProcessorBase() {
  // The buffers go with this object: no operation may still write them.
  if (m_socket && m_manager && m_manager->GetPort()) m_manager->GetPort()->Disassociate(m_socket->Handle());
}

void CEventBase::ProcessEvent(const CSocketEventsManager::SCompletionEvent& event, int, uint64_t key,
                              CSocketEventsManager& manager,
                              const std::shared_ptr<CSocketEventsManager::CSocketEventProcessor>&) {
  m_lastActivity = platform::TickSeconds();
  if (event.overlapped == &m_receiveOverlapped) {
    m_receiveBusy = false;
    if (event.failed || event.bytes == 0) {
      if (m_client)
        m_client->Abort(L"Could not receive data from " + m_serverText + L" with error " +
                        std::to_wstring(event.error));
      Shutdown();
      if (!manager.RemoveSocket(key) && event.failed)
        LogErrorLine(m_queryName + L" - Could not receive data from " + m_serverText);
      return;
    }
    if (m_client) m_client->OnDataReceived(m_socket, m_receiveBuffer.data(), event.bytes, nullptr);
    const int result = Receive();
    if (result != kQuicSocketOk && result != kQuicSocketWouldBlock && result != kQuicSocketShutDown) Shutdown();
  } else if (event.overlapped == &m_sendOverlapped) {
    {
      std::lock_guard lock(m_stateMutex);
      m_sendBusy = false;
      if (m_shutdownAfterSend) {
        m_shutdownAfterSend = false;
        ShutdownSocket();
      }
    }
    if (event.failed) {
      if (m_client) m_client->Abort(L"Could not send data to " + m_serverText);
      manager.RemoveSocket(key);
      Shutdown();
      OnError(L"Could not connect to " + m_serverText);
    } else if (m_client) {
      m_client->OnSendCompleted();
    }
  }
}

bool CEventBase::IsTimedOut(int64_t now) {
  if (m_lastActivity + kIdleSeconds >= now) return false;
  Shutdown();
  return true;
}

void CEventBase::OnError(const std::wstring& text) {
  if (m_client) m_client->Abort(text);
}

int CEventBase::Receive() {
  if (m_closed) return kQuicSocketShutDown;
  if (m_receiveBusy.exchange(true)) return kQuicSocketOk;
  m_receiveBuffer.resize(kReceiveBufferSize);
  m_receiveOverlapped = {};
  platform::CompletionPort* port = m_manager ? m_manager->GetPort() : nullptr;
  const uint32_t result =
      port && m_socket ? port->Recv(m_socket->Handle(), m_receiveBuffer.data(), m_receiveBuffer.size(),
                                    &m_receiveOverlapped)
                       : platform::WSAEINVAL;
  if (result == 0 || result == platform::WSA_IO_PENDING) return kQuicSocketWouldBlock;
  m_receiveBusy = false;
  RemoveFromManager();
  OnError(L"Could not recv data from " + m_serverText + L", error=" + std::to_wstring(result));
  return static_cast<int>(result);
}

int CEventBase::Send(const uint8_t* data, int length) {
  if (m_closed) return kQuicSocketShutDown;
  if (length < 0 || static_cast<size_t>(length) > kSendBufferSize) return kQuicSocketMessageSize;
  uint32_t result;
  {
    std::lock_guard lock(m_stateMutex);
    if (m_closed) return kQuicSocketShutDown;
    if (m_sendBusy.exchange(true)) return kQuicSocketWouldBlock;
    // The caller's buffer may change before the completion: send a copy.
    m_sendBuffer.assign(data, data + length);
    m_sendOverlapped = {};
    platform::CompletionPort* port = m_manager ? m_manager->GetPort() : nullptr;
    result = port && m_socket
                 ? port->Send(m_socket->Handle(), m_sendBuffer.data(), m_sendBuffer.size(), &m_sendOverlapped)
                 : platform::WSAEINVAL;
    if (result == 0 || result == platform::WSA_IO_PENDING) return kQuicSocketOk;
    m_sendBusy = false;
    if (m_closed) return kQuicSocketShutDown;
  }
  RemoveFromManager();
  OnError(L"Could not send data to " + m_serverText + L", error=" + std::to_wstring(result));
  return static_cast<int>(result);
}

void CEventBase::Shutdown() {
  std::lock_guard lock(m_stateMutex);
  if (m_closed.exchange(true)) return;
  if (m_sendBusy)
    m_shutdownAfterSend = true;
  else
    ShutdownSocket();
}

void CEventBase::ShutdownSocket() {
  if (m_socketShut || !m_socket) return;
  m_socketShut = true;
  shutdown(m_socket->Handle(), SHUT_RDWR);
}

void CEventBase::RemoveFromManager() {
  if (m_manager) m_manager->RemoveSocket(m_key);
}

std::shared_ptr<CSafeSocket> CEventBase::CreateSocket(const CDnsServer& server,
                                                      const std::vector<sockaddr_storage>& localAddresses) {
  sockaddr_storage local{};
  local.ss_family = static_cast<sa_family_t>(server.family);
  if (server.family != 0 && !localAddresses.empty()) {
    auto found = std::find_if(localAddresses.begin(), localAddresses.end(),
                              [&](const sockaddr_storage& a) { return a.ss_family == server.family; });
    if (found == localAddresses.end()) {
      LogErrorLine(m_queryName + L" - Could not find a suitable interface IP to connect to the server " +
                   ToWide(AddressToText(static_cast<int>(server.family), server.address), false));
      return {};
    }
    local = *found;
  } else {
    // Any local address of the server's family, any port.
    local = sockaddr_storage{};
    local.ss_family = static_cast<sa_family_t>(server.family);
  }
  if (server.family != 0)
    m_serverText = server.name + L" (" +
                   ToWide(AddressToText(static_cast<int>(server.family), server.address), false) + L")";

  std::shared_ptr<CSafeSocket> socket = CSafeSocket::Create(static_cast<int>(server.family), SOCK_DGRAM, IPPROTO_UDP);
  if (!socket) {
    LogErrorLine(m_queryName + L" - socket creation failed with an error " + std::to_wstring(platform::WSAGetLastError()));
    return {};
  }
  if (local.ss_family != 0 &&
      bind(socket->Handle(), reinterpret_cast<const sockaddr*>(&local), AddressLength(local.ss_family)) != 0) {
    const uint32_t error = platform::WSAGetLastError();
    shutdown(socket->Handle(), SHUT_RDWR);
    LogErrorLine(m_queryName + L" - Bind failed with error " + std::to_wstring(error));
    return {};
  }
  m_socket = socket;
  return socket;
}

bool CEventBase::StartClient(const std::shared_ptr<CQuicEventProcessorBase>& self, const sockaddr_storage& server,
                             const uint8_t* query, uint16_t length, const std::wstring& hostName,
                             std::shared_ptr<CProtocolDataProcessor> handler) {
  if (!m_client) {
    QuicClientCreator creator = Creator();
    std::shared_ptr<CQuicClientShadow> client = creator ? creator(m_socket, self, hostName, server) : nullptr;
    if (!client) return false;
    m_client = client;
    Receive();
  }
  bool sent = m_client->SendRequest(std::vector<uint8_t>(query, query + length), std::move(handler));
  if (!sent) Shutdown();
  m_client->SendPending();
  return sent;
}

bool CQuicConnectionProcessorBase::SendRequest(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info,
                                               const CDnsServer& server,
                                               const std::vector<sockaddr_storage>& localAddresses,
                                               CSocketEventsManager* manager, uint64_t requestId,
                                               std::shared_ptr<CProtocolDataProcessor> handler) {
  // Reported once m_mutex is released: the engine's failure path may lead
  // to another query on this processor.
  const wchar_t* failure =
      length > kMaxRequestLength ? L"request is too long"
                                 : Hand(query, length, info, server, localAddresses, manager, std::move(handler));
  if (!failure) return true;
  GetEngineSink().OnRequestError(requestId, DnsNameToDisplayText(info.name.name), failure);
  return false;
}

const wchar_t* CQuicConnectionProcessorBase::Hand(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info,
                                                  const CDnsServer& server,
                                                  const std::vector<sockaddr_storage>& localAddresses,
                                                  CSocketEventsManager* manager,
                                                  std::shared_ptr<CProtocolDataProcessor> handler) {
  constexpr const wchar_t* kCannotSend = L"request cannot be sent";
  std::lock_guard lock(m_mutex);
  std::shared_ptr<CQuicEventProcessorBase> current = GetEventProcessor();
  if (++m_requestCount >= kRenewAtRequest) {
    LogErrorLine(L"Create new event processor ");
    current.reset();
  }
  if (current && current->Closed()) current.reset();

  if (current) {
    if (!current->m_client) return kCannotSend;
    const bool sent = current->m_client->SendRequest(std::vector<uint8_t>(query, query + length), handler);
    if (!sent) current->Shutdown();
    current->m_client->SendPending();
    return sent ? nullptr : kCannotSend;
  }

  current = CreateEventProcessor(info.name.name);
  std::shared_ptr<CSafeSocket> socket = current->CreateSocket(server, localAddresses);
  if (!socket) return L"socket cannot be created";
  current->m_manager = manager;
  // A socket the manager did not take would never complete: fail now
  // rather than leave the query to its time-out.
  if (!manager || !manager->AddSocketToQueueWithReadEvents(current, current->m_key, socket)) {
    current->Shutdown();
    return kCannotSend;
  }

  sockaddr_storage address{};
  address.ss_family = static_cast<sa_family_t>(server.family);
  if (server.family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_port = htons(server.port);
    std::memcpy(&v6->sin6_addr, server.address.data(), std::min<size_t>(server.address.size(), 16));
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_port = htons(server.port);
    std::memcpy(&v4->sin_addr, server.address.data(), std::min<size_t>(server.address.size(), 4));
  }
  const std::wstring hostName = server.GetHostOrAddressW();
  current = GetEventProcessor();
  if (!current->StartClient(current, address, query, static_cast<uint16_t>(length), hostName, handler))
    return kCannotSend;
  return nullptr;
}

CQuicConnectionProcessor::CQuicConnectionProcessor(std::wstring serverName)
    : CQuicConnectionProcessorBase(std::move(serverName)), m_lastUse(platform::TickSeconds()) {}

std::shared_ptr<CQuicConnectionProcessorBase::CQuicEventProcessorBase> CQuicConnectionProcessor::GetEventProcessor() {
  m_lastUse = platform::TickSeconds();
  return m_current;
}

std::shared_ptr<CQuicConnectionProcessorBase::CQuicEventProcessorBase> CQuicConnectionProcessor::CreateEventProcessor(
    const std::string& queryName) {
  m_lastUse = platform::TickSeconds();
  m_current = std::make_shared<CQuicEventProcessor>(DnsNameToDisplayText(queryName));
  return m_current;
}

CQuicServerConnectionFactory::CQuicServerConnectionFactory(std::wstring serverName, int64_t timeSlot)
    : m_timeSlot(timeSlot), m_serverName(std::move(serverName)) {}

std::shared_ptr<CQuicConnectionProcessor> CQuicServerConnectionFactory::GetProcessor() {
  std::lock_guard lock(m_mutex);
  const int64_t slot = platform::WallTime() / kTimeSlotSeconds;
  if (m_usesLeft != 0 && slot == m_timeSlot) {
    --m_usesLeft;
  } else {
    CLogMessage().Append(LogDebug, L"Create new processor ");
    ++m_index;
    m_usesLeft = m_usesPerProcessor;
    m_timeSlot = slot;
  }
  std::shared_ptr<CQuicConnectionProcessor>& processor = m_processors[m_index];
  if (!processor) processor = std::make_shared<CQuicConnectionProcessor>(m_serverName);
  return processor;
}

void CQuicServerConnectionFactory::CloseClient(CQuicConnectionProcessor& processor) {
  std::shared_ptr<CQuicClientShadow> client;
  {
    std::lock_guard lock(processor.m_mutex);
    if (processor.m_current) client = processor.m_current->m_client;
    if (client) client->Close();
  }
}

bool CQuicServerConnectionFactory::RemoveIdleProcessors() {
  std::lock_guard lock(m_mutex);
  const int64_t limit = platform::TickSeconds() - CQuicConnectionProcessorBase::kIdleSeconds;
  for (auto it = m_processors.begin(); it != m_processors.end();) {
    int64_t lastUse;
    {
      std::lock_guard processorLock(it->second->m_mutex);
      lastUse = it->second->m_lastUse;
    }
    if (lastUse < limit) {
      CLogMessage().Append(LogDebug, it->second->m_serverName + L" QUIC server processor outdated");
      CloseClient(*it->second);
      it = m_processors.erase(it);
    } else {
      ++it;
    }
  }
  return m_processors.empty();
}

void CQuicServerConnectionFactory::RemoveAllProcessors() {
  std::lock_guard lock(m_mutex);
  for (auto& [index, processor] : m_processors) CloseClient(*processor);
  m_processors.clear();
}
