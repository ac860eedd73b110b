// Pool memory of the host: the C heap. The tag stays with the block, so a
// block freed under another tag is traced rather than silently accepted.
#include <cstdlib>
#include <string>

#include "PalvexDrv/kernel/pool.h"
#include "PalvexDrv/kernel/trace.h"

namespace {

struct alignas(16) SBlockHeader {
  uint32_t tag;
};

}  // namespace

void* ExAllocatePoolWithTag(POOL_TYPE, size_t numberOfBytes, uint32_t tag) {
  auto* header = static_cast<SBlockHeader*>(std::malloc(sizeof(SBlockHeader) + numberOfBytes));
  if (!header) return nullptr;
  header->tag = tag;
  return header + 1;
}

void ExFreePoolWithTag(void* block, uint32_t tag) {
  if (!block) return;
  SBlockHeader* header = static_cast<SBlockHeader*>(block) - 1;
  if (header->tag != tag) TraceEvents(TRACE_LEVEL_ERROR, "ExFreePoolWithTag: block freed with another tag");
  std::free(header);
}
