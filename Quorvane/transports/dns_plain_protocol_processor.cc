#include "Quorvane/transports/dns_plain_protocol_processor.h"

#include "Quorvane/foundation/log.h"
#include "Quorvane/transports/engine_sink.h"

namespace {

// L = the first two bytes, big-endian; false while they have not arrived.
bool FramedLength(const std::vector<uint8_t>& buffer, size_t& length) {
  if (buffer.size() < 2) return false;
  length = (static_cast<size_t>(buffer[0]) << 8) | buffer[1];
  return true;
}

}  // namespace

CDnsPlainProtocolProcessor::CDnsPlainProtocolProcessor(bool framing) : m_framing(framing) {}

CProcessingResultCode& CDnsPlainProtocolProcessor::Start(CProcessingResultCode& result, const std::wstring&,
                                                         const sockaddr_storage&, const std::vector<std::string>&,
                                                         std::vector<uint8_t>&, const std::string&) {
  result = CProcessingResultCode();
  return result;
}

CProcessingResultCode& CDnsPlainProtocolProcessor::ProcessOutgoingData(CProcessingResultCode& result,
                                                                       const std::vector<uint8_t>& input,
                                                                       std::vector<uint8_t>& output) {
  if (input.size() > kMaxMessage) {
    result = MakeErrorResult(L"DNS request cannot be processed: size is too big");
    return result;
  }
  if (m_framing) {
    output.push_back(static_cast<uint8_t>(input.size() >> 8));
    output.push_back(static_cast<uint8_t>(input.size() & 0xff));
  }
  output.insert(output.end(), input.begin(), input.end());
  result = CProcessingResultCode();
  return result;
}

CProcessingResultCode& CDnsPlainProtocolProcessor::ProcessIncomingData(CProcessingResultCode& result,
                                                                       std::vector<uint8_t>& input,
                                                                       std::vector<uint8_t>&,
                                                                       std::vector<uint8_t>& answer) {
  result = CProcessingResultCode(CProcessingResultCode::NeedMoreData, L"");
  if (input.empty()) return result;
  m_receiveBuffer.insert(m_receiveBuffer.end(), input.begin(), input.end());
  input.clear();
  size_t length;
  if (FramedLength(m_receiveBuffer, length) && m_receiveBuffer.size() >= length + 2) {
    answer.assign(m_receiveBuffer.begin() + 2, m_receiveBuffer.begin() + 2 + length);
    m_receiveBuffer.erase(m_receiveBuffer.begin(), m_receiveBuffer.begin() + 2 + length);
    result = CProcessingResultCode();
  }
  return result;
}

CProcessingResultCode& CDnsPlainProtocolProcessor::ProcessAnswer(CProcessingResultCode& result, const uint8_t* data,
                                                                 size_t length, bool end, bool finished) {
  if (data && length > 0) m_receiveBuffer.insert(m_receiveBuffer.end(), data, data + length);
  result = CProcessingResultCode();
  if (m_framing) {
    size_t messageLength;
    const bool last = end || finished;
    if (last && m_receiveBuffer.empty()) {
      CLogMessage().Append(LogError, m_name).Append(LogError, L" - empty DNS response");
      return result;
    }
    if (!FramedLength(m_receiveBuffer, messageLength) || m_receiveBuffer.size() < messageLength + 2) {
      // At the end no more bytes can come.
      result = last ? MakeErrorResult(L"DNS answer is incomplete")
                    : CProcessingResultCode(CProcessingResultCode::NeedMoreData, L"");
      return result;
    }
    // Exactly the framed message: bytes behind it belong to the next one.
    std::vector<uint8_t> message(m_receiveBuffer.begin() + 2, m_receiveBuffer.begin() + 2 + messageLength);
    m_receiveBuffer.erase(m_receiveBuffer.begin(), m_receiveBuffer.begin() + 2 + messageLength);
    if (!GetEngineSink().OnUpstreamAnswer(message, m_requestId)) {
      result = MakeErrorResult(L"Answer was not processed properly");
    }
    return result;
  }
  if (!end && !finished) return result;  // the bytes wait for the end
  if (m_receiveBuffer.empty()) {
    CLogMessage().Append(LogError, m_name).Append(LogError, L" - empty DNS response");
    return result;
  }
  std::vector<uint8_t> message;
  message.swap(m_receiveBuffer);
  if (!GetEngineSink().OnUpstreamAnswer(message, m_requestId)) {
    result = MakeErrorResult(L"dns answer was not processed properly");
  }
  return result;
}
