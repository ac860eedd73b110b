// Answers from every transport, their injection, and request failures.
#include <cstring>

#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/engine/server_state.h"
#include "Quorvane/foundation/log.h"

bool CDnsEngine::OnUpstreamAnswer(const std::vector<uint8_t>& answer, uint64_t requestId) {
  std::vector<uint8_t> bytes = answer;
  SDnsMessageInfo info;
  std::vector<SDnsAnswerAddress> addresses;
  // A parse failure is logged there. What does not parse cannot have its TTLs
  // clamped, and a message with QR clear is no answer: neither reaches the
  // client, and the request keeps waiting for its real answer.
  if (!LogDnsReply(bytes.data(), static_cast<uint32_t>(bytes.size()), info, addresses, false, requestId)) return false;
  if (info.kind != DnsResponse) {
    CLogMessage()
        .SetError()
        .Append(LogError, L"DNS answer processing error: the answer to request ")
        .Append(LogError, static_cast<unsigned long long>(requestId))
        .Append(LogError, L" is not a response");
    return false;
  }

  std::any any;
  bool rejectUnsigned = false;
  bool localValidation = false;
  if (!m_requests.Complete(bytes.data(), static_cast<uint32_t>(bytes.size()), any, rejectUnsigned, localValidation,
                           info, addresses, requestId)) {
    return false;
  }
  RemoveRequestProcessor(requestId);

  const dnsDataType* data = std::any_cast<dnsDataType>(&any);
  if (!data) return false;

  if (data->owner != 0) {
    HandleTestAnswer(info, addresses, *data);
    return true;
  }
  if (data->kind == 1) {
    uint32_t sequence = 0;
    std::memcpy(&sequence, &data->clientAddress, sizeof sequence);
    OnDnssecSubAnswer(sequence, bytes, info);
    return true;
  }
  if (localValidation) {
    StartDnssecCheck(std::move(bytes), *data, info, std::move(addresses), rejectUnsigned);
    return true;
  }
  const CDnsServer& reported = data->relay ? *data->relay : data->server;
  if (reported.status == EServerStatus::Failed) PostServerStateMessage(reported.id, true, data->fromRedundancyPool);
  if (rejectUnsigned && !info.ad) {
    CLogMessage().Append(LogNormal, DnsNameToDisplayText(info.name.name) + L" - reply : type=" +
                                        DnsTypeName(info.qtype) + L" discarded because there is no DNSSEC signature");
    return true;
  }
  InjectAnswer(bytes, *data);
  return true;
}

void CDnsEngine::HandleTestAnswer(const SDnsMessageInfo& info, const std::vector<SDnsAnswerAddress>& addresses,
                                  const dnsDataType& data) {
  SDnsName expected(data.testHost + ".");
  std::wstring text;
  if (info.name.lower != expected.lower || info.qtype != kDnsTypeA) {
    text = L"Unexpected reply: name=" + DnsNameToDisplayText(info.name.name) + L", type=" +
           std::to_wstring(info.qtype);
  } else if (addresses.empty()) {
    text = L"Non-existent domain";
  }
  PostCheckResult(data.owner, data.server, data.relay, text.empty(), data.sequence, text, false);
}

void CDnsEngine::OnRequestError(uint64_t requestId, const std::wstring& name, const std::wstring& error) {
  RemoveRequestProcessor(requestId);
  m_requests.OnError(requestId, name, error);
}

void CDnsEngine::RemoveRequestProcessor(uint64_t requestId) {
  ForEachStreamHolder([requestId](CTcpServerProcessorBase& holder) { holder.RemoveRequest(requestId); });
  m_udp.RemoveRequestProcessor(requestId, m_socketEvents);
}

void CDnsEngine::InjectAnswer(const std::vector<uint8_t>& answer, const dnsDataType& data) {
  m_inject(answer.data(), static_cast<uint32_t>(answer.size()), data.serverAddress, data.clientAddress, data.context,
           true);
}

bool CDnsEngine::CSink::OnUpstreamAnswer(const std::vector<uint8_t>& answer, uint64_t requestId) {
  return m_engine.OnUpstreamAnswer(answer, requestId);
}

void CDnsEngine::CSink::OnRequestError(uint64_t requestId, const std::wstring& name, const std::wstring& text) {
  m_engine.OnRequestError(requestId, name, text);
}

void CDnsEngine::CSink::RemoveRequestProcessor(uint64_t requestId) { m_engine.RemoveRequestProcessor(requestId); }

void CDnsEngine::CSink::OnPendingRequestError(uint64_t requestId, const std::wstring& name,
                                              const std::wstring& text) {
  m_engine.Requests().OnError(requestId, name, text);
}
