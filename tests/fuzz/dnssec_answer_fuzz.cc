// The DNSSEC validation on arbitrary bytes: the first two bytes give the
// length of the answer under test, the rest is the answer to every chain
// query (its id set to the query's). root.key holds one DS, in a program
// folder of this process's own (the fuzzer's paths stay relative to the
// current one).
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Quorvane/engine/dnssec/dnssec_validation.h"

namespace {

bool g_ready = [] {
  char folder[] = "/tmp/tarnwick-dnssec-fuzz-XXXXXX";
  if (!mkdtemp(folder)) return false;
  dnssec::SetProgramFolderForTesting(std::filesystem::path(folder));
  FILE* key = std::fopen((std::string(folder) + "/root.key").c_str(), "w");
  if (!key) return false;
  std::fputs("test. IN DS 2371 13 2 1F987CC6583E92DF0890718C42A7FF7C2D4C6E9A3F8C4D0A5F2CB6E3A2B1C0D9\n", key);
  std::fclose(key);
  return true;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!g_ready || size < 2) return 0;
  const size_t split = std::min<size_t>(size - 2, static_cast<size_t>(data[0]) << 8 | data[1]);
  const std::vector<uint8_t> answer(data + 2, data + 2 + split);
  const std::vector<uint8_t> subAnswer(data + 2 + split, data + size);
  uint16_t lastId = 0;
  auto send = [&](uint8_t* query, uint32_t length, timeval, uint32_t& sequence) {
    if (length < 2) return false;
    lastId = static_cast<uint16_t>(query[0] << 8 | query[1]);
    sequence = 1;
    return true;
  };
  auto poll = [&](uint32_t, uint8_t** out, timeval, uint32_t* length) {
    *out = static_cast<uint8_t*>(std::malloc(subAnswer.size() + 1));
    if (!subAnswer.empty()) std::memcpy(*out, subAnswer.data(), subAnswer.size());
    if (subAnswer.size() >= 2) {
      (*out)[0] = static_cast<uint8_t>(lastId >> 8);
      (*out)[1] = static_cast<uint8_t>(lastId);
    }
    *length = static_cast<uint32_t>(subAnswer.size());
    return true;
  };
  auto check = dnssec::DnssecCheckTask(answer, send, poll);
  // Every exchange is answered at once, so a chain never suspends for long.
  for (int i = 0; i < 64 && !check.Done(); ++i) dnssec::AdvanceAwaiter(check);
  return 0;
}
