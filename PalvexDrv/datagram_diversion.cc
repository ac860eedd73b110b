#include "PalvexDrv/datagram_diversion.h"

#include <cstring>

#include "PalvexDrv/callout_classify.h"
#include "PalvexDrv/connect_redirection.h"
#include "PalvexDrv/create_tvn_event.h"
#include "PalvexDrv/device_control.h"
#include "PalvexDrv/engine_state.h"
#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/filter_registration.h"
#include "PalvexDrv/kernel/ke.h"
#include "PalvexDrv/kernel/pool.h"
#include "PalvexDrv/layer_values.h"
#include "PalvexDrv/pool_tags.h"
#include "PalvexDrv/tvn_list.h"

namespace {

constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
constexpr uint32_t kUdpHeaderSize = 8;
constexpr uint32_t kIpv6HeaderSize = 40;

// g_TvnFlowListLock guards the list and its count; never held with
// another spin lock. The list runs from the least to the most recently
// active flow.
KSPIN_LOCK g_TvnFlowListLock;
TvnList<FlowContext> g_TvnFlowList;

// Under the lock.
void UnlinkLocked(FlowContext* context) {
  g_TvnFlowList.Unlink(context);
  context->inList = 0;
}

void Append(FlowContext* context) {
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnFlowListLock, &lock);
  g_TvnFlowList.Append(context);
  context->inList = 1;
  KeReleaseInStackQueuedSpinLock(&lock);
}

struct SFlowIds {
  uint64_t flowHandle;
  uint16_t layerId;
  uint32_t calloutId;
};

// Copied under the lock: once unlisted, a concurrent flow delete may free
// the context at any moment.
bool TakeFirst(SFlowIds* ids) {
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnFlowListLock, &lock);
  FlowContext* context = g_TvnFlowList.head;
  if (context) {
    *ids = {context->flowHandle, context->layerId, context->calloutId};
    UnlinkLocked(context);
  }
  KeReleaseInStackQueuedSpinLock(&lock);
  return context != nullptr;
}

uint16_t ReadU16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

// The IP header's size when packet is a plausible IP packet of family
// carrying at least a UDP header; 0 otherwise.
uint32_t IpHeaderSize(const uint8_t* packet, uint32_t length, uint16_t family) {
  if (length == 0) return 0;
  uint8_t version = packet[0] >> 4;
  uint32_t size = 0;
  if (family == kRecordFamilyInet && version == 4) size = (packet[0] & 0x0F) * 4u;
  else if (family == kRecordFamilyInet6 && version == 6) size = kIpv6HeaderSize;
  if (size < 20 || length < size + kUdpHeaderSize) return 0;
  return size;
}

void FreeInjection(NET_BUFFER_LIST* list, MDL* mdl, void* block) {
  if (list) FwpsFreeNetBufferList0(list);
  if (mdl) IoFreeMdl(mdl);
  ExFreePoolWithTag(block, kTvnTagInjectUdp);
}

}  // namespace

void TvnFlowListInitialize() {
  KeInitializeSpinLock(&g_TvnFlowListLock);
  g_TvnFlowList.Clear();
}

uint32_t TvnFlowCount() { return g_TvnFlowList.size.load(); }

bool TvnFlowListUnlink(FlowContext* context) {
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnFlowListLock, &lock);
  bool listed = context->inList != 0;
  if (listed) UnlinkLocked(context);
  KeReleaseInStackQueuedSpinLock(&lock);
  return listed;
}

void TvnFlowTouch(FlowContext* context) {
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnFlowListLock, &lock);
  if (context->inList && g_TvnFlowList.tail != context) {
    g_TvnFlowList.Unlink(context);
    g_TvnFlowList.Append(context);
  }
  KeReleaseInStackQueuedSpinLock(&lock);
}

bool TvnRemoveLeastActiveFlow() {
  SFlowIds ids;
  if (!TakeFirst(&ids)) return false;
  NTSTATUS status = FwpsFlowRemoveContext0(ids.flowHandle, ids.layerId, ids.calloutId);
  if (!NT_SUCCESS(status)) TvnLogEvent("156:FwpsFlowRemoveContext0 failed", status, ids.flowHandle, false);
  return true;
}

NTSTATUS TvnRemoveAllFlows(bool emergency) {
  NTSTATUS result = STATUS_SUCCESS;
  SFlowIds ids;
  while (TakeFirst(&ids)) {
    auto [flowHandle, layerId, calloutId] = ids;
    if (emergency && TvnIsStreamLayer(layerId))
      InjectStreamData(flowHandle, calloutId, layerId, FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT,
                       nullptr, 0);
    NTSTATUS status = FwpsFlowRemoveContext0(flowHandle, layerId, calloutId);
    if (!NT_SUCCESS(status)) {
      TvnLogEvent("156:FwpsFlowRemoveContext0 failed", status, flowHandle, false);
      if (NT_SUCCESS(result)) result = status;
    }
  }
  return result;
}

FlowContext* TvnCreateFlow(uint32_t processId, uint64_t endpointHandle, uint8_t protocol, bool isV6) {
  uint16_t layerId;
  uint32_t calloutId;
  if (protocol == kUdp) {
    layerId = isV6 ? FWPS_LAYER_DATAGRAM_DATA_V6 : FWPS_LAYER_DATAGRAM_DATA_V4;
    calloutId = (isV6 ? g_DatagramCalloutIdV6 : g_DatagramCalloutIdV4).load();
  } else if (protocol == kTcp) {
    layerId = isV6 ? FWPS_LAYER_STREAM_V6 : FWPS_LAYER_STREAM_V4;
    calloutId = (isV6 ? g_StreamCalloutIdV6 : g_StreamCalloutIdV4).load();
  } else {
    TvnLogEvent("38:TvnCreateFlow: unkown IP protocol", STATUS_UNSUCCESSFUL, protocol, false);
    return nullptr;
  }
  auto* context = static_cast<FlowContext*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FlowContext), kTvnTagFlow));
  if (!context) {
    TvnLogEvent("45:ExAllocatePoolWithTag failed", STATUS_NO_MEMORY, sizeof(FlowContext), false);
    return nullptr;
  }
  std::memset(context, 0, sizeof *context);
  context->layerId = layerId;
  context->calloutId = calloutId;
  context->processId = processId;
  context->endpointHandle = endpointHandle;
  return context;
}

void TvnCalloutFlowEstablished(const FWPS_INCOMING_VALUES* values, const FWPS_INCOMING_METADATA_VALUES* metadata) {
  if (!FWPS_IS_METADATA_FIELD_PRESENT(metadata, FWPS_METADATA_FIELD_FLOW_HANDLE)) {
    TvnLogEvent("193:CalloutFlow no FWPS_METADATA_FIELD_FLOW_HANDLE", STATUS_UNSUCCESSFUL, values->layerId, false);
    return;
  }
  if (!FWPS_IS_METADATA_FIELD_PRESENT(metadata, FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE)) {
    TvnLogEvent("199:CalloutFlow no FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE", STATUS_UNSUCCESSFUL,
                values->layerId, false);
    return;
  }
  uint8_t protocol = 0;
  if (!FixedValuesGetProtocol(values, &protocol)) return;
  uint64_t endpointHandle = metadata->transportEndpointHandle;
  if (protocol == kTcp) {
    if (!TvnTakeKeptPendingConnect(endpointHandle)) return;
  } else if (protocol != kUdp) {
    return;
  }
  uint32_t processId = static_cast<uint32_t>(metadata->processId);
  // At the limit the least recently active flow makes way: a full list must
  // not leave new flows, and their queries, undiverted.
  uint32_t flows = TvnFlowCount();
  if (flows >= kTvnClassifyFlowLimit) {
    TvnLogEvent("398:g_TvnFlowListSize is too big", STATUS_UNSUCCESSFUL, flows, false);
    TvnRemoveLeastActiveFlow();
  }
  FlowContext* context = TvnCreateFlow(processId, endpointHandle, protocol, TvnIsV6Layer(values->layerId));
  if (!context) return;
  // Set before the association, so a flow delete right after it reports the flow.
  context->flowHandle = metadata->flowHandle;
  NTSTATUS status = FwpsFlowAssociateContext0(metadata->flowHandle, context->layerId, context->calloutId,
                                              reinterpret_cast<uint64_t>(context));
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(context, kTvnTagFlow);
    TvnLogEvent("238:FwpsFlowAssociateContext0 failed", status, processId, false);
    return;
  }
  // The platform calls no flow delete for this flow while its
  // classification runs, so the context is still alive here.
  Append(context);
  if (!g_TvnStarted.load()) {
    // A stop ran since this classification began and may have missed the
    // context; whoever unlists it removes it from its flow.
    if (TvnFlowListUnlink(context))
      FwpsFlowRemoveContext0(metadata->flowHandle, context->layerId, context->calloutId);
    return;
  }
  DriverEvent* event = CreateTvnEvent(EventFlowEstablished, values, metadata, nullptr, nullptr, 0);
  if (event) TvnEventListAppend(event);
}

bool TvnIsDnsQueryShape(const uint8_t* message, uint32_t length, bool outbound, bool addressQueriesOnly) {
  constexpr uint32_t kHeader = 12;
  if (length < kHeader) return false;
  if (ReadU16(message + 4) != 1) return false;  // QDCOUNT
  if (outbound && (ReadU16(message + 6) != 0 || ReadU16(message + 8) != 0)) return false;  // ANCOUNT, NSCOUNT
  // The name's terminating zero must leave room for QTYPE's two bytes.
  if (length < kHeader + 2) return false;
  const void* end = std::memchr(message + kHeader, 0, length - 2 - kHeader);
  if (!end) return false;
  uint32_t zero = static_cast<uint32_t>(static_cast<const uint8_t*>(end) - message);
  if (!addressQueriesOnly) return true;
  uint8_t qtypeLow = message[zero + 2];
  return qtypeLow == 1 || qtypeLow == 28;
}

void TvnClassifyDatagram(const FWPS_INCOMING_VALUES* values, const FWPS_INCOMING_METADATA_VALUES* metadata,
                         NET_BUFFER_LIST* netBufferList, FlowContext* flowContext, FWPS_CLASSIFY_OUT0* classifyOut,
                         const DriverConfig& config) {
  if (flowContext->processId == config.serviceProcessId) return;
  if (!netBufferList) return;
  TvnFlowTouch(flowContext);
  switch (FwpsQueryPacketInjectionState0(g_InjectionTransportHandle, netBufferList, nullptr)) {
    case FWPS_PACKET_INJECTED_BY_SELF:
      return;
    case FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF:
      if (!g_TvnWarnedPreviouslyInjected.exchange(true))
        TvnLogEvent("163:FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF", STATUS_SUCCESS, values->layerId, false);
      return;
    case FWPS_PACKET_INJECTED_BY_OTHER:
      if (!g_TvnWarnedInjectedByOther.exchange(true))
        TvnLogEvent("173:FWPS_PACKET_INJECTED_BY_OTHER", STATUS_SUCCESS, values->layerId, false);
      if (!config.interceptOthers) return;
      break;
    default:
      break;
  }

  bool inbound = false;
  FixedValuesGetDirection(values, &inbound);
  uint32_t transportHeaderSize =
      FWPS_IS_METADATA_FIELD_PRESENT(metadata, FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE) ? metadata->transportHeaderSize : 0;
  uint32_t ipHeaderSize =
      FWPS_IS_METADATA_FIELD_PRESENT(metadata, FWPS_METADATA_FIELD_IP_HEADER_SIZE) ? metadata->ipHeaderSize : 0;

  NET_BUFFER* buffer = NET_BUFFER_LIST_FIRST_NB(netBufferList);
  if (!buffer) {
    TvnLogEvent("187:NET_BUFFER_LIST_FIRST_NB failed", STATUS_UNSUCCESSFUL, values->layerId, false);
    return;
  }
  // Inbound data starts after the headers; the copy starts at the IP header.
  uint32_t retreat = inbound ? ipHeaderSize + transportHeaderSize : 0;
  if (retreat) {
    NTSTATUS status = NdisRetreatNetBufferDataStart(buffer, retreat, 0, nullptr);
    if (!NT_SUCCESS(status)) {
      TvnLogEvent("196:NdisRetreatNetBufferDataStart failed", status, retreat, false);
      return;
    }
  }

  uint32_t length = NET_BUFFER_DATA_LENGTH(buffer);
  uint8_t stackCopy[kTvnDatagramStackCopy];
  uint8_t* storage = stackCopy;
  if (length > kTvnDatagramStackCopy) {
    storage = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, length, kTvnTagDatagramCopy));
    if (!storage) TvnLogEvent("211:ExAllocatePoolWithTag failed", STATUS_NO_MEMORY, length, false);
  }
  DriverEvent* event = nullptr;
  if (storage) {
    auto* data = static_cast<const uint8_t*>(NdisGetDataBuffer(buffer, length, storage, 1, 0));
    uint32_t headers = inbound ? ipHeaderSize + transportHeaderSize : transportHeaderSize;
    if (!data) {
      TvnLogEvent("217:NdisGetDataBuffer failed", STATUS_UNSUCCESSFUL, length, false);
    } else if (length > headers &&
               (!(config.datagramFlags & kDatagramFlagQueryShape) ||
                TvnIsDnsQueryShape(data + headers, length - headers, !inbound,
                                   (config.datagramFlags & kDatagramFlagAddressQueriesOnly) != 0))) {
      event = CreateTvnEvent(EventUdpDatagram, values, metadata, flowContext, data, length);
      if (!event) TvnLogEvent("236:CreateTvnEvent failed", STATUS_UNSUCCESSFUL, length, false);
    }
  }
  if (retreat) NdisAdvanceNetBufferDataStart(buffer, retreat, false, nullptr);
  if (storage && storage != stackCopy) ExFreePoolWithTag(storage, kTvnTagDatagramCopy);
  if (!event) return;

  DatagramContext& context = event->typeBlock.datagram;
  context.compartmentId =
      FWPS_IS_METADATA_FIELD_PRESENT(metadata, FWPS_METADATA_FIELD_COMPARTMENT_ID) ? metadata->compartmentId : 0;
  FixedValuesGetInterface(values, &context.interfaceIndex, &context.subInterfaceIndex);
  context.transportHeaderSize = transportHeaderSize;
  context.ipHeaderSize = inbound ? ipHeaderSize : 0;
  context.endpointHandle = event->endpointHandle;
  TvnEventListAppend(event);

  if (!inbound && (config.datagramFlags & kDatagramFlagAbsorb)) {
    classifyOut->actionType = FWP_ACTION_BLOCK;
    classifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    classifyOut->flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
  }
}

NTSTATUS TvnIoInjectUdp(WDFREQUEST request, size_t inputLength) {
  const uint8_t* input = nullptr;
  NTSTATUS status = TvnCheckInjectRequest(request, inputLength, kInjectUdpHeaderSize, &input);
  if (!NT_SUCCESS(status)) return status;
  InjectUdpHeader header;
  std::memcpy(&header, input, sizeof header);
  const uint8_t* packet = input + kInjectUdpHeaderSize;
  // Only lengths were checked so far: the packet must be what it claims.
  if (header.packetLength == 0 || IpHeaderSize(packet, header.packetLength, header.addressFamily) == 0)
    return STATUS_INVALID_PARAMETER_2;
  return TvnInjectDatagram(&header, packet);
}

NTSTATUS TvnInjectDatagram(const InjectUdpHeader* header, const uint8_t* packet) {
  bool receive = (header->receive & 0xFF) != 0;
  uint32_t ipHeaderSize = IpHeaderSize(packet, header->packetLength, header->addressFamily);
  // As received: the whole packet. As sent: from the UDP header on, to
  // where the IP header says, so it leaves as the datagram it was.
  uint32_t skip = receive ? 0 : ipHeaderSize;
  uint32_t length = header->packetLength - skip;
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, length, kTvnTagInjectUdp);
  if (!block) {
    TvnLogEvent("35:ExAllocatePoolWithTag failed", STATUS_NO_MEMORY, length, false);
    return STATUS_NO_MEMORY;
  }
  std::memcpy(block, packet + skip, length);
  MDL* mdl = IoAllocateMdl(block, length, false, false, nullptr);
  if (!mdl) {
    FreeInjection(nullptr, nullptr, block);
    return STATUS_NO_MEMORY;
  }
  MmBuildMdlForNonPagedPool(mdl);
  NET_BUFFER_LIST* list = nullptr;
  NTSTATUS status = FwpsAllocateNetBufferAndNetBufferList0(g_NblPool, 0, 0, mdl, 0, length, &list);
  if (!NT_SUCCESS(status)) {
    FreeInjection(nullptr, mdl, block);
    return status;
  }

  const DatagramContext& context = header->context;
  if (receive) {
    status = FwpsInjectTransportReceiveAsync0(g_InjectionTransportHandle, nullptr, nullptr, 0, header->addressFamily,
                                              context.compartmentId, context.interfaceIndex,
                                              context.subInterfaceIndex, list, TvnInjectDatagramComplete, block);
  } else {
    FWPS_TRANSPORT_SEND_PARAMS1 send;
    std::memset(&send.remoteAddress, 0, sizeof send.remoteAddress);
    send.remoteAddress.family = header->addressFamily;
    const uint8_t* udp = packet + ipHeaderSize;
    std::memcpy(&send.remoteAddress.port, udp + 2, 2);  // both in network order
    if (header->addressFamily == kRecordFamilyInet)
      std::memcpy(send.remoteAddress.ipv4, packet + 16, 4);
    else
      std::memcpy(send.remoteAddress.ipv6.address, packet + 24, 16);
    status = FwpsInjectTransportSendAsync0(g_InjectionTransportHandle, nullptr, context.endpointHandle, 0, &send,
                                           header->addressFamily, context.compartmentId, list,
                                           TvnInjectDatagramComplete, block);
  }
  if (!NT_SUCCESS(status)) {
    TvnLogEvent("88:FwpsInjectTransport(Receive/Send)Async0 failed", status, receive ? 1 : 0, false);
    FreeInjection(list, mdl, block);
  }
  return status;
}

void TvnInjectDatagramComplete(void* context, NET_BUFFER_LIST* netBufferList, bool) {
  MDL* mdl = NET_BUFFER_LIST_FIRST_NB(netBufferList)->MdlChain;
  FreeInjection(netBufferList, mdl, context);
}
