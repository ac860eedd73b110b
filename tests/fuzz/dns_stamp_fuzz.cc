// Stamps from the outside: typed text, and arbitrary records behind a valid
// base64url layer so the binary reader is reached. Whatever reads must build
// and read back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Quorvane/config/dns_stamp.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

void Check(const std::string& text) {
  CDnsStamp stamp;
  std::string error;
  if (!stamp.Parse(text, error)) return;
  std::string built;
  if (stamp.Build(built, error)) {
    CDnsStamp again;
    if (!again.Parse(built, error)) __builtin_trap();
  }
  CDnsServer server;
  if (server.FromStamp(text, error) && server.ToStamp(built, error)) {
    CDnsServer back;
    back.FromStamp(built, error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Check(input);
  Check("sdns://" + Base64UrlEncode(data, size));
  return 0;
}
