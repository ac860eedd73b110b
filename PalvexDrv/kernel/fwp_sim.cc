// The filtering platform of the simulated backend: the session's objects,
// runtime callouts, flow contexts, injection handles and injections, and
// the delivery of test packets to the callouts' classify functions. The
// simulator's lock is never held while the driver runs.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "PalvexDrv/kernel/fwp.h"
#include "PalvexDrv/kernel/fwp_classify.h"
#include "PalvexDrv/kernel/kernel_sim.h"
#include "PalvexDrv/kernel/net_buffer.h"
#include "PalvexDrv/kernel/runtime_callouts.h"
#include "PalvexDrv/kernel/sim_internal.h"

namespace {

using ksim::TakeFailure;

struct SDeferredDelete {
  FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 fn;
  uint16_t layerId;
  uint32_t calloutId;
  uint64_t context;
};

struct SPendingInjection {
  ksim::SInjection record;
  NET_BUFFER_LIST* list = nullptr;
  FWPS_INJECT_COMPLETE0 completion = nullptr;
  void* context = nullptr;
};

using FlowKey = std::tuple<uint64_t, uint16_t, uint32_t>;  // flow, layer, callout id

struct SFwp {
  std::mutex mutex;  // everything below
  HANDLE session = nullptr;
  ksim::SFilteringInfo objects;  // session, providers, sublayers, callouts, filters
  CRuntimeCallouts runtime;
  uint64_t nextFilterId = 1;
  std::map<FlowKey, uint64_t> contexts;
  std::set<uint64_t> knownFlows;
  std::map<uint64_t, unsigned> classifying;  // flow -> classifications running
  std::map<uint64_t, std::vector<SDeferredDelete>> deferred;
  std::vector<std::pair<HANDLE, FWPS_INJECTION_TYPE>> injectionHandles;
  std::vector<std::pair<HANDLE, GUID>> redirectHandles;
  uintptr_t nextHandle = 0x1000;
  std::vector<SPendingInjection> injections;
  std::map<uint64_t, ksim::SClassifyHandle> classifyHandles;
  uint64_t nextClassifyHandle = 0x5000;
  FWPS_CONNECTION_REDIRECT_STATE redirectState = FWPS_CONNECTION_NOT_REDIRECTED;
};

SFwp& Fwp() {
  static SFwp fwp;
  return fwp;
}

HANDLE NewHandle() { return reinterpret_cast<HANDLE>(Fwp().nextHandle++); }

template <typename T, typename Key>
bool Contains(const std::vector<T>& items, const Key& key) {
  return std::any_of(items.begin(), items.end(), [&](const T& item) { return item.key == key; });
}

std::optional<GUID> Optional(const GUID* key) { return key ? std::optional<GUID>(*key) : std::nullopt; }

// The data bytes of a list's first net buffer.
std::vector<uint8_t> ListBytes(NET_BUFFER_LIST* list) {
  std::vector<uint8_t> bytes;
  if (!NetBufferListBytes(list, &bytes)) ksim::Fatal("injection: the list's MDLs hold fewer bytes than its data length");
  return bytes;
}

bool IsLiveInjectionHandle(HANDLE handle, FWPS_INJECTION_TYPE type) {
  for (const auto& [live, liveType] : Fwp().injectionHandles)
    if (live == handle) return liveType == type;
  return false;
}

void RunDeletes(const std::vector<SDeferredDelete>& deletes) {
  for (const SDeferredDelete& d : deletes) d.fn(d.layerId, d.calloutId, d.context);
}

// Under the lock: takes the context out and returns its delete, or queues
// it behind a running classification of the flow.
std::optional<SDeferredDelete> TakeContext(std::map<FlowKey, uint64_t>::iterator it) {
  auto [flow, layer, calloutId] = it->first;
  SDeferredDelete d{nullptr, layer, calloutId, it->second};
  if (const SRuntimeCallout* callout = Fwp().runtime.ById(calloutId)) d.fn = callout->callout.flowDeleteFn;
  Fwp().contexts.erase(it);
  if (!d.fn) return std::nullopt;
  if (Fwp().classifying[flow] > 0) {
    Fwp().deferred[flow].push_back(d);
    return std::nullopt;
  }
  return d;
}

NTSTATUS Inject(ksim::SInjection record, HANDLE handle, FWPS_INJECTION_TYPE type, NET_BUFFER_LIST* list,
                FWPS_INJECT_COMPLETE0 completion, void* context, const char* function) {
  if (auto failure = TakeFailure(function)) return *failure;
  record.handle = handle;
  record.bytes = ListBytes(list);
  std::lock_guard lock(Fwp().mutex);
  if (!IsLiveInjectionHandle(handle, type)) return STATUS_FWP_INVALID_PARAMETER;
  if (!completion) ksim::Fatal(std::string(function) + ": no completion function");
  Fwp().injections.push_back({std::move(record), list, completion, context});
  return STATUS_SUCCESS;
}

// ---- Building a classification ------------------------------------------------

uint32_t IpHeaderSize(const std::vector<uint8_t>& packet, bool v6) {
  if (v6) return 40;
  if (packet.empty()) return 20;
  return (packet[0] & 0x0F) * 4u;
}

bool IsAle(uint16_t layer) { return !FwpsLayerIsDatagram(layer) && !FwpsLayerIsStream(layer); }

// What one classification hands the driver, kept alive for the call.
struct SClassification {
  FWPS_INCOMING_VALUES values;
  FWPS_INCOMING_METADATA_VALUES metadata;
  SIncomingAddresses addresses;
  FWP_BYTE_BLOB appIdBlob{}, sidBlob{};
  std::vector<uint8_t> appId;
  std::vector<uint8_t> memory;  // the list's bytes
  MDL mdls[2];
  NET_BUFFER buffer;
  NET_BUFFER_LIST list;
  ksim::SNblInfo info;
  FWPS_STREAM_DATA0 streamData;
  FWPS_STREAM_CALLOUT_IO_PACKET0 ioPacket;
  void* layerData = nullptr;
};

void Build(const ksim::SPacket& p, SClassification& c) {
  uint16_t layer = p.layerId;
  bool v6 = FwpsLayerIsV6(layer);
  c.values.layerId = layer;
  SetIncomingEnds(c.values, c.addresses, v6, p.protocol, p.localAddress, p.localPort, p.remoteAddress, p.remotePort);
  if (!IsAle(layer) || FwpsLayerIsFlowEstablished(layer))
    SetIncomingValue(c.values, FWPS_FIELD_DIRECTION, FWP_UINT32, p.inbound ? FWP_DIRECTION_INBOUND : FWP_DIRECTION_OUTBOUND);
  SetIncomingValue(c.values, FWPS_FIELD_INTERFACE_INDEX, FWP_UINT32, p.interfaceIndex);
  SetIncomingValue(c.values, FWPS_FIELD_SUB_INTERFACE_INDEX, FWP_UINT32, p.subInterfaceIndex);
  if (IsAle(layer)) {
    for (char16_t ch : p.appId) {
      c.appId.push_back(static_cast<uint8_t>(ch));
      c.appId.push_back(static_cast<uint8_t>(ch >> 8));
    }
    c.appId.push_back(0);
    c.appId.push_back(0);
    SetIncomingBlob(c.values, FWPS_FIELD_ALE_APP_ID, FWP_BYTE_BLOB_TYPE, c.appIdBlob, c.appId.data(), c.appId.size());
    SetIncomingBlob(c.values, FWPS_FIELD_ALE_USER_ID, FWP_SID, c.sidBlob, p.userSid.data(), p.userSid.size());
  }

  FWPS_INCOMING_METADATA_VALUES& m = c.metadata;
  if (p.processId) m.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_ID, m.processId = *p.processId;
  if (p.flowHandle) m.currentMetadataValues |= FWPS_METADATA_FIELD_FLOW_HANDLE, m.flowHandle = *p.flowHandle;
  if (p.endpointHandle)
    m.currentMetadataValues |= FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE,
        m.transportEndpointHandle = *p.endpointHandle;
  if (p.compartmentId) m.currentMetadataValues |= FWPS_METADATA_FIELD_COMPARTMENT_ID, m.compartmentId = *p.compartmentId;
  if (p.redirectRecords)
    m.currentMetadataValues |= FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE, m.redirectRecords = p.redirectRecords;

  if (FwpsLayerIsDatagram(layer)) {
    uint32_t ipSize = IpHeaderSize(p.ipPacket, v6);
    uint32_t headers = ipSize + 8;
    if (p.headerSizes) {
      m.currentMetadataValues |= FWPS_METADATA_FIELD_IP_HEADER_SIZE | FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE;
      m.ipHeaderSize = ipSize;
      m.transportHeaderSize = 8;
    }
    uint32_t size = static_cast<uint32_t>(p.ipPacket.size());
    uint32_t start = 0, offset = 0;
    if (!p.inbound) start = std::min(ipSize, size);        // from the UDP header
    else if (p.noHeadroom) start = std::min(headers, size);  // the payload alone
    else offset = std::min(headers, size);                   // the headers as headroom
    c.memory.assign(p.ipPacket.begin() + start, p.ipPacket.end());
    c.buffer.DataOffset = offset;
    c.buffer.DataLength = static_cast<uint32_t>(c.memory.size()) - offset;
    c.mdls[0] = {nullptr, c.memory.data(), static_cast<uint32_t>(c.memory.size())};
    if (p.splitAt > 0 && p.splitAt < c.memory.size()) {
      c.mdls[0].ByteCount = p.splitAt;
      c.mdls[1] = {nullptr, c.memory.data() + p.splitAt, static_cast<uint32_t>(c.memory.size()) - p.splitAt};
      c.mdls[0].Next = &c.mdls[1];
    }
    c.buffer.MdlChain = &c.mdls[0];
    c.list.FirstNetBuffer = &c.buffer;
    c.list.BackendReserved = &c.info;
    c.layerData = &c.list;
  } else if (FwpsLayerIsStream(layer) && !p.noStreamPacket) {
    c.memory = p.streamBytes;
    c.mdls[0] = {nullptr, c.memory.data(), static_cast<uint32_t>(c.memory.size())};
    c.buffer.MdlChain = &c.mdls[0];
    c.buffer.DataLength = static_cast<uint32_t>(c.memory.size());
    c.list.FirstNetBuffer = &c.buffer;
    c.list.BackendReserved = &c.info;
    c.streamData.flags = p.streamFlags;
    c.streamData.netBufferListChain = c.memory.empty() ? nullptr : &c.list;
    c.streamData.dataLength = c.memory.size();
    c.ioPacket.streamData = p.noStreamData ? nullptr : &c.streamData;
    c.layerData = &c.ioPacket;
  }
}

}  // namespace

// ---- Management ---------------------------------------------------------------

NTSTATUS FwpmEngineOpen0(const char16_t* serverName, uint32_t authnService, void*, const FWPM_SESSION0* session,
                         HANDLE* engineHandle) {
  if (auto failure = TakeFailure("FwpmEngineOpen0")) return *failure;
  if (serverName) return STATUS_FWP_INVALID_PARAMETER;
  std::lock_guard lock(Fwp().mutex);
  if (Fwp().session) ksim::Fatal("FwpmEngineOpen0: the simulator keeps one session");
  Fwp().session = NewHandle();
  Fwp().objects.sessionOpen = true;
  Fwp().objects.authnService = authnService;
  Fwp().objects.sessionFlags = session ? session->flags : 0;
  *engineHandle = Fwp().session;
  return STATUS_SUCCESS;
}

NTSTATUS FwpmEngineClose0(HANDLE engineHandle) {
  if (auto failure = TakeFailure("FwpmEngineClose0")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  if (!engineHandle || engineHandle != Fwp().session) return STATUS_FWP_INVALID_PARAMETER;
  Fwp().session = nullptr;
  ksim::SFilteringInfo& o = Fwp().objects;
  o.sessionOpen = false;
  if (o.sessionFlags & FWPM_SESSION_FLAG_DYNAMIC) {
    o.providers.clear();
    o.subLayers.clear();
    o.callouts.clear();
    o.filters.clear();
  }
  return STATUS_SUCCESS;
}

NTSTATUS FwpmProviderAdd0(HANDLE engineHandle, const FWPM_PROVIDER0* provider, void*) {
  if (auto failure = TakeFailure("FwpmProviderAdd0")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  if (!engineHandle || engineHandle != Fwp().session) return STATUS_FWP_INVALID_PARAMETER;
  if (Contains(Fwp().objects.providers, provider->providerKey)) return STATUS_FWP_ALREADY_EXISTS;
  Fwp().objects.providers.push_back(
      {provider->providerKey, std::u16string(provider->displayData.name), provider->flags});
  return STATUS_SUCCESS;
}

NTSTATUS FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer, void*) {
  if (auto failure = TakeFailure("FwpmSubLayerAdd0")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  ksim::SFilteringInfo& o = Fwp().objects;
  if (!engineHandle || engineHandle != Fwp().session) return STATUS_FWP_INVALID_PARAMETER;
  if (Contains(o.subLayers, subLayer->subLayerKey)) return STATUS_FWP_ALREADY_EXISTS;
  if (subLayer->providerKey && !Contains(o.providers, *subLayer->providerKey)) return STATUS_FWP_NOT_FOUND;
  o.subLayers.push_back({subLayer->subLayerKey, std::u16string(subLayer->displayData.name),
                         std::u16string(subLayer->displayData.description), Optional(subLayer->providerKey),
                         subLayer->weight});
  return STATUS_SUCCESS;
}

NTSTATUS FwpmCalloutAdd0(HANDLE engineHandle, const FWPM_CALLOUT0* callout, void*, uint32_t* id) {
  if (auto failure = TakeFailure("FwpmCalloutAdd0")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  ksim::SFilteringInfo& o = Fwp().objects;
  if (!engineHandle || engineHandle != Fwp().session) return STATUS_FWP_INVALID_PARAMETER;
  if (Contains(o.callouts, callout->calloutKey)) return STATUS_FWP_ALREADY_EXISTS;
  if (callout->providerKey && !Contains(o.providers, *callout->providerKey)) return STATUS_FWP_NOT_FOUND;
  if (!FwpsLayerIdOfKey(callout->applicableLayer)) return STATUS_FWP_NOT_FOUND;
  uint32_t calloutId = Fwp().runtime.IdOf(callout->calloutKey);
  o.callouts.push_back({callout->calloutKey, std::u16string(callout->displayData.name),
                        Optional(callout->providerKey), callout->applicableLayer, calloutId});
  if (id) *id = calloutId;
  return STATUS_SUCCESS;
}

NTSTATUS FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, void*, uint64_t* id) {
  if (auto failure = TakeFailure("FwpmFilterAdd0")) return *failure;
  ksim::SFilterInfo info;
  SFilterAddNotice notice;
  {
    std::lock_guard lock(Fwp().mutex);
    ksim::SFilteringInfo& o = Fwp().objects;
    if (!engineHandle || engineHandle != Fwp().session) return STATUS_FWP_INVALID_PARAMETER;
    if (!FwpsLayerIdOfKey(filter->layerKey) || !Contains(o.subLayers, filter->subLayerKey)) return STATUS_FWP_NOT_FOUND;
    if (filter->providerKey && !Contains(o.providers, *filter->providerKey)) return STATUS_FWP_NOT_FOUND;
    info.id = Fwp().nextFilterId++;
    info.name = std::u16string(filter->displayData.name);
    info.providerKey = Optional(filter->providerKey);
    info.layerKey = filter->layerKey;
    info.subLayerKey = filter->subLayerKey;
    info.automaticWeight = filter->weight.type == FWP_EMPTY;
    info.action = filter->action.type;
    info.calloutKey = filter->action.calloutKey;
    for (uint32_t i = 0; i < filter->numFilterConditions; ++i) {
      const FWPM_FILTER_CONDITION0& c = filter->filterCondition[i];
      info.conditions.push_back({c.fieldKey, c.matchType, c.conditionValue.type, FilterConditionValue(c.conditionValue)});
    }
    if (info.action == FWP_ACTION_CALLOUT_TERMINATING) {
      auto callout = std::find_if(o.callouts.begin(), o.callouts.end(),
                                  [&](const ksim::SCalloutInfo& c) { return c.key == info.calloutKey; });
      if (callout == o.callouts.end() || !(callout->layerKey == info.layerKey)) return STATUS_FWP_NOT_FOUND;
      notice = FilterAddNotice(Fwp().runtime, info.calloutKey, info.id, filter->numFilterConditions);
    }
  }
  if (NTSTATUS status = NotifyFilterAdd(notice, filter->filterKey); !NT_SUCCESS(status)) return status;
  std::lock_guard lock(Fwp().mutex);
  const uint64_t added = info.id;
  Fwp().objects.filters.push_back(std::move(info));
  if (id) *id = added;
  return STATUS_SUCCESS;
}

// ---- Runtime callouts and flow contexts ---------------------------------------

NTSTATUS FwpsCalloutRegister1(DEVICE_OBJECT* deviceObject, const FWPS_CALLOUT1* callout, uint32_t* calloutId) {
  if (auto failure = TakeFailure("FwpsCalloutRegister1")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  return Fwp().runtime.Register(deviceObject, *callout, calloutId);
}

NTSTATUS FwpsCalloutUnregisterByKey0(const GUID* calloutKey) {
  if (auto failure = TakeFailure("FwpsCalloutUnregisterByKey0")) return *failure;
  std::vector<SDeferredDelete> deletes;
  {
    std::lock_guard lock(Fwp().mutex);
    uint32_t id = Fwp().runtime.IdOf(*calloutKey);
    if (!id) return STATUS_FWP_NOT_FOUND;
    for (auto c = Fwp().contexts.begin(); c != Fwp().contexts.end();) {
      auto next = std::next(c);
      if (std::get<2>(c->first) == id)
        if (auto d = TakeContext(c)) deletes.push_back(*d);
      c = next;
    }
    Fwp().runtime.Unregister(id);
  }
  RunDeletes(deletes);
  return STATUS_SUCCESS;
}

NTSTATUS FwpsFlowAssociateContext0(uint64_t flowId, uint16_t layerId, uint32_t calloutId, uint64_t flowContext) {
  if (auto failure = TakeFailure("FwpsFlowAssociateContext0")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  if (!Fwp().knownFlows.count(flowId)) return STATUS_NOT_FOUND;
  if (!Fwp().runtime.ById(calloutId)) return STATUS_FWP_NOT_FOUND;
  if (!Fwp().contexts.emplace(FlowKey{flowId, layerId, calloutId}, flowContext).second)
    return STATUS_FWP_ALREADY_EXISTS;
  return STATUS_SUCCESS;
}

NTSTATUS FwpsFlowRemoveContext0(uint64_t flowId, uint16_t layerId, uint32_t calloutId) {
  if (auto failure = TakeFailure("FwpsFlowRemoveContext0")) return *failure;
  std::optional<SDeferredDelete> d;
  {
    std::lock_guard lock(Fwp().mutex);
    auto it = Fwp().contexts.find(FlowKey{flowId, layerId, calloutId});
    if (it == Fwp().contexts.end()) return STATUS_NOT_FOUND;
    d = TakeContext(it);
  }
  if (d) RunDeletes({*d});
  return STATUS_SUCCESS;
}

// ---- Injection -------------------------------------------------------------------

NTSTATUS FwpsInjectionHandleCreate0(uint16_t addressFamily, uint32_t flags, HANDLE* injectionHandle) {
  if (auto failure = TakeFailure("FwpsInjectionHandleCreate0")) return *failure;
  if (addressFamily != kFwpFamilyUnspecified && addressFamily != kRecordFamilyInet &&
      addressFamily != kRecordFamilyInet6)
    return STATUS_FWP_INVALID_PARAMETER;
  std::lock_guard lock(Fwp().mutex);
  *injectionHandle = NewHandle();
  Fwp().injectionHandles.emplace_back(*injectionHandle, static_cast<FWPS_INJECTION_TYPE>(flags));
  return STATUS_SUCCESS;
}

NTSTATUS FwpsInjectionHandleDestroy0(HANDLE injectionHandle) {
  if (auto failure = TakeFailure("FwpsInjectionHandleDestroy0")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  auto& handles = Fwp().injectionHandles;
  auto it = std::find_if(handles.begin(), handles.end(), [&](const auto& h) { return h.first == injectionHandle; });
  if (it == handles.end()) return STATUS_FWP_INVALID_PARAMETER;
  for (const SPendingInjection& p : Fwp().injections)
    if (p.record.handle == injectionHandle && !p.record.completed)
      ksim::Fatal("FwpsInjectionHandleDestroy0: injections of the handle are still pending");
  handles.erase(it);
  return STATUS_SUCCESS;
}

FWPS_PACKET_INJECTION_STATE FwpsQueryPacketInjectionState0(HANDLE injectionHandle,
                                                           const NET_BUFFER_LIST* netBufferList,
                                                           HANDLE* injectionContext) {
  if (injectionContext) *injectionContext = nullptr;
  const auto* info = static_cast<const ksim::SNblInfo*>(netBufferList->BackendReserved);
  if (!info || !info->injectedBy) return FWPS_PACKET_NOT_INJECTED;
  if (info->injectedBy != injectionHandle) return FWPS_PACKET_INJECTED_BY_OTHER;
  return info->injectedEarlier ? FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF : FWPS_PACKET_INJECTED_BY_SELF;
}

NTSTATUS FwpsInjectTransportSendAsync0(HANDLE injectionHandle, HANDLE, uint64_t endpointHandle, uint32_t,
                                       const FWPS_TRANSPORT_SEND_PARAMS1* sendArgs, uint16_t addressFamily,
                                       uint32_t compartmentId, NET_BUFFER_LIST* netBufferList,
                                       FWPS_INJECT_COMPLETE0 completionFn, void* completionContext) {
  ksim::SInjection record;
  record.kind = ksim::SInjection::Send;
  record.family = addressFamily;
  record.compartmentId = compartmentId;
  record.endpointHandle = endpointHandle;
  if (sendArgs) record.remote = sendArgs->remoteAddress;
  return Inject(std::move(record), injectionHandle, FWPS_INJECTION_TYPE_TRANSPORT, netBufferList, completionFn,
                completionContext, "FwpsInjectTransportSendAsync0");
}

NTSTATUS FwpsInjectTransportReceiveAsync0(HANDLE injectionHandle, HANDLE, void*, uint32_t, uint16_t addressFamily,
                                          uint32_t compartmentId, uint32_t interfaceIndex,
                                          uint32_t subInterfaceIndex, NET_BUFFER_LIST* netBufferList,
                                          FWPS_INJECT_COMPLETE0 completionFn, void* completionContext) {
  ksim::SInjection record;
  record.kind = ksim::SInjection::Receive;
  record.family = addressFamily;
  record.compartmentId = compartmentId;
  record.interfaceIndex = interfaceIndex;
  record.subInterfaceIndex = subInterfaceIndex;
  return Inject(std::move(record), injectionHandle, FWPS_INJECTION_TYPE_TRANSPORT, netBufferList, completionFn,
                completionContext, "FwpsInjectTransportReceiveAsync0");
}

NTSTATUS FwpsStreamInjectAsync0(HANDLE injectionHandle, HANDLE, uint32_t, uint64_t flowId, uint32_t calloutId,
                                uint16_t layerId, uint32_t streamFlags, NET_BUFFER_LIST* netBufferList, size_t,
                                FWPS_INJECT_COMPLETE0 completionFn, void* completionContext) {
  ksim::SInjection record;
  record.kind = ksim::SInjection::Stream;
  record.flowId = flowId;
  record.calloutId = calloutId;
  record.layerId = layerId;
  record.streamFlags = streamFlags;
  return Inject(std::move(record), injectionHandle, FWPS_INJECTION_TYPE_STREAM, netBufferList, completionFn,
                completionContext, "FwpsStreamInjectAsync0");
}

void FwpsCopyStreamDataToBuffer0(const FWPS_STREAM_DATA0* streamData, void* buffer, size_t bytesToCopy,
                                 size_t* bytesCopied) {
  size_t want = std::min(bytesToCopy, streamData->dataLength);
  if (TakeFailure("FwpsCopyStreamDataToBuffer0")) want /= 2;  // a short copy
  std::vector<uint8_t> bytes = ListBytes(streamData->netBufferListChain);
  want = std::min(want, bytes.size());
  if (want) std::memcpy(buffer, bytes.data(), want);
  *bytesCopied = want;
}

// ---- Pended classifications and redirection -----------------------------------

NTSTATUS FwpsRedirectHandleCreate0(const GUID* providerGuid, uint32_t, HANDLE* redirectHandle) {
  if (auto failure = TakeFailure("FwpsRedirectHandleCreate0")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  *redirectHandle = NewHandle();
  Fwp().redirectHandles.emplace_back(*redirectHandle, *providerGuid);
  return STATUS_SUCCESS;
}

void FwpsRedirectHandleDestroy0(HANDLE redirectHandle) {
  std::lock_guard lock(Fwp().mutex);
  auto& handles = Fwp().redirectHandles;
  auto it = std::find_if(handles.begin(), handles.end(), [&](const auto& h) { return h.first == redirectHandle; });
  if (it == handles.end()) ksim::Fatal("FwpsRedirectHandleDestroy0: not a live redirect handle");
  handles.erase(it);
}

FWPS_CONNECTION_REDIRECT_STATE FwpsQueryConnectionRedirectState0(HANDLE, HANDLE, void** redirectContext) {
  if (redirectContext) *redirectContext = nullptr;
  std::lock_guard lock(Fwp().mutex);
  return Fwp().redirectState;
}

NTSTATUS FwpsAcquireClassifyHandle0(const void*, uint32_t, uint64_t* classifyHandle) {
  if (auto failure = TakeFailure("FwpsAcquireClassifyHandle0")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  *classifyHandle = Fwp().nextClassifyHandle++;
  Fwp().classifyHandles[*classifyHandle] = {};
  return STATUS_SUCCESS;
}

namespace {

ksim::SClassifyHandle& LiveClassifyHandle(uint64_t classifyHandle, const char* function) {
  auto it = Fwp().classifyHandles.find(classifyHandle);
  if (it == Fwp().classifyHandles.end() || it->second.released)
    ksim::Fatal(std::string(function) + ": not a live classify handle");
  return it->second;
}

}  // namespace

void FwpsReleaseClassifyHandle0(uint64_t classifyHandle) {
  std::lock_guard lock(Fwp().mutex);
  LiveClassifyHandle(classifyHandle, "FwpsReleaseClassifyHandle0").released = true;
}

NTSTATUS FwpsPendClassify0(uint64_t classifyHandle, uint64_t, uint32_t, FWPS_CLASSIFY_OUT0*) {
  if (auto failure = TakeFailure("FwpsPendClassify0")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  LiveClassifyHandle(classifyHandle, "FwpsPendClassify0").pended = true;
  return STATUS_SUCCESS;
}

void FwpsCompleteClassify0(uint64_t classifyHandle, uint32_t, const FWPS_CLASSIFY_OUT0* classifyOut) {
  std::lock_guard lock(Fwp().mutex);
  ksim::SClassifyHandle& h = LiveClassifyHandle(classifyHandle, "FwpsCompleteClassify0");
  if (!h.pended) ksim::Fatal("FwpsCompleteClassify0: the classification was not pended");
  h.completed = true;
  h.completedOut = *classifyOut;
}

NTSTATUS FwpsAcquireWritableLayerDataPointer0(uint64_t classifyHandle, uint64_t, uint32_t, void** writableLayerData,
                                              FWPS_CLASSIFY_OUT0*) {
  if (auto failure = TakeFailure("FwpsAcquireWritableLayerDataPointer0")) return *failure;
  std::lock_guard lock(Fwp().mutex);
  *writableLayerData = &LiveClassifyHandle(classifyHandle, "FwpsAcquireWritableLayerDataPointer0").request;
  return STATUS_SUCCESS;
}

void FwpsApplyModifiedLayerData0(uint64_t classifyHandle, void*, uint32_t) {
  std::lock_guard lock(Fwp().mutex);
  LiveClassifyHandle(classifyHandle, "FwpsApplyModifiedLayerData0").applied = true;
}

// ---- Test side ---------------------------------------------------------------------

namespace ksim {

SFilteringInfo Filtering() {
  SNdisCounts ndis = NdisCounts();
  std::lock_guard lock(Fwp().mutex);
  SFilteringInfo info = Fwp().objects;
  for (const SRuntimeCallout& r : Fwp().runtime.All())
    info.registered.push_back({r.callout.calloutKey, r.id, r.callout.flags, r.callout.classifyFn != nullptr,
                               r.callout.notifyFn != nullptr, r.callout.flowDeleteFn != nullptr});
  for (const auto& [handle, type] : Fwp().injectionHandles) info.injectionHandles.push_back(type);
  for (const auto& [handle, provider] : Fwp().redirectHandles) info.redirectHandles.push_back(provider);
  info.genericObjects = ndis.genericObjects;
  info.netBufferListPools = ndis.pools;
  info.netBufferLists = ndis.netBufferLists;
  info.mdls = ndis.mdls;
  info.flowContexts = static_cast<unsigned>(Fwp().contexts.size());
  for (const auto& [handle, state] : Fwp().classifyHandles) info.classifyHandles += state.released ? 0 : 1;
  return info;
}

SVerdict Classify(const SPacket& packet) {
  auto c = std::make_unique<SClassification>();
  Build(packet, *c);
  std::vector<SCalloutCall> calls;
  {
    std::lock_guard lock(Fwp().mutex);
    if (packet.injectedBy != EInjectedBy::None) {
      HANDLE transport = nullptr;
      for (const auto& [handle, type] : Fwp().injectionHandles)
        if (type == FWPS_INJECTION_TYPE_TRANSPORT && !transport) transport = handle;
      c->info.injectedBy = packet.injectedBy == EInjectedBy::Other ? reinterpret_cast<HANDLE>(~uintptr_t{0}) : transport;
      c->info.injectedEarlier = packet.injectedBy == EInjectedBy::DriverEarlier;
    }
    GUID layerKey = FwpmLayerKey(static_cast<FWPS_LAYER_ID>(packet.layerId));
    for (const SFilterInfo& filter : Fwp().objects.filters) {
      if (!(filter.layerKey == layerKey) || filter.action != FWP_ACTION_CALLOUT_TERMINATING) continue;
      if (!FilterConditionsMatch(filter.conditions, packet.protocol, packet.remotePort)) continue;
      AddCalloutCall(Fwp().runtime, filter.calloutKey, filter.id, [&](uint32_t calloutId) -> uint64_t {
        if (!packet.flowHandle) return 0;
        auto it = Fwp().contexts.find(FlowKey{*packet.flowHandle, packet.layerId, calloutId});
        return it != Fwp().contexts.end() ? it->second : 0;
      }, calls);
    }
    if (packet.flowHandle) {
      Fwp().knownFlows.insert(*packet.flowHandle);
      ++Fwp().classifying[*packet.flowHandle];
    }
  }

  const SCalloutsVerdict run = RunCalloutCalls(calls, &c->values, &c->metadata, c->layerData, c.get(),
                                               packet.writeRight ? FWPS_RIGHT_ACTION_WRITE : 0);
  SVerdict verdict;
  verdict.calls = run.calls;
  verdict.action = run.action;
  verdict.rights = run.rights;
  verdict.flags = run.flags;
  verdict.streamAction = c->ioPacket.streamAction;
  verdict.countBytesEnforced = c->ioPacket.countBytesEnforced;
  verdict.dataOffset = c->buffer.DataOffset;
  verdict.dataLength = c->buffer.DataLength;

  std::vector<SDeferredDelete> deletes;
  if (packet.flowHandle) {
    std::lock_guard lock(Fwp().mutex);
    if (--Fwp().classifying[*packet.flowHandle] == 0) {
      Fwp().classifying.erase(*packet.flowHandle);
      auto it = Fwp().deferred.find(*packet.flowHandle);
      if (it != Fwp().deferred.end()) {
        deletes = std::move(it->second);
        Fwp().deferred.erase(it);
      }
    }
  }
  RunDeletes(deletes);
  return verdict;
}

void EndFlow(uint64_t flowHandle) {
  std::vector<SDeferredDelete> deletes;
  {
    std::lock_guard lock(Fwp().mutex);
    for (auto c = Fwp().contexts.begin(); c != Fwp().contexts.end();) {
      auto next = std::next(c);
      if (std::get<0>(c->first) == flowHandle)
        if (auto d = TakeContext(c)) deletes.push_back(*d);
      c = next;
    }
    Fwp().knownFlows.erase(flowHandle);
  }
  RunDeletes(deletes);
}

std::vector<std::pair<uint32_t, uint64_t>> FlowContexts(uint64_t flowHandle) {
  std::lock_guard lock(Fwp().mutex);
  std::vector<std::pair<uint32_t, uint64_t>> result;
  for (const auto& [key, context] : Fwp().contexts)
    if (std::get<0>(key) == flowHandle) result.emplace_back(std::get<2>(key), context);
  return result;
}

std::vector<SInjection> Injections() {
  std::lock_guard lock(Fwp().mutex);
  std::vector<SInjection> result;
  for (const SPendingInjection& p : Fwp().injections) result.push_back(p.record);
  return result;
}

void CompleteInjection(size_t index, NTSTATUS status) {
  SPendingInjection injection;
  {
    std::lock_guard lock(Fwp().mutex);
    if (index >= Fwp().injections.size()) Fatal("CompleteInjection: no such injection");
    SPendingInjection& p = Fwp().injections[index];
    if (p.record.completed) Fatal("CompleteInjection: already completed");
    p.record.completed = true;
    injection = p;
  }
  if (injection.list) injection.list->Status = status;
  injection.completion(injection.context, injection.list, false);
}

void CompleteInjections() {
  for (size_t i = 0;; ++i) {
    {
      std::lock_guard lock(Fwp().mutex);
      if (i >= Fwp().injections.size()) return;
      if (Fwp().injections[i].record.completed) continue;
    }
    CompleteInjection(i);
  }
}

void ClearInjections() {
  std::lock_guard lock(Fwp().mutex);
  for (const SPendingInjection& p : Fwp().injections)
    if (!p.record.completed) Fatal("ClearInjections: an injection is still pending");
  Fwp().injections.clear();
}

SVerdict ClassifyInjected(size_t index, SPacket packet) {
  SInjection record;
  {
    std::lock_guard lock(Fwp().mutex);
    if (index >= Fwp().injections.size()) Fatal("ClassifyInjected: no such injection");
    record = Fwp().injections[index].record;
  }
  packet.ipPacket = record.bytes;
  if (record.kind == SInjection::Send) {
    // A send injection starts at its UDP header; the platform adds the IP header.
    std::vector<uint8_t> header(FwpsLayerIsV6(packet.layerId) ? 40 : 20, 0);
    header[0] = FwpsLayerIsV6(packet.layerId) ? 0x60 : 0x45;
    packet.ipPacket.insert(packet.ipPacket.begin(), header.begin(), header.end());
  }
  packet.injectedBy = EInjectedBy::Driver;
  return Classify(packet);
}

std::map<uint64_t, SClassifyHandle> ClassifyHandles() {
  std::lock_guard lock(Fwp().mutex);
  return Fwp().classifyHandles;
}

void SetRedirectState(FWPS_CONNECTION_REDIRECT_STATE state) {
  std::lock_guard lock(Fwp().mutex);
  Fwp().redirectState = state;
}

void CheckFilteringReleased() {
  SFilteringInfo info = Filtering();
  std::string left;
  if (info.sessionOpen) left += " session";
  if (!info.registered.empty()) left += " callouts";
  if (!info.injectionHandles.empty()) left += " injection-handles";
  if (!info.redirectHandles.empty()) left += " redirect-handles";
  if (info.genericObjects) left += " generic-objects";
  if (info.netBufferListPools) left += " net-buffer-list-pools";
  if (info.netBufferLists) left += " net-buffer-lists";
  if (info.mdls) left += " mdls";
  if (info.flowContexts) left += " flow-contexts";
  if (info.classifyHandles) left += " classify-handles";
  {
    std::lock_guard lock(Fwp().mutex);
    for (const SPendingInjection& p : Fwp().injections)
      if (!p.record.completed) {
        left += " pending-injections";
        break;
      }
  }
  if (!left.empty()) Fatal("driver gone with filtering objects left:" + left);
  std::lock_guard lock(Fwp().mutex);
  Fwp().injections.clear();
  Fwp().classifyHandles.clear();
  Fwp().knownFlows.clear();
  Fwp().objects = {};
  Fwp().redirectState = FWPS_CONNECTION_NOT_REDIRECTED;
}

}  // namespace ksim
