// Two layers stacked: the outer one faces the socket (TLS), the inner one
// faces the engine (DNS over TCP framing). The inner layer's bytes travel
// through the outer one in both directions; the outer layer's handshake bytes
// and long tasks pass through unchanged.
#pragma once

#include <string>

#include "Quorvane/transports/dns_tcp_plain_protocol_processor.h"
#include "Quorvane/transports/protocol_data_processor.h"

// TOuter and TInner are layers constructible from the server's name.
template <class TOuter, class TInner = CDnsTcpPlainProtocolProcessor>
class CMultilayerProtocolProcessor final : public CProtocolDataProcessor {
 public:
  explicit CMultilayerProtocolProcessor(const std::wstring& serverName)
      : m_outer(serverName), m_inner(serverName), m_serverName(serverName) {}

  CProcessingResultCode& Start(CProcessingResultCode& result, const std::wstring& targetName,
                               const sockaddr_storage& serverAddress, const std::vector<std::string>& pins,
                               std::vector<uint8_t>& toSend, const std::string& stamp) override {
    m_outer.Start(result, targetName, serverAddress, pins, toSend, stamp);
    if (result.code == CProcessingResultCode::Error || !toSend.empty()) return result;
    if (!m_outer.IsReady()) return NotReady(result);
    m_inner.Start(result, targetName, serverAddress, pins, toSend, stamp);
    if (result.code == CProcessingResultCode::Error) return result;
    if (toSend.empty() && !m_inner.IsReady()) return NotReady(result);
    result = CProcessingResultCode();
    return result;
  }

  // Ready once the outer layer's handshake is complete.
  bool IsReady() override { return m_outer.IsReady() && m_inner.IsReady(); }

  CProcessingResultCode& ProcessOutgoingData(CProcessingResultCode& result, const std::vector<uint8_t>& input,
                                             std::vector<uint8_t>& output) override {
    std::vector<uint8_t> framed;
    m_inner.ProcessOutgoingData(result, input, framed);
    if (result.code == CProcessingResultCode::Error) return result;
    if (!framed.empty()) {
      std::vector<uint8_t> encrypted;
      m_outer.ProcessOutgoingData(result, framed, encrypted);
      if (result.code == CProcessingResultCode::Error) return result;
      output.insert(output.end(), encrypted.begin(), encrypted.end());
    }
    result = CProcessingResultCode();
    return result;
  }

  CProcessingResultCode& ProcessIncomingData(CProcessingResultCode& result, std::vector<uint8_t>& input,
                                             std::vector<uint8_t>& toSend, std::vector<uint8_t>& answer) override {
    std::vector<uint8_t> handshakeOut, plain;
    m_outer.ProcessIncomingData(result, input, handshakeOut, plain);
    if (result.code == CProcessingResultCode::Error) return result;
    toSend.insert(toSend.end(), handshakeOut.begin(), handshakeOut.end());
    if (plain.empty()) return result;  // Ok, NeedMoreData or LongTask with its task

    std::vector<uint8_t> innerOut, message;
    m_inner.ProcessIncomingData(result, plain, innerOut, message);
    if (result.code == CProcessingResultCode::Error) return result;
    if (!innerOut.empty()) {
      std::vector<uint8_t> encrypted;
      CProcessingResultCode encryptResult;
      m_outer.ProcessOutgoingData(encryptResult, innerOut, encrypted);
      if (encryptResult.code == CProcessingResultCode::Error) {
        result = std::move(encryptResult);
        return result;
      }
      toSend.insert(toSend.end(), encrypted.begin(), encrypted.end());
    }
    if (message.empty()) return result;  // NeedMoreData while the framed message is incomplete
    answer.insert(answer.end(), message.begin(), message.end());
    result = CProcessingResultCode();
    return result;
  }

  CProcessingResultCode& ProcessAnswer(CProcessingResultCode& result, const uint8_t*, size_t, bool, bool) override {
    result = MakeErrorResult(L"Not implemented in CMultilayerProtocolProcessor");
    return result;
  }

  TOuter m_outer;
  TInner m_inner;
  std::wstring m_serverName;

 private:
  static CProcessingResultCode& NotReady(CProcessingResultCode& result) {
    result = MakeErrorResult(L"The data processor do not ready but no data send during hanshake");
    return result;
  }
};
