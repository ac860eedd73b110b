// Upstream protocols with their conf-file keys, display texts and ports.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

enum class EDnsProtocol : int {
  Unspec = 0,
  Plain = 1,
  DnsCrypt = 2,
  Doh = 3,
  Dot = 4,
  NextDns = 5,
  Relay = 6,
  Doq = 7,
};

// Value -> {key (compared case-sensitively), display text}.
extern const std::map<EDnsProtocol, std::pair<std::string, std::string>> g_ProtocolTable;

// 0 for a value outside the table.
uint16_t GetDefaultPort(EDnsProtocol protocol);
// Throws std::out_of_range for a value outside the table; no caller catches
// it, so a server only ever holds one of the eight values.
const std::pair<std::string, std::string>& GetProtocolNames(EDnsProtocol protocol);
