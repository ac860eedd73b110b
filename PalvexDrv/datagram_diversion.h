// Datagram diversion: flow contexts of diverted UDP flows and the InjectUdp
// request. No flow is diverted until the filtering objects are registered,
// so the flow list stays empty and an accepted injection has nothing to do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "PalvexDrv/kernel/wdf.h"
#include "shared/driver_records.h"

// One per diverted flow ("Flow" pool).
struct FlowContext {
  FlowContext* next;  // links in the flow list
  FlowContext* prev;
  uint64_t flowHandle;
  uint16_t layerId;    // the datagram (UDP) or stream (TCP) layer of its family
  uint32_t calloutId;
  uint32_t processId;  // the process that opened the flow
  uint64_t endpointHandle;
  uint64_t bytesSent;  // stream inspection
  uint64_t bytesReceived;
  uint8_t inList;  // linked in the flow list
};

// Flow contexts held.
uint32_t TvnFlowCount();
// Removes every flow context; an emergency stop also closes stream flows.
NTSTATUS TvnRemoveAllFlows(bool emergency);

// The InjectUdp request, in this order: STATUS_SERVER_DISABLED (not
// started), STATUS_INVALID_BUFFER_SIZE (input shorter than the header), a
// status of WdfRequestRetrieveInputBuffer, STATUS_INVALID_PARAMETER_1
// (headerSize), STATUS_INVALID_PARAMETER_2 (packetLength not the bytes
// after the header), then the injection's own status.
NTSTATUS TvnIoInjectUdp(WDFREQUEST request, size_t inputLength);
// Hands the packet behind header to the platform.
NTSTATUS TvnInjectDatagram(const InjectUdpHeader* header, const uint8_t* packet);
