#include "Quorvane/engine/dns_pending_requests.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Quorvane/config/profile.h"
#include "Quorvane/engine/captive_portal_detector.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/engine/server_state.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/ldns_glue.h"

namespace {

using platform::PktPtr;

constexpr uint16_t kDnssecUdpPayload = 4096;

void WriteId(uint8_t* message, uint16_t id) {
  message[0] = static_cast<uint8_t>(id >> 8);
  message[1] = static_cast<uint8_t>(id);
}

// The record of a request, when it holds one.
const CDnsEngine::dnsDataType* DataOf(const CDnsPendingRequests::SPendingRequest& request) {
  return std::any_cast<CDnsEngine::dnsDataType>(&request.data);
}

}  // namespace

bool ApplyDnssecFlags(const uint8_t* message, uint32_t length, bool localValidation, bool rejectUnsigned,
                      std::vector<uint8_t>& out) {
  out.clear();
  ldns_pkt* raw = nullptr;
  if (ldns_wire2pkt(&raw, message, length) != LDNS_STATUS_OK || !raw) return false;
  PktPtr packet(raw);
  if (rejectUnsigned) ldns_pkt_set_ad(packet.get(), true);
  if (localValidation) {
    ldns_pkt_set_cd(packet.get(), true);
    ldns_pkt_set_edns_udp_size(packet.get(), kDnssecUdpPayload);
    ldns_pkt_set_edns_do(packet.get(), true);
  }
  uint8_t* wire = nullptr;
  size_t size = 0;
  if (ldns_pkt2wire(&wire, packet.get(), &size) != LDNS_STATUS_OK || !wire) {
    free(wire);
    return false;
  }
  out.assign(wire, wire + size);
  free(wire);
  return true;
}

bool ClampAddressTtls(std::vector<SDnsAnswerAddress>& addresses, uint32_t ttlMin, uint32_t ttlMax) {
  bool changed = false;
  for (SDnsAnswerAddress& address : addresses) {
    uint32_t ttl = address.ttl;
    if (ttl < ttlMin) ttl = ttlMin;
    if (ttl > ttlMax) ttl = ttlMax;
    changed = changed || ttl != address.ttl;
    address.ttl = ttl;
  }
  return changed;
}

uint16_t CDnsPendingRequests::DrawUpstreamId() {
  if (!m_seeded) {
    m_random.seed(std::random_device{}());
    m_seeded = true;
  }
  return std::uniform_int_distribution<uint16_t>(0, 65535)(m_random);
}

uint64_t CDnsPendingRequests::Add(uint8_t* message, uint32_t& length, uint32_t capacity, const SDnsMessageInfo& info,
                                  bool localValidation, bool rejectUnsigned, std::any data) {
  const uint64_t requestId = m_nextRequestId.fetch_add(1);
  const int64_t now = platform::TickSeconds();
  uint16_t upstreamId = 0;
  {
    std::lock_guard lock(m_mutex);
    upstreamId = DrawUpstreamId();
    SPendingRequest& request = m_requests[requestId];
    request.info = info;
    request.localValidation = localValidation;
    request.rejectUnsigned = rejectUnsigned;
    request.data = std::move(data);
    request.creationTime = now;
    request.requestId = requestId;
    request.upstreamId = upstreamId;
  }

  const uint8_t clientId[2] = {length >= 2 ? message[0] : uint8_t{0}, length >= 2 ? message[1] : uint8_t{0}};
  if (length >= 2) WriteId(message, upstreamId);
  // No DNSSEC bit to change: the query goes as the client wrote it, with
  // the upstream id, without a round through the library.
  const bool adSet = length >= 4 && (message[3] & 0x20) != 0;
  if (!localValidation && (!rejectUnsigned || adSet)) return requestId;
  std::vector<uint8_t> encoded;
  if (!ApplyDnssecFlags(message, length, localValidation, rejectUnsigned, encoded)) {
    // The program's reader took what the library does not: send it as read,
    // with the upstream id, without the DNSSEC bits.
    return requestId;
  }
  if (encoded.size() > capacity) {
    // A cut query would be sent as garbage; the caller drops it instead.
    if (length >= 2) std::memcpy(message, clientId, sizeof clientId);
    std::lock_guard lock(m_mutex);
    m_requests.erase(requestId);
    return 0;
  }
  std::memcpy(message, encoded.data(), encoded.size());
  length = static_cast<uint32_t>(encoded.size());
  return requestId;
}

bool CDnsPendingRequests::Complete(uint8_t* answer, uint32_t length, std::any& dataOut, bool& rejectUnsignedOut,
                                   bool& localValidationOut, const SDnsMessageInfo& answerInfo,
                                   std::vector<SDnsAnswerAddress>& addresses, uint64_t requestId) {
  const SSettings& settings = g_Configuration.settings;
  if (ClampAddressTtls(addresses, settings.ttlMin, settings.ttlMax)) RewriteDnsAnswers(addresses, answer, length);

  std::lock_guard lock(m_mutex);
  auto it = m_requests.find(requestId);
  if (it == m_requests.end()) {
    CLogMessage()
        .SetError()
        .Append(LogError, L"DNS answer processing error: request ")
        .Append(LogError, static_cast<unsigned long long>(requestId))
        .Append(LogError, L" not found");
    return false;
  }
  const SPendingRequest& request = it->second;
  if (answerInfo.qtype != request.info.qtype || answerInfo.name.lower != request.info.name.lower ||
      answerInfo.id != request.upstreamId) {
    CLogMessage()
        .SetError()
        .Append(LogError,
                L"DNS answer processing error: the information in the answer does not represent the original "
                L"request (requst id ")
        .Append(LogError, static_cast<unsigned long long>(requestId))
        .Append(LogError, L")");
    return false;
  }
  dataOut = request.data;
  rejectUnsignedOut = request.rejectUnsigned;
  localValidationOut = request.localValidation;
  if (length >= 2) WriteId(answer, request.info.id);
  m_requests.erase(it);
  return true;
}

bool CDnsPendingRequests::CheckTimeouts(std::set<uint64_t>& expired, std::set<uint64_t>& live) {
  return CheckTimeouts(expired, live, platform::TickSeconds());
}

bool CDnsPendingRequests::CheckTimeouts(std::set<uint64_t>& expired, std::set<uint64_t>& live, int64_t now) {
  std::lock_guard lock(m_mutex);
  for (auto it = m_requests.begin(); it != m_requests.end();) {
    const SPendingRequest& request = it->second;
    if (request.creationTime + kTimeoutSeconds >= now) {
      live.insert(it->first);
      ++it;
      continue;
    }
    expired.insert(it->first);
    const CDnsEngine::dnsDataType* data = DataOf(request);
    if (data && !data->test) {
      ReportFailure(request);
      const CDnsServer& reported = data->relay ? *data->relay : data->server;
      CLogMessage().SetError().Append(LogError, DnsNameToDisplayText(request.info.name.name) +
                                                    L" - request timeout : server=" + reported.name);
    }
    it = m_requests.erase(it);
  }
  return true;
}

void CDnsPendingRequests::OnError(uint64_t requestId, const std::wstring& name, const std::wstring& error) {
  std::lock_guard lock(m_mutex);
  auto it = m_requests.find(requestId);
  if (it == m_requests.end()) {
    CLogMessage()
        .SetError()
        .Append(LogError, name + L" - error (request ")
        .Append(LogError, static_cast<unsigned long long>(requestId))
        .Append(LogError, L"): " + error);
    return;
  }
  CLogMessage().SetError().Append(LogError, name + L" - error: " + error);
  const CDnsEngine::dnsDataType* data = DataOf(it->second);
  if (data && !data->test) ReportFailure(it->second);
  m_requests.erase(it);
}

void CDnsPendingRequests::ReportFailure(const SPendingRequest& request) {
  const CDnsEngine::dnsDataType* data = DataOf(request);
  if (!data) return;
  const CDnsServer& reported = data->relay ? *data->relay : data->server;
  if (reported.status != EServerStatus::Failed) {
    PostServerStateMessage(reported.id, false, data->fromRedundancyPool);
  } else if (!reported.addressKnown && m_onHostFailed) {
    const std::string host = reported.GetHostOrAddress(false);
    if (!host.empty()) m_onHostFailed(host);
  }
  if (g_Configuration.settings.captivePortalDetection) CCaptivePortalDetector::StartCheck();
}

size_t CDnsPendingRequests::Count() {
  std::lock_guard lock(m_mutex);
  return m_requests.size();
}

bool CDnsPendingRequests::UpstreamId(uint64_t requestId, uint16_t& out) {
  std::lock_guard lock(m_mutex);
  auto it = m_requests.find(requestId);
  if (it == m_requests.end()) return false;
  out = it->second.upstreamId;
  return true;
}
