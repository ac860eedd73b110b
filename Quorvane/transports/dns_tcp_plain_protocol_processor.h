// Plain DNS over TCP: the framed plain layer, named after its server.
#pragma once

#include <string>

#include "Quorvane/transports/dns_plain_protocol_processor.h"

class CDnsTcpPlainProtocolProcessor final : public CDnsPlainProtocolProcessor {
 public:
  explicit CDnsTcpPlainProtocolProcessor(std::wstring serverName)
      : CDnsPlainProtocolProcessor(true), m_serverName(std::move(serverName)) {}

  std::wstring m_serverName;
};
