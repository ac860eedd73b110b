#include "Quorvane/ui/start_wizard_model.h"

#include "Quorvane/config/object_id.h"

const char* const kGoogleDohStamp = "sdns://AgEAAAAAAAAABzguOC44LjgACmRucy5nb29nbGUKL2Rucy1xdWVyeQ";
const char* const kQuad9DnsCryptStamp =
    "sdns://AQYAAAAAAAAADTkuOS45LjEwOjg0NDMgZ8hHuMh1jNEgJFVDvnVnRt803x2EwAuMRwNo34Idhj4ZMi5kbnNjcnlwdC1jZXJ0LnF1YWQ5Lm5ldA";

CDnsServer MakeBuiltinServer(int choice) {
  CDnsServer server;
  std::string error;
  if (choice == 1) {
    server.FromStamp(kGoogleDohStamp, error);
    server.name = L"Google DoH";
  } else if (choice == 2) {
    server.FromStamp(kQuad9DnsCryptStamp, error);
    server.name = L"Quad9 DNSCrypt";
    server.dnscrypt_disable_padding = true;
  } else {
    server.name = L"NextDNS";
    server.protocol = EDnsProtocol::NextDns;
    server.port = 443;
  }
  server.id = g_NextObjectId++;
  server.dnssec_supported = true;
  return server;
}
