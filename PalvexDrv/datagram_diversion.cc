#include "PalvexDrv/datagram_diversion.h"

#include <cstring>

#include "PalvexDrv/device_control.h"

uint32_t TvnFlowCount() { return 0; }

NTSTATUS TvnRemoveAllFlows(bool) { return STATUS_SUCCESS; }

NTSTATUS TvnIoInjectUdp(WDFREQUEST request, size_t inputLength) {
  const uint8_t* input = nullptr;
  NTSTATUS status = TvnCheckInjectRequest(request, inputLength, kInjectUdpHeaderSize, &input);
  if (!NT_SUCCESS(status)) return status;
  InjectUdpHeader header;
  std::memcpy(&header, input, sizeof header);
  return TvnInjectDatagram(&header, input + kInjectUdpHeaderSize);
}

NTSTATUS TvnInjectDatagram(const InjectUdpHeader*, const uint8_t*) { return STATUS_SUCCESS; }
