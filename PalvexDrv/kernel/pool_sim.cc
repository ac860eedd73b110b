// Pool memory of the simulated backend: malloc with a header that records
// the tag, live blocks and successful allocations per tag, and chosen
// allocations that fail.
#include <cstdlib>
#include <map>
#include <mutex>

#include "PalvexDrv/kernel/kernel_sim.h"
#include "PalvexDrv/kernel/pool.h"

namespace {

constexpr uint32_t kLiveMagic = 0x4C4F4F50;  // "POOL"
constexpr uint32_t kFreedMagic = 0x44454546;

struct alignas(16) SBlockHeader {
  uint32_t magic;
  uint32_t tag;
  size_t size;
};

struct STagCounters {
  uint64_t live = 0;
  uint64_t allocations = 0;
  unsigned failIn = 0;  // 0: none pending; 1: the next allocation fails
};

struct SPool {
  std::mutex mutex;
  std::map<uint32_t, STagCounters> tags;
};

SPool& Pool() {
  static SPool pool;
  return pool;
}

}  // namespace

void* ExAllocatePoolWithTag(POOL_TYPE, size_t numberOfBytes, uint32_t tag) {
  {
    std::lock_guard lock(Pool().mutex);
    STagCounters& counters = Pool().tags[tag];
    if (counters.failIn > 0 && --counters.failIn == 0) return nullptr;
  }
  auto* header = static_cast<SBlockHeader*>(std::malloc(sizeof(SBlockHeader) + numberOfBytes));
  if (!header) return nullptr;
  header->magic = kLiveMagic;
  header->tag = tag;
  header->size = numberOfBytes;
  std::lock_guard lock(Pool().mutex);
  STagCounters& counters = Pool().tags[tag];
  ++counters.live;
  ++counters.allocations;
  return header + 1;
}

void ExFreePoolWithTag(void* block, uint32_t tag) {
  if (!block) ksim::Fatal("ExFreePoolWithTag: null block");
  SBlockHeader* header = static_cast<SBlockHeader*>(block) - 1;
  if (header->magic != kLiveMagic) ksim::Fatal("ExFreePoolWithTag: block freed twice or not from the pool");
  if (header->tag != tag) ksim::Fatal("ExFreePoolWithTag: freed with another tag than it was allocated with");
  header->magic = kFreedMagic;
  {
    std::lock_guard lock(Pool().mutex);
    --Pool().tags[tag].live;
  }
  std::free(header);
}

namespace ksim {

void FailAllocation(uint32_t tag, unsigned nth) {
  std::lock_guard lock(Pool().mutex);
  Pool().tags[tag].failIn = nth;
}

uint64_t LivePoolBlocks(uint32_t tag) {
  std::lock_guard lock(Pool().mutex);
  auto it = Pool().tags.find(tag);
  return it == Pool().tags.end() ? 0 : it->second.live;
}

uint64_t LivePoolBlocks() {
  std::lock_guard lock(Pool().mutex);
  uint64_t live = 0;
  for (const auto& [tag, counters] : Pool().tags) live += counters.live;
  return live;
}

uint64_t PoolAllocations(uint32_t tag) {
  std::lock_guard lock(Pool().mutex);
  auto it = Pool().tags.find(tag);
  return it == Pool().tags.end() ? 0 : it->second.allocations;
}

void ResetPool() {
  std::lock_guard lock(Pool().mutex);
  for (auto& [tag, counters] : Pool().tags) {
    counters.allocations = 0;
    counters.failIn = 0;
  }
}

}  // namespace ksim
