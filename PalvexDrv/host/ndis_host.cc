// NDIS objects of the host: MDLs, generic objects, net-buffer-list pools
// and the lists the driver allocates for its injections. Plain heap
// objects; the packet memory stays the driver's.
#include "PalvexDrv/host/host_nbl.h"
#include "PalvexDrv/kernel/fwp.h"
#include "PalvexDrv/kernel/ndis.h"

namespace {

struct SPoolObject {
  NET_BUFFER_LIST_POOL_PARAMETERS parameters;
};

// A list and its one net buffer, allocated together.
struct SListBlock {
  NET_BUFFER_LIST list;
  NET_BUFFER buffer;
  SHostNblInfo info;
};

}  // namespace

MDL* IoAllocateMdl(void* virtualAddress, uint32_t length, bool, bool, void*) {
  auto* mdl = new MDL;
  mdl->MappedSystemVa = virtualAddress;
  mdl->ByteCount = length;
  return mdl;
}

void IoFreeMdl(MDL* mdl) { delete mdl; }
void MmBuildMdlForNonPagedPool(MDL*) {}

NDIS_HANDLE NdisAllocateGenericObject(DRIVER_OBJECT*, uint32_t, uint16_t) { return new char; }
void NdisFreeGenericObject(NDIS_HANDLE handle) { delete static_cast<char*>(handle); }

NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE, const NET_BUFFER_LIST_POOL_PARAMETERS* parameters) {
  return new SPoolObject{*parameters};
}

void NdisFreeNetBufferListPool(NDIS_HANDLE poolHandle) { delete static_cast<SPoolObject*>(poolHandle); }

NTSTATUS FwpsAllocateNetBufferAndNetBufferList0(NDIS_HANDLE poolHandle, uint16_t, uint16_t, MDL* mdlChain,
                                                uint32_t dataOffset, size_t dataLength,
                                                NET_BUFFER_LIST** netBufferList) {
  if (!poolHandle) return STATUS_INVALID_PARAMETER;
  auto* block = new SListBlock;
  block->buffer.MdlChain = mdlChain;
  block->buffer.DataOffset = dataOffset;
  block->buffer.DataLength = static_cast<uint32_t>(dataLength);
  block->list.FirstNetBuffer = &block->buffer;
  block->list.BackendReserved = &block->info;
  *netBufferList = &block->list;
  return STATUS_SUCCESS;
}

void FwpsFreeNetBufferList0(NET_BUFFER_LIST* netBufferList) { delete reinterpret_cast<SListBlock*>(netBufferList); }
