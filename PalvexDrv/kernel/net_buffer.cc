// The net-buffer operations both backends share: they only move a view over
// memory the caller owns, or copy out of it.
#include <cstring>

#include "PalvexDrv/kernel/net_buffer.h"

NTSTATUS NdisRetreatNetBufferDataStart(NET_BUFFER* netBuffer, uint32_t dataOffsetDelta, uint32_t, void*) {
  if (dataOffsetDelta > netBuffer->DataOffset) return STATUS_INSUFFICIENT_RESOURCES;
  netBuffer->DataOffset -= dataOffsetDelta;
  netBuffer->DataLength += dataOffsetDelta;
  return STATUS_SUCCESS;
}

void NdisAdvanceNetBufferDataStart(NET_BUFFER* netBuffer, uint32_t dataOffsetDelta, bool, void*) {
  if (dataOffsetDelta > netBuffer->DataLength) dataOffsetDelta = netBuffer->DataLength;
  netBuffer->DataOffset += dataOffsetDelta;
  netBuffer->DataLength -= dataOffsetDelta;
}

void* NdisGetDataBuffer(NET_BUFFER* netBuffer, uint32_t bytesNeeded, void* storage, uint32_t, uint32_t) {
  if (bytesNeeded > netBuffer->DataLength) return nullptr;
  // Find the MDL holding the data start.
  MDL* mdl = netBuffer->MdlChain;
  uint32_t skip = netBuffer->DataOffset;
  while (mdl && skip >= mdl->ByteCount) {
    skip -= mdl->ByteCount;
    mdl = mdl->Next;
  }
  if (bytesNeeded == 0) return mdl ? static_cast<uint8_t*>(mdl->MappedSystemVa) + skip : storage;
  if (!mdl) return nullptr;
  if (mdl->ByteCount - skip >= bytesNeeded) return static_cast<uint8_t*>(mdl->MappedSystemVa) + skip;
  if (!storage) return nullptr;
  auto* out = static_cast<uint8_t*>(storage);
  uint32_t copied = 0;
  for (; mdl && copied < bytesNeeded; mdl = mdl->Next, skip = 0) {
    uint32_t take = mdl->ByteCount - skip;
    if (take > bytesNeeded - copied) take = bytesNeeded - copied;
    std::memcpy(out + copied, static_cast<uint8_t*>(mdl->MappedSystemVa) + skip, take);
    copied += take;
  }
  return copied == bytesNeeded ? storage : nullptr;  // a chain shorter than DataLength
}

bool NetBufferListBytes(const NET_BUFFER_LIST* list, std::vector<uint8_t>* bytes) {
  bytes->clear();
  if (!list || !list->FirstNetBuffer) return true;
  NET_BUFFER* buffer = list->FirstNetBuffer;
  bytes->resize(buffer->DataLength);
  if (bytes->empty()) return true;
  void* data = NdisGetDataBuffer(buffer, buffer->DataLength, bytes->data(), 1, 0);
  if (!data) {
    bytes->clear();
    return false;
  }
  if (data != bytes->data()) std::memcpy(bytes->data(), data, bytes->size());
  return true;
}
