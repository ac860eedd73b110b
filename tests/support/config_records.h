// Servers and pools for tests, built in one line each.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Quorvane/config/dns_pool.h"
#include "Quorvane/config/dns_server.h"
#include "Quorvane/foundation/address_utils.h"

namespace testsupport {

// On the protocol's default port, with a configured address.
inline CDnsServer MakeServer(uint32_t id, const wchar_t* name, EDnsProtocol protocol = EDnsProtocol::Plain,
                             const char* ip = "192.0.2.1", EServerStatus status = EServerStatus::Unknown,
                             int32_t rttMs = -1) {
  CDnsServer server;
  server.id = id;
  server.name = name;
  server.protocol = protocol;
  server.port = GetDefaultPort(protocol);
  int family = 0;
  if (TextToAddress(ip, family, server.address)) server.family = family;
  server.addressKnown = true;
  server.status = status;
  server.rttMs = rttMs;
  return server;
}

inline CDnsPool MakePool(uint32_t id, const std::wstring& name, EPoolType type, std::vector<uint32_t> serverIds,
                         std::vector<uint32_t> relayIds = {}) {
  CDnsPool pool;
  pool.id = id;
  pool.name = name;
  pool.type = type;
  pool.serverIds = std::move(serverIds);
  pool.relayIds = std::move(relayIds);
  return pool;
}

}  // namespace testsupport
