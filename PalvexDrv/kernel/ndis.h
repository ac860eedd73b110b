// Packet memory as the filtering platform hands it to a callout and takes it
// back for injection: MDLs over driver memory, net buffers that view a range
// of an MDL chain, net-buffer lists that carry one or more net buffers.
// Simplified: a net buffer's data is DataLength bytes starting DataOffset
// bytes into its MDL chain; the bytes before DataOffset are its headroom.
// The buffer operations (retreat, advance, get data) are backend-neutral
// and live in net_buffer.cc (library palvex_kernel_buffers); allocation and
// pools belong to each backend. Any thread, no lock of the driver needed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/ntstatus.h"

struct DRIVER_OBJECT;

using NDIS_HANDLE = void*;

// Describes ByteCount bytes at MappedSystemVa; Next chains the MDLs of one buffer.
struct MDL {
  MDL* Next = nullptr;
  void* MappedSystemVa = nullptr;
  uint32_t ByteCount = 0;
};

struct NET_BUFFER {
  NET_BUFFER* Next = nullptr;
  MDL* MdlChain = nullptr;
  uint32_t DataOffset = 0;  // first data byte, counted from the start of MdlChain
  uint32_t DataLength = 0;
};

struct NET_BUFFER_LIST {
  NET_BUFFER_LIST* Next = nullptr;
  NET_BUFFER* FirstNetBuffer = nullptr;
  NTSTATUS Status = STATUS_SUCCESS;  // set by the platform before an injection completes
  // The backend's own bookkeeping (pool, injection marks); never read by the driver.
  void* BackendReserved = nullptr;
};

inline NET_BUFFER* NET_BUFFER_LIST_FIRST_NB(const NET_BUFFER_LIST* list) { return list->FirstNetBuffer; }
inline NTSTATUS NET_BUFFER_LIST_STATUS(const NET_BUFFER_LIST* list) { return list->Status; }
inline uint32_t NET_BUFFER_DATA_LENGTH(const NET_BUFFER* buffer) { return buffer->DataLength; }

// Moves the data start back by dataOffsetDelta bytes into the headroom.
// STATUS_INSUFFICIENT_RESOURCES, with nothing changed, when the headroom is
// shorter (this facade never allocates new headroom). dataBackFill and
// allocateMdlHandler are accepted and ignored.
NTSTATUS NdisRetreatNetBufferDataStart(NET_BUFFER* netBuffer, uint32_t dataOffsetDelta, uint32_t dataBackFill,
                                       void* allocateMdlHandler);
// Moves the data start forward by dataOffsetDelta bytes (at most
// DataLength); freeMdl and freeMdlHandler are ignored.
void NdisAdvanceNetBufferDataStart(NET_BUFFER* netBuffer, uint32_t dataOffsetDelta, bool freeMdl,
                                   void* freeMdlHandler);
// bytesNeeded contiguous data bytes from the data start: a pointer into the
// MDL when they lie in one, else storage (at least bytesNeeded bytes) filled
// with them; null when the buffer holds fewer than bytesNeeded bytes or
// storage is needed and null. Alignment arguments are ignored.
void* NdisGetDataBuffer(NET_BUFFER* netBuffer, uint32_t bytesNeeded, void* storage, uint32_t alignMultiple,
                        uint32_t alignOffset);

// An MDL for length bytes at virtualAddress; null when out of memory.
// secondaryBuffer, chargeQuota and irp are ignored.
MDL* IoAllocateMdl(void* virtualAddress, uint32_t length, bool secondaryBuffer, bool chargeQuota, void* irp);
void IoFreeMdl(MDL* mdl);
// Non-paged memory needs no locking: this only marks the MDL as described.
void MmBuildMdlForNonPagedPool(MDL* mdl);

// A handle the driver passes where NDIS wants its own object; null when out
// of memory. The tag names the allocation.
NDIS_HANDLE NdisAllocateGenericObject(DRIVER_OBJECT* driverObject, uint32_t tag, uint16_t size);
void NdisFreeGenericObject(NDIS_HANDLE handle);

struct NET_BUFFER_LIST_POOL_PARAMETERS {
  uint8_t ProtocolId = 0;
  bool fAllocateNetBuffer = false;  // each list comes with one net buffer
  uint16_t ContextSize = 0;
  uint32_t PoolTag = 0;
  uint32_t DataSize = 0;  // 0: the lists carry the caller's MDLs, no data of their own
};
constexpr uint8_t NDIS_PROTOCOL_ID_DEFAULT = 0;

// Null when out of memory. Freeing a pool with lists still allocated from
// it is a fault of the caller.
NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE ndisHandle, const NET_BUFFER_LIST_POOL_PARAMETERS* parameters);
void NdisFreeNetBufferListPool(NDIS_HANDLE poolHandle);
