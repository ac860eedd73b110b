// NDIS objects of the simulated backend: MDLs, generic objects, net-buffer
// list pools and their lists, counted so that a leak fails the test.
#include <map>
#include <mutex>
#include <set>

#include "PalvexDrv/kernel/fwp.h"
#include "PalvexDrv/kernel/kernel_sim.h"
#include "PalvexDrv/kernel/ndis.h"
#include "PalvexDrv/kernel/sim_internal.h"

namespace {

struct SPoolObject {
  NET_BUFFER_LIST_POOL_PARAMETERS parameters;
};

struct SNdis {
  std::mutex mutex;
  std::set<NDIS_HANDLE> genericObjects;
  std::map<NDIS_HANDLE, unsigned> pools;  // live lists per pool
  unsigned lists = 0, mdls = 0;
};

SNdis& Ndis() {
  static SNdis ndis;
  return ndis;
}

// A list and its one net buffer, allocated together.
struct SListBlock {
  NET_BUFFER_LIST list;
  NET_BUFFER buffer;
  ksim::SNblInfo info;
};

}  // namespace

MDL* IoAllocateMdl(void* virtualAddress, uint32_t length, bool, bool, void*) {
  if (ksim::TakeFailure("IoAllocateMdl")) return nullptr;
  auto* mdl = new MDL;
  mdl->MappedSystemVa = virtualAddress;
  mdl->ByteCount = length;
  std::lock_guard lock(Ndis().mutex);
  ++Ndis().mdls;
  return mdl;
}

void IoFreeMdl(MDL* mdl) {
  if (!mdl) ksim::Fatal("IoFreeMdl: null MDL");
  {
    std::lock_guard lock(Ndis().mutex);
    if (Ndis().mdls == 0) ksim::Fatal("IoFreeMdl: more MDLs freed than allocated");
    --Ndis().mdls;
  }
  delete mdl;
}

void MmBuildMdlForNonPagedPool(MDL*) {}

NDIS_HANDLE NdisAllocateGenericObject(DRIVER_OBJECT*, uint32_t, uint16_t) {
  if (ksim::TakeFailure("NdisAllocateGenericObject")) return nullptr;
  NDIS_HANDLE handle = new char;
  std::lock_guard lock(Ndis().mutex);
  Ndis().genericObjects.insert(handle);
  return handle;
}

void NdisFreeGenericObject(NDIS_HANDLE handle) {
  {
    std::lock_guard lock(Ndis().mutex);
    if (!Ndis().genericObjects.erase(handle)) ksim::Fatal("NdisFreeGenericObject: not a live generic object");
  }
  delete static_cast<char*>(handle);
}

NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE ndisHandle, const NET_BUFFER_LIST_POOL_PARAMETERS* parameters) {
  if (ksim::TakeFailure("NdisAllocateNetBufferListPool")) return nullptr;
  {
    std::lock_guard lock(Ndis().mutex);
    if (!Ndis().genericObjects.count(ndisHandle))
      ksim::Fatal("NdisAllocateNetBufferListPool: the NDIS handle is not a live generic object");
  }
  auto* pool = new SPoolObject{*parameters};
  std::lock_guard lock(Ndis().mutex);
  Ndis().pools[pool] = 0;
  return pool;
}

void NdisFreeNetBufferListPool(NDIS_HANDLE poolHandle) {
  {
    std::lock_guard lock(Ndis().mutex);
    auto it = Ndis().pools.find(poolHandle);
    if (it == Ndis().pools.end()) ksim::Fatal("NdisFreeNetBufferListPool: not a live pool");
    if (it->second != 0) ksim::Fatal("NdisFreeNetBufferListPool: lists of the pool are still allocated");
    Ndis().pools.erase(it);
  }
  delete static_cast<SPoolObject*>(poolHandle);
}

NTSTATUS FwpsAllocateNetBufferAndNetBufferList0(NDIS_HANDLE poolHandle, uint16_t, uint16_t, MDL* mdlChain,
                                                uint32_t dataOffset, size_t dataLength,
                                                NET_BUFFER_LIST** netBufferList) {
  if (auto failure = ksim::TakeFailure("FwpsAllocateNetBufferAndNetBufferList0")) return *failure;
  {
    std::lock_guard lock(Ndis().mutex);
    auto it = Ndis().pools.find(poolHandle);
    if (it == Ndis().pools.end()) ksim::Fatal("FwpsAllocateNetBufferAndNetBufferList0: not a live pool");
    ++it->second;
    ++Ndis().lists;
  }
  auto* block = new SListBlock;
  block->buffer.MdlChain = mdlChain;
  block->buffer.DataOffset = dataOffset;
  block->buffer.DataLength = static_cast<uint32_t>(dataLength);
  block->list.FirstNetBuffer = &block->buffer;
  block->info.pool = poolHandle;
  block->list.BackendReserved = &block->info;
  *netBufferList = &block->list;
  return STATUS_SUCCESS;
}

void FwpsFreeNetBufferList0(NET_BUFFER_LIST* netBufferList) {
  auto* info = static_cast<ksim::SNblInfo*>(netBufferList->BackendReserved);
  if (!info || !info->pool) ksim::Fatal("FwpsFreeNetBufferList0: not a list the driver allocated");
  {
    std::lock_guard lock(Ndis().mutex);
    auto it = Ndis().pools.find(info->pool);
    if (it == Ndis().pools.end() || it->second == 0) ksim::Fatal("FwpsFreeNetBufferList0: list freed twice");
    --it->second;
    --Ndis().lists;
  }
  delete reinterpret_cast<SListBlock*>(netBufferList);
}

namespace ksim {

SNdisCounts NdisCounts() {
  std::lock_guard lock(Ndis().mutex);
  return {static_cast<unsigned>(Ndis().genericObjects.size()), static_cast<unsigned>(Ndis().pools.size()),
          Ndis().lists, Ndis().mdls};
}

}  // namespace ksim
