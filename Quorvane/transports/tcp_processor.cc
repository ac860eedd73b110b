#include "Quorvane/transports/tcp_processor.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/system_errors.h"
#include "Quorvane/transports/engine_sink.h"
#include "Quorvane/transports/server_address.h"

namespace {

void LogFailure(const std::wstring& name, const std::wstring& text) {
  CLogMessage().SetError().Append(LogError, name + L" - " + text);
}

socklen_t AddressLength(const sockaddr_storage& address) {
  return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace

using CEventProcessor = CTcpProcessorBase::CTcpSocketEventProcessorBase;

CEventProcessor::CTcpSocketEventProcessorBase(uint64_t requestId, std::wstring name, std::wstring serverName)
    : m_requestId(requestId),
      m_name(std::move(name)),
      m_serverName(std::move(serverName)),
      m_receiveBuffer(kReceiveBufferSize),
      m_lastActivity(platform::TickSeconds()) {}

CEventProcessor::~CTcpSocketEventProcessorBase() {
  if (m_port && m_socket) m_port->Disassociate(m_socket->Handle());
}

std::shared_ptr<CSafeSocket> CEventProcessor::CreateSocket(const CDnsServer& server,
                                                           const std::vector<sockaddr_storage>& localAddresses) {
  const std::wstring addressText = ToWide(AddressToText(static_cast<int>(server.family), server.address), false);
  const sockaddr_storage* source = nullptr;
  if (server.family != 0) {
    for (const sockaddr_storage& local : localAddresses) {
      if (local.ss_family == server.family) {
        source = &local;
        break;
      }
    }
    if (!source && !localAddresses.empty()) {
      LogFailure(m_name, L"Could not find a suitable interface IP to connect to the server " + addressText);
      return nullptr;
    }
    m_peer = m_serverName + L" (" + addressText + L")";
  }
  std::shared_ptr<CSafeSocket> socket = CSafeSocket::Create(static_cast<int>(server.family), SOCK_STREAM, IPPROTO_TCP);
  if (!socket) return nullptr;
  if (source && bind(socket->Handle(), reinterpret_cast<const sockaddr*>(source), AddressLength(*source)) != 0) {
    const int error = static_cast<int>(platform::WSAGetLastError());
    shutdown(socket->Handle(), SHUT_RDWR);
    LogFailure(m_name, L"Bind failed with error " + std::to_wstring(error));
    return nullptr;
  }
  m_socket = socket;
  return socket;
}

bool CEventProcessor::Connect(const sockaddr_storage& serverAddress, const std::vector<uint8_t>& query,
                              const std::wstring& targetName, const std::vector<std::string>& pins,
                              const std::string& stamp) {
  CProtocolDataProcessor& layer = GetProtocolProcessor();
  CProcessingResultCode result;
  if (layer.IsReady()) {
    m_inFlight = std::make_shared<std::vector<uint8_t>>();
    layer.ProcessOutgoingData(result, query, *m_inFlight);
    if (result.code == CProcessingResultCode::Error) {
      LogFailure(m_name, L"request cannot be sent, error: " + result.message);
      return false;
    }
  } else {
    m_sendQueue.push_back(std::make_shared<std::vector<uint8_t>>(query));
    if (!m_inFlight) m_inFlight = std::make_shared<std::vector<uint8_t>>();
    layer.Start(result, targetName, serverAddress, pins, *m_inFlight, stamp);
    if (result.code == CProcessingResultCode::Error) {
      LogFailure(m_name, L"request cannot be processed, error: " + result.message);
      return false;
    }
  }
  m_sendOutstanding = true;
  const uint32_t error = m_port ? m_port->Connect(m_socket->Handle(), reinterpret_cast<const sockaddr*>(&serverAddress),
                                                  AddressLength(serverAddress), m_inFlight->data(), m_inFlight->size(),
                                                  &m_sendOverlapped)
                                : platform::WSAEINVAL;
  if (error == 0 || error == platform::WSA_IO_PENDING) return true;
  m_sendOutstanding = false;
  LogFailure(m_name, L"request cannot be send, ConnectEx failed with error: " +
                         std::to_wstring(static_cast<int>(error)) + L" (" + platform::SystemErrorMessage(error) + L")");
  return false;
}

void CEventProcessor::ProcessEvent(const CSocketEventsManager::SCompletionEvent& event, int socket, uint64_t key,
                                   CSocketEventsManager& manager,
                                   const std::shared_ptr<CSocketEventsManager::CSocketEventProcessor>& self) {
  m_lastActivity = platform::TickSeconds();
  const std::wstring number = std::to_wstring(event.error);
  if (event.overlapped == &m_receiveOverlapped) {
    if (event.failed || event.bytes == 0) {
      shutdown(m_socket->Handle(), SHUT_RDWR);
      std::shared_ptr<CSocketEventsManager::CSocketEventProcessor> registered = manager.RemoveSocket(key);
      if (registered) {
        registered->OnError(L"Could not receive data from " + m_peer + L", error=" + number);
      } else if (event.failed) {
        LogFailure(m_name, L"Could not receive data from " + m_peer + L", error=" + number);
      }
      return;
    }
    const size_t bytes = std::min<size_t>(event.bytes, m_receiveBuffer.size());
    m_pendingInput.insert(m_pendingInput.end(), m_receiveBuffer.begin(), m_receiveBuffer.begin() + bytes);
    std::vector<uint8_t> toSend, answer;
    CProcessingResultCode result;
    GetProtocolProcessor().ProcessIncomingData(result, m_pendingInput, toSend, answer);
    switch (result.code) {
      case CProcessingResultCode::Ok:
        ContinueProcessing(toSend, answer, manager, key);
        break;
      case CProcessingResultCode::NeedMoreData:
        // A post-handshake message may still want a reply.
        if (toSend.empty()) {
          PostReceive(socket, key, manager);
        } else {
          ContinueProcessing(toSend, answer, manager, key);
        }
        break;
      case CProcessingResultCode::LongTask:
        StartLongTask(result, toSend, answer, self);
        break;
      case CProcessingResultCode::Error:
        Fail(manager, key, L"Connection to server " + m_peer + L" failed, error: " + result.message);
        break;
      default:
        Fail(manager, key, L"Inconsistent event processing result");
        break;
    }
    return;
  }
  if (event.overlapped == &m_sendOverlapped) {
    m_inFlight.reset();
    m_sendOutstanding = false;
    if (event.failed) {
      Fail(manager, key, (m_connected ? L"Could not send data to " : L"Could not connect to ") + m_peer + L", error=" +
                             number);
      return;
    }
    if (!m_connected) {
      m_connected = true;
      if (!PostReceive(socket, key, manager)) return;
    }
    if (!m_sendQueue.empty() || !m_waitingBytes.empty()) SendPending();
    return;
  }
  if (event.overlapped == &m_taskOverlapped) {
    CProcessingResultCode result = std::move(m_taskResult);
    std::vector<uint8_t> toSend = std::move(m_taskToSend), answer = std::move(m_taskAnswer);
    if (result.code == CProcessingResultCode::Error) {
      Fail(manager, key, L"Connection to server " + m_peer + L" failed with error: " + result.message);
    } else {
      ContinueProcessing(toSend, answer, manager, key);
    }
  }
}

void CEventProcessor::Fail(CSocketEventsManager& manager, uint64_t key, const std::wstring& text) {
  shutdown(m_socket->Handle(), SHUT_RDWR);
  manager.RemoveSocket(key);
  OnError(text);
}

bool CEventProcessor::PostReceive(int socket, uint64_t key, CSocketEventsManager& manager) {
  if (!m_socket || socket != m_socket->Handle()) {
    LogFailure(m_name, L"Cannot recv data, socket id mismatch");
    return false;
  }
  m_receiveBuffer.resize(kReceiveBufferSize);
  const uint32_t error = m_port ? m_port->Recv(socket, m_receiveBuffer.data(), m_receiveBuffer.size(),
                                               &m_receiveOverlapped)
                                : platform::WSAEINVAL;
  if (error == 0 || error == platform::WSA_IO_PENDING) return true;
  manager.RemoveSocket(key);
  shutdown(socket, SHUT_RDWR);
  OnError(L"Could not recv data from " + m_peer + L", error=" + std::to_wstring(error));
  return false;
}

CProcessingResultCode CEventProcessor::SendPending() {
  // The port would send the outstanding buffer a second time.
  if (m_sendOutstanding) return CProcessingResultCode();
  if (!m_inFlight || m_inFlight->empty()) {
    if (!m_waitingBytes.empty()) {
      m_inFlight = std::make_shared<std::vector<uint8_t>>(std::move(m_waitingBytes.front()));
      m_waitingBytes.pop_front();
    } else {
      CProtocolDataProcessor& layer = GetProtocolProcessor();
      if (m_sendQueue.empty() || !layer.IsReady()) return CProcessingResultCode();
      std::shared_ptr<std::vector<uint8_t>> query = m_sendQueue.front();
      m_sendQueue.pop_front();
      if (!m_inFlight) m_inFlight = std::make_shared<std::vector<uint8_t>>();
      CProcessingResultCode result;
      layer.ProcessOutgoingData(result, *query, *m_inFlight);
      if (result.code == CProcessingResultCode::Error) return result;
    }
  }
  m_sendOutstanding = true;
  const uint32_t error = m_port->Send(m_socket->Handle(), m_inFlight->data(), m_inFlight->size(), &m_sendOverlapped);
  if (error == 0 || error == platform::WSA_IO_PENDING) return CProcessingResultCode();
  m_sendOutstanding = false;
  return MakeSystemErrorResult(L"the data cannot be sent, WSASend return error: ", error);
}

void CEventProcessor::ContinueProcessing(std::vector<uint8_t>& toSend, std::vector<uint8_t>& answer,
                                         CSocketEventsManager& manager, uint64_t key) {
  if (!toSend.empty()) {
    if (!m_sendOutstanding && (!m_inFlight || m_inFlight->empty())) {
      m_inFlight = std::make_shared<std::vector<uint8_t>>(toSend);
    } else {
      m_waitingBytes.push_back(toSend);
    }
  }
  SendPending();
  if (!answer.empty()) {
    GetEngineSink().OnUpstreamAnswer(answer, m_requestId);
    shutdown(m_socket->Handle(), SHUT_RDWR);
    manager.RemoveSocket(key);
    return;
  }
  PostReceive(m_socket->Handle(), key, manager);
}

void CEventProcessor::StartLongTask(CProcessingResultCode& result, std::vector<uint8_t>& toSend,
                                    std::vector<uint8_t>& answer,
                                    const std::shared_ptr<CSocketEventsManager::CSocketEventProcessor>& self) {
  CLogMessage().Append(LogVerbose, L"Start a long task - " + result.message);
  auto owner = std::static_pointer_cast<CTcpSocketEventProcessorBase>(self);
  std::thread([owner, task = result.task, toSend = std::move(toSend), answer = std::move(answer)]() mutable {
    CProcessingResultCode taskResult = task ? (*task)() : MakeErrorResult(L"Inconsistent event processing result");
    owner->m_taskResult = std::move(taskResult);
    owner->m_taskToSend = std::move(toSend);
    owner->m_taskAnswer = std::move(answer);
    // The worker continues the connection; a connection removed meanwhile
    // drops the post as an unregistered key.
    if (owner->m_port) owner->m_port->Post(0, owner->m_key, &owner->m_taskOverlapped);
  }).detach();
}

void CEventProcessor::OnError(const std::wstring& text) {
  FailRequest(m_requestId, m_name, text);
}

bool CTcpProcessorBase::SendRequest(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info,
                                    const CDnsServer& server, const std::vector<sockaddr_storage>& localAddresses,
                                    CSocketEventsManager& manager, uint64_t requestId,
                                    const std::optional<CDnsServer>&) {
  if (length > CDnsPlainProtocolProcessor::kMaxMessage) return false;
  const std::wstring name = DnsNameToDisplayText(info.name.name);
  std::shared_ptr<CTcpSocketEventProcessorBase> processor = CreateEventProcessor(requestId, name, server.name);
  std::shared_ptr<CSafeSocket> socket = processor->CreateSocket(server, localAddresses);
  if (!socket) {
    GetEngineSink().OnRequestError(requestId, name, L"socket cannot be created");
    return false;
  }
  processor->m_port = manager.GetPort();
  manager.AddSocketToQueueWithReadEvents(processor, processor->m_key, socket);

  const sockaddr_storage address = ServerSocketAddress(server);
  std::vector<std::string> pins;
  for (const HashList* list : {&server.doh_hashes, &server.dot_hashes}) {
    for (const ByteString& hash : *list) pins.emplace_back(hash.begin(), hash.end());
  }
  std::string stamp, stampError;
  server.ToStamp(stamp, stampError);
  if (processor->Connect(address, std::vector<uint8_t>(query, query + length), server.GetHostOrAddressW(), pins,
                         stamp)) {
    return true;
  }
  // Nothing will complete on it: do not leave it registered until expiry.
  manager.RemoveSocket(processor->m_key);
  return false;
}

bool CTcpServerProcessorBase::RemoveRequest(uint64_t requestId) {
  std::lock_guard lock(m_mutex);
  std::erase_if(m_processors, [requestId](const auto& entry) {
    auto eventProcessor = entry.second->GetEventProcessor();
    return eventProcessor && eventProcessor->m_requestId == requestId;
  });
  return m_processors.empty();
}

void CTcpServerProcessorBase::RemoveRequests(const std::set<uint64_t>& ids) {
  std::lock_guard lock(m_mutex);
  std::erase_if(m_processors, [&ids](const auto& entry) {
    auto eventProcessor = entry.second->GetEventProcessor();
    return eventProcessor && ids.count(eventProcessor->m_requestId) != 0;
  });
}

std::vector<uint64_t> CTcpServerProcessorBase::RemoveOrphans(const std::set<uint64_t>& live) {
  std::lock_guard lock(m_mutex);
  std::vector<uint64_t> removed;
  for (auto it = m_processors.begin(); it != m_processors.end();) {
    auto eventProcessor = it->second->GetEventProcessor();
    const uint64_t id = eventProcessor ? eventProcessor->m_requestId : 0;
    if (eventProcessor && live.count(id) != 0) {
      ++it;
      continue;
    }
    removed.push_back(id);
    it = m_processors.erase(it);
  }
  return removed;
}

size_t CTcpServerProcessorBase::Count() {
  std::lock_guard lock(m_mutex);
  return m_processors.size();
}

bool CTcpServerProcessorBase::Empty() {
  std::lock_guard lock(m_mutex);
  return m_processors.empty();
}
