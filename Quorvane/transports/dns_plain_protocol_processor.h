// Plain DNS messages, with the 2-byte big-endian length prefix of DNS over
// TCP (framing) or bare, for a transport that delimits messages itself.
#pragma once

#include "Quorvane/transports/protocol_data_processor.h"

class CDnsPlainProtocolProcessor : public CProtocolDataProcessor {
 public:
  explicit CDnsPlainProtocolProcessor(bool framing);
  // The TCP layer derives from this one, which is also made on its own.
  virtual ~CDnsPlainProtocolProcessor() = default;

  // Ok, nothing to send.
  CProcessingResultCode& Start(CProcessingResultCode& result, const std::wstring& targetName,
                               const sockaddr_storage& serverAddress, const std::vector<std::string>& pins,
                               std::vector<uint8_t>& toSend, const std::string& stamp) override;
  bool IsReady() override { return true; }
  // Error "DNS request cannot be processed: size is too big" for 65536 bytes
  // or more; the input is left as it was.
  CProcessingResultCode& ProcessOutgoingData(CProcessingResultCode& result, const std::vector<uint8_t>& input,
                                             std::vector<uint8_t>& output) override;
  // Reads the length prefix whatever the framing: the first complete message
  // goes to answer (Ok), later bytes wait; NeedMoreData otherwise, and for an
  // empty input.
  CProcessingResultCode& ProcessIncomingData(CProcessingResultCode& result, std::vector<uint8_t>& input,
                                             std::vector<uint8_t>& toSend, std::vector<uint8_t>& answer) override;
  // Hands a finished answer to the engine: with framing each complete
  // message, without framing the whole buffer once an end flag is set.
  // Error when the engine refuses it. With framing and an end flag set, no
  // bytes at all log " - empty DNS response" (Ok), and fewer than the length
  // promises give Error "DNS answer is incomplete".
  CProcessingResultCode& ProcessAnswer(CProcessingResultCode& result, const uint8_t* data, size_t length, bool end,
                                       bool finished) override;

  // The largest message the length prefix can carry.
  static constexpr size_t kMaxMessage = 65535;

 private:
  const bool m_framing;
  std::vector<uint8_t> m_receiveBuffer;  // received, not yet consumed
};
