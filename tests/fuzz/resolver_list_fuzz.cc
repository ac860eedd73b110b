// Resolver lists and version files as they come from the web: every heading
// and stamp is read within the body, and a parsed server builds its stamp.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Quorvane/app/update_checker.h"
#include "Quorvane/config/server_import.h"
#include "Quorvane/foundation/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_LogLevelScreen = -1;  // no log lines pile up
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::vector<CDnsServer> servers;
  int failed = 0;
  CServerImport::ParseResolverList(body, servers, "http://fuzz.example/", failed);
  for (const CDnsServer& server : servers) {
    std::string stamp, error;
    server.ToStamp(stamp, error);
  }
  CUpdateChecker checker("https://brevant.example/v/");
  checker.Parse(std::string(body.c_str()));
  return 0;
}
