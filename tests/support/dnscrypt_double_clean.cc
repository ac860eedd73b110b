#include <cstdint>
#include <string>
#include <vector>

void DnsCryptDoubleRecord(const std::string& name, std::vector<std::string> args);

extern "C" __attribute__((visibility("default"))) int Clean(uint64_t handle) {
  DnsCryptDoubleRecord("Clean", {std::to_string(handle)});
  return 0;
}
