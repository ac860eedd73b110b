// A protocol-data layer: turns one upstream connection's bytes into DNS
// answers and DNS queries into bytes, without touching sockets. One thread
// at a time calls a layer; layers take no locks.
//
// Order for a TCP or TLS connection: Start once; IsReady before each
// outgoing message; ProcessOutgoingData per message once ready;
// ProcessIncomingData per receive. A transport that reads a stream itself
// (DNS over QUIC) pushes the stream's bytes through ProcessAnswer instead.
// Every operation writes its result into the first argument and returns it.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Quorvane/transports/processing_result.h"

class CProtocolDataProcessor {
 public:
  // Bytes that must open the connection are appended to toSend. serverAddress
  // is the server's socket address, pins the pinned certificate hashes, stamp
  // the server's "sdns://" text.
  virtual CProcessingResultCode& Start(CProcessingResultCode& result, const std::wstring& targetName,
                                       const sockaddr_storage& serverAddress,
                                       const std::vector<std::string>& pins, std::vector<uint8_t>& toSend,
                                       const std::string& stamp) = 0;
  virtual bool IsReady() = 0;
  // Encodes one outgoing message, appending its bytes to output.
  virtual CProcessingResultCode& ProcessOutgoingData(CProcessingResultCode& result,
                                                     const std::vector<uint8_t>& input,
                                                     std::vector<uint8_t>& output) = 0;
  // Consumes input; bytes that must be sent are appended to toSend, and a
  // complete decoded message is put into answer.
  virtual CProcessingResultCode& ProcessIncomingData(CProcessingResultCode& result, std::vector<uint8_t>& input,
                                                     std::vector<uint8_t>& toSend,
                                                     std::vector<uint8_t>& answer) = 0;
  // Answer bytes pushed by a stream reader; both flags true mark the end.
  virtual CProcessingResultCode& ProcessAnswer(CProcessingResultCode& result, const uint8_t* data, size_t length,
                                               bool end, bool finished) = 0;
  // Drops the request's transport state, then fails the pending request.
  virtual void OnError(const std::wstring& text);

  uint64_t m_requestId = 0;  // 0 when the layer serves no single request
  std::wstring m_name;       // the query's display name; empty when unbound

 protected:
  // Layers are destroyed through their concrete type only.
  ~CProtocolDataProcessor() = default;
};
