#include "PalvexDrv/datagram_diversion.h"

#include <cstring>

#include "PalvexDrv/engine_state.h"

uint32_t TvnFlowCount() { return 0; }

NTSTATUS TvnRemoveAllFlows(bool) { return STATUS_SUCCESS; }

NTSTATUS TvnIoInjectUdp(WDFREQUEST request, size_t inputLength) {
  if (!g_TvnStarted.load()) return STATUS_SERVER_DISABLED;
  if (inputLength < kInjectUdpHeaderSize) return STATUS_INVALID_BUFFER_SIZE;
  void* buffer = nullptr;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(request, kInjectUdpHeaderSize, &buffer, nullptr);
  if (!NT_SUCCESS(status)) return status;
  InjectUdpHeader header;
  std::memcpy(&header, buffer, sizeof header);
  if (header.headerSize != kInjectUdpHeaderSize) return STATUS_INVALID_PARAMETER_1;
  if (header.packetLength != inputLength - kInjectUdpHeaderSize) return STATUS_INVALID_PARAMETER_2;
  return TvnInjectDatagram(&header, static_cast<const uint8_t*>(buffer) + kInjectUdpHeaderSize);
}

NTSTATUS TvnInjectDatagram(const InjectUdpHeader*, const uint8_t*) { return STATUS_SUCCESS; }
