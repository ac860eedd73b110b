// Datagram diversion: flow contexts of diverted UDP flows, the datagram
// classification that reports (and absorbs) DNS queries, and InjectUdp,
// which hands the program's packets to the platform's transport injection.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "PalvexDrv/driver_config.h"
#include "PalvexDrv/kernel/fwp.h"
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

// Datagrams up to this size are copied on the stack, longer ones into a "UDPd" block.
constexpr uint32_t kTvnDatagramStackCopy = 1500;

// An empty flow list. Once, at registration.
void TvnFlowListInitialize();
// Flow contexts held; read without the lock.
uint32_t TvnFlowCount();
// Takes context out of the flow list when it is still in it; false when it
// was not.
bool TvnFlowListUnlink(FlowContext* context);
// A datagram of context's flow: it becomes the most recently active.
void TvnFlowTouch(FlowContext* context);
// Takes the least recently active context out of the list and off its flow,
// as a flow delete would (the callback reports and frees it), making way for
// a new flow at the limit. False when the list is empty.
bool TvnRemoveLeastActiveFlow();
// Takes every context out of the list and off its flow (the flow-delete
// callback frees it); an emergency stop first closes the receive side of
// stream flows. Goes on past a failure; returns the first one, else success.
NTSTATUS TvnRemoveAllFlows(bool emergency);

// A zeroed context for a UDP (datagram layer and callout) or TCP (stream)
// flow of the family; null, logged, for another protocol or no memory.
FlowContext* TvnCreateFlow(uint32_t processId, uint64_t endpointHandle, uint8_t protocol, bool isV6);

// The flow-established layers: attaches a context to a UDP flow (or a TCP
// flow kept for stream inspection), lists it and reports EventFlowEstablished.
// With kTvnClassifyFlowLimit flows held, the least recently active one is
// removed first ("398:g_TvnFlowListSize is too big").
void TvnCalloutFlowEstablished(const FWPS_INCOMING_VALUES* inFixedValues,
                               const FWPS_INCOMING_METADATA_VALUES* inMetaValues);

// Whether message (the DNS message after the headers) has the shape of a
// query: at least a header, one question, for outbound no answers or
// authority records, a name that ends (zero byte) before the message's last
// two bytes, and with addressQueriesOnly a QTYPE whose low byte is 1 or 28.
// Reads only the header and the name.
bool TvnIsDnsQueryShape(const uint8_t* message, uint32_t length, bool outbound, bool addressQueriesOnly);

// A datagram of a flow with a context (UDP, remote port 53): reported as
// EventUdpDatagram when it qualifies, and absorbed when outbound with the
// absorb flag. The program's own, injected ones (unless interceptOthers)
// and malformed ones pass unreported.
void TvnClassifyDatagram(const FWPS_INCOMING_VALUES* inFixedValues, const FWPS_INCOMING_METADATA_VALUES* inMetaValues,
                         NET_BUFFER_LIST* netBufferList, FlowContext* flowContext, FWPS_CLASSIFY_OUT0* classifyOut,
                         const DriverConfig& config);

// The InjectUdp request, in this order: STATUS_SERVER_DISABLED (not
// started), STATUS_INVALID_BUFFER_SIZE (input shorter than the header), a
// status of WdfRequestRetrieveInputBuffer, STATUS_INVALID_PARAMETER_1
// (headerSize), STATUS_INVALID_PARAMETER_2 (packetLength not the bytes
// after the header, packetLength 0, addressFamily not 2 or 23, a packet
// shorter than its IP and UDP headers or of the other IP version), then
// the injection's own status.
NTSTATUS TvnIoInjectUdp(WDFREQUEST request, size_t inputLength);
// Copies the packet and hands it to the transport injection: as received
// (the whole packet) or as sent (from its UDP header on, to the IP
// header's destination). STATUS_NO_MEMORY, or the platform's status; on
// failure nothing stays allocated. packet holds header->packetLength bytes
// that passed TvnIoInjectUdp's checks.
NTSTATUS TvnInjectDatagram(const InjectUdpHeader* header, const uint8_t* packet);
// The injection's completion: frees the list, its MDL and the "Iudp" block.
void TvnInjectDatagramComplete(void* context, NET_BUFFER_LIST* netBufferList, bool dispatchLevel);
