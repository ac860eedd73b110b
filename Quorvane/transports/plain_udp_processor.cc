#include "Quorvane/transports/plain_udp_processor.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/system_errors.h"
#include "Quorvane/transports/engine_sink.h"
#include "Quorvane/transports/server_address.h"

namespace {

constexpr size_t kMaxMessageText = 1000;

// Skips one name; false when it cannot be read within length.
bool SkipName(const uint8_t* data, size_t& pos, size_t length) {
  char name[kDnsNameBufferSize] = {};
  size_t nameLength = 0;
  int steps = 0;
  const char* error = nullptr;
  return ReadDnsName(data, pos, length, nameLength, name, sizeof(name), steps, error);
}

}  // namespace

size_t CPlainUdpProcessor::ReceiveBufferSizeFor(const uint8_t* query, size_t length) {
  SDnsHeader header;
  size_t pos = 0;
  if (!query || !ReadDnsHeader(header, query, pos, length)) return kReceiveBufferSize;
  for (unsigned i = 0; i < header.qdcount; ++i) {
    if (!SkipName(query, pos, length) || length - pos < 4) return kReceiveBufferSize;
    pos += 4;
  }
  const unsigned before = header.ancount + header.nscount;
  for (unsigned i = 0; i < before + header.arcount; ++i) {
    SDnsRrHeader rr;
    if (!SkipName(query, pos, length) || !ReadDnsRrHeader(rr, query, pos, length)) break;
    // The OPT record's class is the largest UDP payload its sender takes.
    if (i >= before && rr.type == kDnsTypeOpt) return std::max<size_t>(kReceiveBufferSize, rr.klass);
    if (length - pos < rr.rdlength) break;
    pos += rr.rdlength;
  }
  return kReceiveBufferSize;
}

CPlainUdpProcessor::CDnsSocketEventProcessor::CDnsSocketEventProcessor(std::wstring name, uint64_t requestId,
                                                                       std::shared_ptr<CSafeSocket> socket,
                                                                       size_t receiveLimit,
                                                                       platform::CompletionPort* port,
                                                                       CPlainUdpProcessor* owner)
    : m_lastActivity(platform::TickSeconds()),
      m_name(std::move(name)),
      m_requestId(requestId),
      m_socket(std::move(socket)),
      m_receiveLimit(receiveLimit),
      m_port(port),
      m_owner(owner) {}

CPlainUdpProcessor::CDnsSocketEventProcessor::~CDnsSocketEventProcessor() {
  if (m_port && m_socket) m_port->Disassociate(m_socket->Handle());
}

bool CPlainUdpProcessor::CDnsSocketEventProcessor::PostReceive() {
  uint32_t result =
      m_port ? m_port->PeekDatagram(m_socket->Handle(), &m_receiveOverlapped) : platform::WSAEINVAL;
  if (result == 0 || result == platform::WSA_IO_PENDING) return true;
  OnError(L"cannot recv data from socket, error: " + std::to_wstring(result));
  return false;
}

void CPlainUdpProcessor::CDnsSocketEventProcessor::ProcessEvent(
    const CSocketEventsManager::SCompletionEvent& event, int, uint64_t key, CSocketEventsManager& manager,
    const std::shared_ptr<CSocketEventsManager::CSocketEventProcessor>&) {
  m_lastActivity = platform::TickSeconds();
  if (event.failed) {
    Fail(event.error, key, manager);
    return;
  }
  std::vector<uint8_t> datagram;
  if (!TakeDatagram(event.bytes, datagram, key, manager)) return;
  if (GetEngineSink().OnUpstreamAnswer(datagram, m_requestId)) {
    Remove(key, manager);  // the engine took the answer and most likely removed the request already
    return;
  }
  // Not the answer: keep waiting on the same socket.
  if (!PostReceive()) Remove(key, manager);
}

void CPlainUdpProcessor::CDnsSocketEventProcessor::Remove(uint64_t key, CSocketEventsManager& manager) {
  if (m_removed.exchange(true)) return;
  if (m_owner) {
    std::lock_guard lock(m_owner->m_mutex);
    auto it = m_owner->m_requests.find(m_requestId);
    if (it != m_owner->m_requests.end() && it->second == key) m_owner->m_requests.erase(it);
  }
  manager.RemoveSocket(key);
}

bool CPlainUdpProcessor::CDnsSocketEventProcessor::TakeDatagram(size_t size, std::vector<uint8_t>& datagram,
                                                                uint64_t key, CSocketEventsManager& manager) {
  // Only the worker reads this socket, so the datagram the peek saw is the
  // one received here.
  const bool tooLong = size > m_receiveLimit;
  datagram.resize(tooLong ? 0 : size);
  ssize_t got;
  do {
    got = recv(m_socket->Handle(), datagram.data(), datagram.size(), MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    Fail(errno == ECONNREFUSED ? platform::ERROR_PORT_UNREACHABLE : platform::Win32ErrorFromErrno(errno), key,
         manager);
    return false;
  }
  if (tooLong) {
    Fail(platform::ERROR_MORE_DATA, key, manager);
    return false;
  }
  datagram.resize(static_cast<size_t>(got));
  return true;
}

void CPlainUdpProcessor::CDnsSocketEventProcessor::Fail(uint32_t error, uint64_t key, CSocketEventsManager& manager) {
  Remove(key, manager);
  std::wstring message = platform::SystemErrorMessage(error);
  if (message.size() > kMaxMessageText) message.resize(kMaxMessageText);
  OnError(message + L" (" + std::to_wstring(error) + L")");
}

void CPlainUdpProcessor::CDnsSocketEventProcessor::OnError(const std::wstring& text) {
  FailRequest(m_requestId, m_name, text);
}

bool CPlainUdpProcessor::SendRequest(const uint8_t* query, uint32_t length, const SDnsMessageInfo& info,
                                     const CDnsServer& server, const std::vector<sockaddr_storage>& localAddresses,
                                     CSocketEventsManager& manager, uint64_t requestId,
                                     const std::optional<CDnsServer>&) {
  const std::wstring name = DnsNameToDisplayText(info.name.name);
  auto fail = [&](const std::wstring& text) {
    GetEngineSink().OnRequestError(requestId, name, text);
    return false;
  };
  auto failWithError = [&](const wchar_t* text) {
    return fail(text + std::to_wstring(static_cast<int>(platform::WSAGetLastError())));
  };

  const sockaddr_storage* source = nullptr;
  if (server.family != 0 && !localAddresses.empty()) {
    for (const sockaddr_storage& local : localAddresses) {
      if (local.ss_family == server.family) {
        source = &local;
        break;
      }
    }
    if (!source) {
      return fail(L"Could not find a suitable interface IP to connect to the server " +
                  ToWide(AddressToText(static_cast<int>(server.family), server.address), false));
    }
  }

  // A socket per query: its random source port is what a spoofed answer
  // must guess. Non-blocking from the start, as the port needs it.
  std::shared_ptr<CSafeSocket> socket =
      CSafeSocket::Create(static_cast<int>(server.family), SOCK_DGRAM | SOCK_NONBLOCK, IPPROTO_UDP);
  if (!socket) return failWithError(L"socket creation failed with error ");
  const int fd = socket->Handle();
  if (source && bind(fd, reinterpret_cast<const sockaddr*>(source), sizeof(sockaddr_storage)) != 0) {
    return failWithError(L"bind failed with error ");
  }

  const sockaddr_storage target = ServerSocketAddress(server);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
    return failWithError(L"connect failed with error ");
  }
  // Sent before registration: an answer that comes first waits in the socket.
  if (sendto(fd, query, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) < 0) {
    return failWithError(L"sendto failed with error ");
  }

  auto processor = std::make_shared<CDnsSocketEventProcessor>(name, requestId, socket,
                                                              ReceiveBufferSizeFor(query, length), manager.GetPort(),
                                                              this);
  uint64_t key = 0;
  if (!manager.AddSocketToQueueWithReadEvents(processor, key, socket, SOCK_DGRAM)) {
    return failWithError(L"AddSocketToQueueWithReadEvents failed with error ");
  }
  {
    std::lock_guard lock(m_mutex);
    m_requests[requestId] = key;
  }
  if (!processor->PostReceive()) {
    processor->Remove(key, manager);
    return false;
  }
  return true;
}

void CPlainUdpProcessor::RemoveRequestProcessor(uint64_t requestId, CSocketEventsManager& manager) {
  RemoveRequestProcessors({requestId}, manager);
}

void CPlainUdpProcessor::RemoveRequestProcessors(const std::set<uint64_t>& ids, CSocketEventsManager& manager) {
  std::vector<uint64_t> keys;
  {
    std::lock_guard lock(m_mutex);
    for (uint64_t id : ids) {
      auto it = m_requests.find(id);
      if (it == m_requests.end()) continue;
      keys.push_back(it->second);
      m_requests.erase(it);
    }
  }
  RemoveSockets(keys, manager);
}

std::vector<uint64_t> CPlainUdpProcessor::RemoveOrphans(const std::set<uint64_t>& live,
                                                        CSocketEventsManager& manager) {
  std::vector<uint64_t> ids, keys;
  {
    std::lock_guard lock(m_mutex);
    for (auto it = m_requests.begin(); it != m_requests.end();) {
      if (live.count(it->first) != 0) {
        ++it;
        continue;
      }
      ids.push_back(it->first);
      keys.push_back(it->second);
      it = m_requests.erase(it);
    }
  }
  RemoveSockets(keys, manager);
  return ids;
}

void CPlainUdpProcessor::RemoveSockets(const std::vector<uint64_t>& keys, CSocketEventsManager& manager) {
  for (uint64_t key : keys) {
    // The entry is gone already: the processor's own removal has nothing left to do.
    std::shared_ptr<CSocketEventsManager::CSocketEventProcessor> removed = manager.RemoveSocket(key);
    if (removed && removed->GetType() == typeid(CDnsSocketEventProcessor))
      static_cast<CDnsSocketEventProcessor&>(*removed).m_removed = true;
  }
}

std::map<uint64_t, uint64_t> CPlainUdpProcessor::RequestsForTesting() {
  std::lock_guard lock(m_mutex);
  return m_requests;
}

void CPlainUdpProcessor::SetRequestForTesting(uint64_t requestId, uint64_t key) {
  std::lock_guard lock(m_mutex);
  m_requests[requestId] = key;
}
