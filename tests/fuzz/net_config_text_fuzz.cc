// The readers of resolv.conf and of the resolvectl and nmcli outputs on
// arbitrary bytes: each must skip what it does not understand.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Quorvane/platform/net_adapters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  platform::ParseResolvConf(text);
  platform::ParseNmcliDeviceShow(text);
  platform::ParseNmcliWifiList(text);
  // The two resolvectl outputs: before and after the first NUL.
  size_t split = text.find('\0');
  platform::ParseResolvectl(text.substr(0, split), split == std::string_view::npos ? "" : text.substr(split + 1));
  sockaddr_storage address;
  platform::ParseServerToken(text.substr(0, 64), address);
  return 0;
}
