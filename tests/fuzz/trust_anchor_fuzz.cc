// "root.key" of arbitrary bytes, read from memory: every line is read,
// skipped or reported.
#include <stdio.h>

#include <cstdint>

#include "Quorvane/engine/dnssec/dnssec_validation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen takes no empty buffer
  FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
  if (!file) return 0;
  ldns_rr_list* anchors = ldns_rr_list_new();
  dnssec::ReadTrustAnchors(file, anchors);
  ldns_rr_list_deep_free(anchors);
  fclose(file);
  return 0;
}
