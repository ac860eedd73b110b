// Kernel pool memory with a four-character tag per allocation, as the
// driver's records are allocated. Both calls are safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

enum POOL_TYPE { NonPagedPoolNx = 512 };

// The tag reads as its four characters in memory dumps ("Evnt").
constexpr uint32_t PoolTag(const char (&name)[5]) {
  return uint32_t(uint8_t(name[0])) | uint32_t(uint8_t(name[1])) << 8 | uint32_t(uint8_t(name[2])) << 16 |
         uint32_t(uint8_t(name[3])) << 24;
}

// Null when out of memory. The memory is not zeroed.
void* ExAllocatePoolWithTag(POOL_TYPE poolType, size_t numberOfBytes, uint32_t tag);
// tag must be the one the block was allocated with.
void ExFreePoolWithTag(void* block, uint32_t tag);
