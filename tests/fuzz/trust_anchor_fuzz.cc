// "root.key" of arbitrary bytes: every line is read, skipped or reported.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "Quorvane/engine/dnssec/dnssec_validation.h"

namespace {

// The program folder of this process's own; the fuzzer's paths stay
// relative to the current one.
std::string g_file = [] {
  char folder[] = "/tmp/tarnwick-anchor-fuzz-XXXXXX";
  if (!mkdtemp(folder)) return std::string();
  dnssec::SetProgramFolderForTesting(std::filesystem::path(folder));
  return std::string(folder) + "/root.key";
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_file.empty()) return 0;
  FILE* file = std::fopen(g_file.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  ldns_rr_list* anchors = ldns_rr_list_new();
  dnssec::ReadTrustAnchors(anchors);
  ldns_rr_list_deep_free(anchors);
  return 0;
}
