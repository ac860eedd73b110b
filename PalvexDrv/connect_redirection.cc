#include "PalvexDrv/connect_redirection.h"

#include <atomic>
#include <cstring>

#include "PalvexDrv/create_tvn_event.h"
#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/engine_state.h"
#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/filter_registration.h"
#include "PalvexDrv/kernel/ke.h"
#include "PalvexDrv/kernel/pool.h"
#include "PalvexDrv/pool_tags.h"
#include "PalvexDrv/tvn_list.h"

namespace {

// g_TvnPendingConnectListLock guards the list and its count; never held
// with another spin lock.
KSPIN_LOCK g_TvnPendingConnectListLock;
TvnList<PendingConnect> g_TvnPendingConnectList;
// Purges in a row that found abandoned connects; classify threads and the dispatcher.
std::atomic<uint32_t> g_TvnAbandonedRedirectCount{0};

constexpr uint32_t kVerdictRedirect = 0x2;
constexpr uint32_t kVerdictKeep = 0x4;

bool Matches(const PendingConnect* r, uint64_t classifyHandle, uint64_t endpointHandle, bool expiredOnly,
             uint64_t now) {
  if (!r->kept && classifyHandle != 0 && r->classifyHandle == classifyHandle) return true;
  if (r->kept && endpointHandle != 0 && r->endpointHandle == endpointHandle) return true;
  if (!expiredOnly) return false;
  uint64_t limit = r->kept ? kTvnKeptConnectExpiry : kTvnPendingConnectExpiry;
  return now > r->creationTime && now - r->creationTime > limit;
}

// Lets the connect go on and drops the classify handle.
void CompletePermit(PendingConnect* record) {
  record->classifyOut.actionType = FWP_ACTION_PERMIT;
  record->classifyOut.rights |= FWPS_RIGHT_ACTION_WRITE;
  FwpsCompleteClassify0(record->classifyHandle, 0, &record->classifyOut);
  FwpsReleaseClassifyHandle0(record->classifyHandle);
}

// Ends the inspection of a stream flow: no more segments, no context.
void EndInspection(FlowContext* flowContext, FWPS_STREAM_CALLOUT_IO_PACKET0* ioPacket) {
  ioPacket->streamAction = FWPS_STREAM_ACTION_ALLOW_CONNECTION;
  NTSTATUS status = FwpsFlowRemoveContext0(flowContext->flowHandle, flowContext->layerId, flowContext->calloutId);
  if (!NT_SUCCESS(status)) TvnLogEvent("255:FwpsFlowRemoveContext0 failed", status, flowContext->flowHandle, false);
}

bool LowerCase(uint8_t c) { return c >= 'a' && c <= 'z'; }

bool CharMatches(uint8_t mask, uint8_t data) {
  if (mask == '?') return true;
  if (mask == data) return true;
  return LowerCase(mask) && data == mask - ('a' - 'A');
}

}  // namespace

void TvnPendingConnectListInitialize() {
  KeInitializeSpinLock(&g_TvnPendingConnectListLock);
  g_TvnPendingConnectList.Clear();
  g_TvnAbandonedRedirectCount.store(0);
}

uint32_t TvnPendingConnectCount() { return g_TvnPendingConnectList.size.load(); }

PendingConnect* TvnCreatePendingConnect(uint64_t classifyHandle, uint16_t layerId, uint64_t filterId,
                                        const FWPS_CLASSIFY_OUT0* classifyOut, uint64_t endpointHandle) {
  auto* record = static_cast<PendingConnect*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PendingConnect), kTvnTagPendingConnect));
  if (!record) {
    TvnLogEvent("24:ExAllocatePoolWithTag failed", STATUS_NO_MEMORY, sizeof(PendingConnect), false);
    return nullptr;
  }
  std::memset(static_cast<void*>(record), 0, sizeof *record);
  record->classifyHandle = classifyHandle;
  record->layerId = layerId;
  record->filterId = filterId;
  record->classifyOut = *classifyOut;
  record->endpointHandle = endpointHandle;
  record->creationTime = KeQueryUnbiasedInterruptTime();
  return record;
}

void TvnFreePendingConnect(PendingConnect* record) { ExFreePoolWithTag(record, kTvnTagPendingConnect); }

void TvnInsertPendingConnect(PendingConnect* record) {
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnPendingConnectListLock, &lock);
  g_TvnPendingConnectList.Append(record);
  KeReleaseInStackQueuedSpinLock(&lock);
}

PendingConnect* TvnFindPendingConnect(uint64_t classifyHandle, uint64_t endpointHandle, bool first, bool expiredOnly) {
  uint64_t now = KeQueryUnbiasedInterruptTime();
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnPendingConnectListLock, &lock);
  PendingConnect* found = g_TvnPendingConnectList.head;
  if (!first)
    while (found && !Matches(found, classifyHandle, endpointHandle, expiredOnly, now)) found = found->next;
  if (found) g_TvnPendingConnectList.Unlink(found);
  KeReleaseInStackQueuedSpinLock(&lock);
  return found;
}

bool TvnTakeKeptPendingConnect(uint64_t endpointHandle) {
  PendingConnect* record = TvnFindPendingConnect(0, endpointHandle, false, false);
  if (!record) return false;
  TvnFreePendingConnect(record);
  return true;
}

void TvnPurgePendingConnects(bool all) {
  bool abandoned = false;
  while (PendingConnect* record = TvnFindPendingConnect(0, 0, all, !all)) {
    if (!record->kept) {
      CompletePermit(record);
      if (!all) {
        TvnLogEvent("107:Abandoned redirection request detected", STATUS_SUCCESS, record->classifyHandle, false);
        abandoned = true;
      }
    }
    TvnFreePendingConnect(record);
  }
  if (all) return;
  if (!abandoned) {
    g_TvnAbandonedRedirectCount.store(0);
    return;
  }
  if (g_TvnAbandonedRedirectCount.fetch_add(1) + 1 >= kTvnAbandonedPurgeLimit) {
    TvnLogEvent("124:Too many abandoned redirection requests detected. Engine emergency stop", STATUS_UNSUCCESSFUL,
                kTvnAbandonedPurgeLimit, false);
    g_TvnAbandonedRedirectCount.store(0);
    TvnStopEngine(true);
  }
}

void TvnClassifyConnectRedirect(const FWPS_INCOMING_VALUES* values, const FWPS_INCOMING_METADATA_VALUES* metadata,
                                const void* classifyContext, const FWPS_FILTER1* filter,
                                FWPS_CLASSIFY_OUT0* classifyOut, const DriverConfig&) {
  TvnPurgePendingConnects(false);
  if (!g_TvnStarted.load()) return;
  HANDLE records = FWPS_IS_METADATA_FIELD_PRESENT(metadata, FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE)
                       ? metadata->redirectRecords
                       : nullptr;
  FWPS_CONNECTION_REDIRECT_STATE state = FwpsQueryConnectionRedirectState0(records, g_RedirectHandle, nullptr);
  if (state == FWPS_CONNECTION_REDIRECTED_BY_SELF || state == FWPS_CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF) return;

  uint64_t classifyHandle = 0;
  NTSTATUS status = FwpsAcquireClassifyHandle0(classifyContext, 0, &classifyHandle);
  if (!NT_SUCCESS(status)) {
    TvnLogEvent("239:FwpsAcquireClassifyHandle0 failed", status, metadata->processId, false);
    return;
  }
  classifyOut->actionType = FWP_ACTION_BLOCK;
  classifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
  uint64_t endpointHandle =
      FWPS_IS_METADATA_FIELD_PRESENT(metadata, FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE)
          ? metadata->transportEndpointHandle
          : 0;
  uint64_t filterId = filter ? filter->filterId : 0;
  DriverEvent* event = CreateTvnEvent(EventConnectRedirect, values, metadata, nullptr, nullptr, 0);
  if (event) event->classifyHandle = classifyHandle;
  PendingConnect* record =
      event ? TvnCreatePendingConnect(classifyHandle, values->layerId, filterId, classifyOut, endpointHandle) : nullptr;
  if (record) {
    status = FwpsPendClassify0(classifyHandle, filterId, 0, classifyOut);
    if (NT_SUCCESS(status)) {
      TvnInsertPendingConnect(record);
      TvnEventListAppend(event);
      return;
    }
    TvnLogEvent("259:FwpsPendClassify0 failed", status, metadata->processId, false);
  }
  classifyOut->actionType = FWP_ACTION_PERMIT;
  classifyOut->rights |= FWPS_RIGHT_ACTION_WRITE;
  if (event) TvnFreeEvent(event);
  if (record) TvnFreePendingConnect(record);
  FwpsReleaseClassifyHandle0(classifyHandle);
}

NTSTATUS TvnCompleteRedirect(const DriverEvent* header) {
  PendingConnect* record = TvnFindPendingConnect(header->classifyHandle, 0, false, false);
  if (!record) return STATUS_NO_SUCH_ALIAS;
  g_TvnAbandonedRedirectCount.store(0);
  CTvnConfigRef config = TvnAcquireConfig();

  if (header->verdict & kVerdictRedirect) {
    void* layerData = nullptr;
    NTSTATUS status = FwpsAcquireWritableLayerDataPointer0(record->classifyHandle, record->filterId, 0, &layerData,
                                                           &record->classifyOut);
    if (!NT_SUCCESS(status)) {
      TvnLogEvent("158:FwpsAcquireWritableLayerDataPointer0 failed", status, record->classifyHandle, false);
    } else {
      auto* request = static_cast<FWPS_CONNECT_REQUEST0*>(layerData);
      if (request->localRedirectTargetPID == 0) {
        const SOCKADDR_INET& destination = header->destinationAddress;
        size_t size = destination.family == kRecordFamilyInet    ? 16
                      : destination.family == kRecordFamilyInet6 ? sizeof(SOCKADDR_INET)
                                                                 : 0;
        if (size == 0) {
          TvnLogEvent("176:Unsupported remote address family", STATUS_UNSUCCESSFUL, destination.family, false);
        } else {
          request->localRedirectTargetPID = config->serviceProcessId;
          request->localRedirectHandle = g_RedirectHandle;
          std::memcpy(request->remoteAddressAndPort, &destination, size);
        }
      }
      FwpsApplyModifiedLayerData0(record->classifyHandle, layerData, 0);
    }
  }
  bool keep = (header->verdict & kVerdictKeep) && (config->insertLength != 0 || config->keepPendingConnects != 0);
  // Completed before it is listed again: once listed, another thread may take it.
  CompletePermit(record);
  if (keep) {
    record->kept = 1;
    TvnInsertPendingConnect(record);
  } else {
    TvnFreePendingConnect(record);
  }
  return STATUS_SUCCESS;
}

bool TvnHostMaskMatches(const uint8_t* mask, size_t maskLength, const uint8_t* host, size_t hostLength) {
  // Greedy match with one backtrack point for the last "*": linear enough
  // for host names and never recursive.
  size_t m = 0, h = 0;
  size_t starMask = SIZE_MAX, starHost = 0;
  while (h < hostLength) {
    if (m < maskLength && mask[m] == '*') {
      starMask = m++;
      starHost = h;
    } else if (m < maskLength && CharMatches(mask[m], host[h])) {
      ++m;
      ++h;
    } else if (starMask != SIZE_MAX) {
      m = starMask + 1;
      h = ++starHost;
    } else {
      return false;
    }
  }
  while (m < maskLength && mask[m] == '*') ++m;
  return m == maskLength;
}

bool TvnStreamFirstLineMatches(const uint8_t* data, size_t length, const DriverConfig& config) {
  const void* lineFeed = std::memchr(data, '\n', length);
  if (!lineFeed) return false;
  size_t line = static_cast<const uint8_t*>(lineFeed) - data;
  size_t hostStart = 0;
  for (size_t i = 0; i < kStreamPrefixSize; ++i) {
    uint8_t p = config.streamPrefix[i];
    if (p == 0) continue;  // any byte
    if (i >= line || data[i] != p) return false;
    hostStart = i + 1;
  }
  const void* separator = std::memchr(data + hostStart, config.streamSeparator, line - hostStart);
  if (!separator) return false;
  size_t hostLength = static_cast<const uint8_t*>(separator) - (data + hostStart);
  const uint8_t* host = data + hostStart;

  const uint8_t* masks = config.hostMasks;
  size_t offset = 0;
  while (offset < kHostMasksSize && masks[offset] != 0) {
    const void* end = std::memchr(masks + offset, 0, kHostMasksSize - offset);
    size_t maskLength = end ? static_cast<const uint8_t*>(end) - (masks + offset) : kHostMasksSize - offset;
    if (TvnHostMaskMatches(masks + offset, maskLength, host, hostLength)) return true;
    offset += maskLength + 1;
  }
  return false;
}

bool TvnMatchStreamFirstLine(FlowContext* flowContext, const uint8_t* data, size_t length, const DriverConfig& config) {
  if (!TvnStreamFirstLineMatches(data, length, config)) return false;
  size_t line = static_cast<const uint8_t*>(std::memchr(data, '\n', length)) - data + 1;  // with its line feed
  uint32_t insertLength = config.insertLength <= kMaxInsertLength ? config.insertLength : kMaxInsertLength;
  size_t total = length + insertLength;
  auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, total, kTvnTagStreamInject));
  if (!block) {
    TvnLogEvent("71:AllocateStreamData failed", STATUS_NO_MEMORY, total, false);
    return false;
  }
  std::memcpy(block, data, line);
  std::memcpy(block + line, config.insertBytes, insertLength);
  std::memcpy(block + line + insertLength, data + line, length - line);
  NTSTATUS status = InjectStreamData(flowContext->flowHandle, flowContext->calloutId, flowContext->layerId,
                                     FWPS_STREAM_FLAG_SEND, block, total);
  if (!NT_SUCCESS(status)) {
    TvnLogEvent("81:InjectStreamData failed", status, flowContext->flowHandle, false);
    return false;
  }
  flowContext->bytesSent += insertLength;
  return true;
}

void TvnClassifyStream(const FWPS_INCOMING_VALUES* values, const FWPS_INCOMING_METADATA_VALUES* metadata,
                       FlowContext* flowContext, FWPS_STREAM_CALLOUT_IO_PACKET0* ioPacket,
                       FWPS_CLASSIFY_OUT0* classifyOut, const DriverConfig& config) {
  if (!ioPacket) {
    TvnLogEvent("137:pIoPacket is NULL", STATUS_UNSUCCESSFUL, values->layerId, false);
    return;
  }
  const FWPS_STREAM_DATA0* streamData = ioPacket->streamData;
  if (!streamData) {
    TvnLogEvent("144:streamData is NULL", STATUS_UNSUCCESSFUL, values->layerId, false);
    return;
  }
  classifyOut->actionType = FWP_ACTION_NONE;
  size_t length = streamData->dataLength;
  ioPacket->countBytesEnforced = length;
  if (streamData->flags & (FWPS_STREAM_FLAG_SEND_EXPEDITED | FWPS_STREAM_FLAG_RECEIVE_EXPEDITED)) {
    TvnLogEvent("156:FWPS_STREAM_FLAG_EXPEDITED is not supported", STATUS_UNSUCCESSFUL, streamData->flags, false);
    EndInspection(flowContext, ioPacket);
    return;
  }
  bool send = (streamData->flags & FWPS_STREAM_FLAG_SEND) != 0;
  bool nothingYet = flowContext->bytesSent == 0 && flowContext->bytesReceived == 0;
  if ((length == 0 && nothingYet) || (!send && flowContext->bytesSent == 0) ||
      (config.insertLength == 0 && config.keepPendingConnects == 0)) {
    EndInspection(flowContext, ioPacket);
    return;
  }

  bool endAfter = config.insertLength == 0;
  if (config.insertLength != 0 && send && length > 0) {
    auto* copy = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, length, kTvnTagStreamData));
    size_t copied = 0;
    if (!copy) {
      TvnLogEvent("188:ExAllocatePoolWithTag failed", STATUS_NO_MEMORY, length, false);
      endAfter = true;
    } else {
      FwpsCopyStreamDataToBuffer0(streamData, copy, length, &copied);
      if (copied != length) {
        TvnLogEvent("197:FwpsCopyStreamDataToBuffer0 failed", STATUS_UNSUCCESSFUL, copied, false);
        endAfter = true;
      } else {
        bool inserted = TvnMatchStreamFirstLine(flowContext, copy, length, config);
        DriverEvent* event = CreateTvnEvent(EventTcpStream, values, metadata, flowContext, copy,
                                            static_cast<uint32_t>(length));
        if (!event) {
          TvnLogEvent("213:CreateTvnEvent failed", STATUS_UNSUCCESSFUL, length, false);
        } else {
          event->verdict = inserted ? 2 : 1;
          TvnEventListAppend(event);
        }
        // The segment with the insertion went out instead of this one.
        if (inserted) {
          classifyOut->actionType = FWP_ACTION_BLOCK;
          classifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
        }
      }
      ExFreePoolWithTag(copy, kTvnTagStreamData);
    }
  }
  if (send) flowContext->bytesSent += length; else flowContext->bytesReceived += length;
  if (endAfter) EndInspection(flowContext, ioPacket);
}

NTSTATUS InjectStreamData(uint64_t flowHandle, uint32_t calloutId, uint16_t layerId, uint32_t streamFlags,
                          uint8_t* data, size_t length) {
  if (length == 0 && !(streamFlags & (FWPS_STREAM_FLAG_SEND_DISCONNECT | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT))) {
    TvnLogEvent("77:dataLength=0 but flags!=FWPS_STREAM_FLAG_*_DISCONNECT", STATUS_INVALID_PARAMETER, streamFlags,
                false);
    if (data) ExFreePoolWithTag(data, kTvnTagStreamInject);
    return STATUS_INVALID_PARAMETER;
  }
  MDL* mdl = nullptr;
  NET_BUFFER_LIST* list = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  if (data && length) {
    mdl = IoAllocateMdl(data, static_cast<uint32_t>(length), false, false, nullptr);
    if (!mdl) status = STATUS_NO_MEMORY;
    if (mdl) {
      MmBuildMdlForNonPagedPool(mdl);
      status = FwpsAllocateNetBufferAndNetBufferList0(g_NblPool, 0, 0, mdl, 0, length, &list);
    }
  }
  if (NT_SUCCESS(status)) {
    status = FwpsStreamInjectAsync0(g_InjectionStreamHandle, nullptr, 0, flowHandle, calloutId, layerId, streamFlags,
                                    list, length, TvnInjectStreamComplete, data);
    if (NT_SUCCESS(status)) return status;
    TvnLogEvent("107:FwpsStreamInjectAsync0 failed", status, flowHandle, false);
  }
  if (list) FwpsFreeNetBufferList0(list);
  if (mdl) IoFreeMdl(mdl);
  if (data) ExFreePoolWithTag(data, kTvnTagStreamInject);
  return status;
}

void TvnInjectStreamComplete(void* context, NET_BUFFER_LIST* netBufferList, bool) {
  if (netBufferList) {
    MDL* mdl = NET_BUFFER_LIST_FIRST_NB(netBufferList)->MdlChain;
    FwpsFreeNetBufferList0(netBufferList);
    IoFreeMdl(mdl);
  }
  if (context) ExFreePoolWithTag(context, kTvnTagStreamInject);
}
