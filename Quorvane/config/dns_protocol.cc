#include "Quorvane/config/dns_protocol.h"

const std::map<EDnsProtocol, std::pair<std::string, std::string>> g_ProtocolTable = {
    {EDnsProtocol::Unspec, {"unspec", "Unspecified"}},
    {EDnsProtocol::Plain, {"plain", "Plain"}},
    {EDnsProtocol::DnsCrypt, {"dnscrypt", "DNSCrypt"}},
    {EDnsProtocol::Doh, {"doh", "DNS over HTTPS"}},
    {EDnsProtocol::Dot, {"dot", "DNS over TLS"}},
    {EDnsProtocol::NextDns, {"nextdns", "NextDNS"}},
    {EDnsProtocol::Relay, {"relay", "DNSCrypt Relay"}},
    {EDnsProtocol::Doq, {"doq", "DNS over QUIC"}},
};

uint16_t GetDefaultPort(EDnsProtocol protocol) {
  switch (protocol) {
    case EDnsProtocol::Plain:
      return 53;
    case EDnsProtocol::DnsCrypt:
    case EDnsProtocol::Doh:
    case EDnsProtocol::NextDns:
    case EDnsProtocol::Relay:
      return 443;
    case EDnsProtocol::Dot:
    case EDnsProtocol::Doq:
      return 853;
    default:
      return 0;
  }
}

const std::pair<std::string, std::string>& GetProtocolNames(EDnsProtocol protocol) {
  return g_ProtocolTable.at(protocol);
}
