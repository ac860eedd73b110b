#include <string>
#include <vector>

void DnsCryptDoubleRecord(const std::string& name, std::vector<std::string> args);

extern "C" __attribute__((visibility("default"))) bool InitLibForRunWithData() {
  DnsCryptDoubleRecord("InitLibForRunWithData", {});
  return false;
}
