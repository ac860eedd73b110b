// What the rules tests share: a server on 192.0.2.id at its protocol's port.
#pragma once

#include <sys/socket.h>

#include "Quorvane/config/dns_server.h"

namespace uitest {

inline CDnsServer TestServer(uint32_t id, const wchar_t* name, EDnsProtocol protocol, bool dnssec) {
  CDnsServer server;
  server.id = id;
  server.name = name;
  server.protocol = protocol;
  server.port = GetDefaultPort(protocol);
  server.family = AF_INET;
  server.address = {192, 0, 2, static_cast<uint8_t>(id % 256)};
  server.dnssec_supported = dnssec;
  return server;
}

}  // namespace uitest
