#include "PalvexDrv/driver_config.h"

#include <cstring>
#include <new>

#include "PalvexDrv/kernel/ke.h"
#include "PalvexDrv/pool_tags.h"

struct TvnConfigBlock {
  std::atomic<uint32_t> references;
  DriverConfig config;
};

namespace {

const DriverConfig kZeroConfig{};

// g_TvnConfigLock guards g_TvnConfig and taking a reference on it; the
// dispatcher writes g_TvnConfig, any thread reads it.
KSPIN_LOCK g_TvnConfigLock;
TvnConfigBlock* g_TvnConfig = nullptr;

void ReleaseBlock(TvnConfigBlock* block) {
  if (block && block->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    block->~TvnConfigBlock();
    ExFreePoolWithTag(block, kTvnTagConfig);
  }
}

void Publish(TvnConfigBlock* block) {
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnConfigLock, &lock);
  TvnConfigBlock* old = g_TvnConfig;
  g_TvnConfig = block;
  KeReleaseInStackQueuedSpinLock(&lock);
  ReleaseBlock(old);
}

uint32_t ReadU32(const uint8_t* bytes, size_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

}  // namespace

CTvnConfigRef::CTvnConfigRef(TvnConfigBlock* block) : m_block(block) {}

CTvnConfigRef::~CTvnConfigRef() { ReleaseBlock(m_block); }

const DriverConfig& CTvnConfigRef::operator*() const { return m_block ? m_block->config : kZeroConfig; }

CTvnConfigRef TvnAcquireConfig() {
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnConfigLock, &lock);
  TvnConfigBlock* block = g_TvnConfig;
  if (block) block->references.fetch_add(1, std::memory_order_relaxed);
  KeReleaseInStackQueuedSpinLock(&lock);
  return CTvnConfigRef(block);
}

NTSTATUS TvnSetConfig(WDFREQUEST request, size_t inputLength) {
  if (inputLength != sizeof(DriverConfig)) return STATUS_INVALID_BUFFER_SIZE;
  void* buffer = nullptr;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(request, sizeof(DriverConfig), &buffer, nullptr);
  if (!NT_SUCCESS(status)) return status;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  if (ReadU32(bytes, offsetof(DriverConfig, size)) != sizeof(DriverConfig)) return STATUS_INVALID_PARAMETER_1;
  if (ReadU32(bytes, offsetof(DriverConfig, insertLength)) > kMaxInsertLength) return STATUS_INVALID_PARAMETER_2;
  if (bytes[kHostMasksGuardOffset2] != 0 || bytes[kHostMasksGuardOffset1] != 0) return STATUS_INVALID_PARAMETER_3;

  void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TvnConfigBlock), kTvnTagConfig);
  if (!memory) return STATUS_NO_MEMORY;
  auto* block = new (memory) TvnConfigBlock;
  block->references.store(1, std::memory_order_relaxed);  // the driver's own
  std::memcpy(&block->config, bytes, sizeof(DriverConfig));
  Publish(block);
  return STATUS_SUCCESS;
}

void TvnReleaseConfig() { Publish(nullptr); }
