#include "PalvexDrv/filter_registration.h"

#include <string>

#include "PalvexDrv/callout_classify.h"
#include "PalvexDrv/connect_redirection.h"
#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/engine_state.h"
#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/kernel/pool.h"
#include "PalvexDrv/kernel/trace.h"
#include "PalvexDrv/pool_tags.h"

HANDLE g_EngineHandle = nullptr;
HANDLE g_RedirectHandle = nullptr;
HANDLE g_InjectionTransportHandle = nullptr;
HANDLE g_InjectionStreamHandle = nullptr;
NDIS_HANDLE g_NdisGenericObject = nullptr;
NDIS_HANDLE g_NblPool = nullptr;
std::atomic<uint32_t> g_DatagramCalloutIdV4{0};
std::atomic<uint32_t> g_DatagramCalloutIdV6{0};
std::atomic<uint32_t> g_StreamCalloutIdV4{0};
std::atomic<uint32_t> g_StreamCalloutIdV6{0};

const GUID kTvnProviderKey = {0xFCEB62A1, 0x6D60, 0x4E04, {0xB9, 0x23, 0xB8, 0x44, 0x7B, 0x69, 0x52, 0xB7}};
const GUID kTvnSubLayerKey = {0x37588053, 0x758F, 0x4CD8, {0x93, 0x48, 0x5D, 0x96, 0x15, 0x21, 0xED, 0x57}};

namespace {

const GUID kDatagramV4Key = {0xC1C2DB97, 0xC318, 0x4CCD, {0x95, 0x00, 0x89, 0xD3, 0x16, 0x26, 0xA2, 0xCE}};
const GUID kDatagramV6Key = {0x4C1AA302, 0x8710, 0x43E8, {0x8C, 0x46, 0x2C, 0xE7, 0xB0, 0x34, 0x36, 0xCA}};
const GUID kFlowEstablishedV4Key = {0x5E5FAF08, 0x3BCA, 0x404F, {0xB7, 0xB1, 0xAA, 0xBC, 0x91, 0x8C, 0xC5, 0x2C}};
const GUID kFlowEstablishedV6Key = {0xE37BCF9F, 0x3F0E, 0x4DD9, {0x98, 0xF6, 0xC6, 0x08, 0x38, 0x0F, 0xEE, 0x16}};
const GUID kAuthConnectV4Key = {0x6207F329, 0x96B3, 0x45AA, {0xBD, 0x5C, 0xDB, 0xCF, 0x67, 0x70, 0xD7, 0x4E}};
const GUID kAuthConnectV6Key = {0x086D9A7E, 0xC09E, 0x443E, {0x86, 0x8C, 0x92, 0xC7, 0xBB, 0xBA, 0xC9, 0xAB}};

constexpr uint8_t kUdp = 17;
constexpr uint8_t kTcp = 6;

// Rows registered with the runtime so far; teardown unregisters these only.
int g_RegisteredRows = 0;

NTSTATUS Fail(const char* text, NTSTATUS status, uint64_t value) {
  TvnLogEvent(text, status, value, false);
  TvnUnregisterCallouts();
  return status;
}

NTSTATUS AddFilter(const TvnCalloutEntry& row) {
  FWPM_CALLOUT0 callout;
  callout.calloutKey = *row.calloutKey;
  callout.displayData.name = row.calloutName;
  callout.providerKey = &kTvnProviderKey;
  callout.applicableLayer = *row.layerKey;
  NTSTATUS status = FwpmCalloutAdd0(g_EngineHandle, &callout, nullptr, nullptr);
  if (!NT_SUCCESS(status)) return Fail("176:FwpmCalloutAdd0 failed", status, row.calloutKey->Data1);

  FWPM_FILTER_CONDITION0 conditions[2];
  uint32_t count = 0;
  if (row.protocol != 0) {
    conditions[count].fieldKey = FWPM_CONDITION_IP_PROTOCOL;
    conditions[count].matchType = FWP_MATCH_EQUAL;
    conditions[count].conditionValue.type = FWP_UINT8;
    conditions[count].conditionValue.uint8 = row.protocol;
    ++count;
  }
  if (row.remotePort != 0) {
    conditions[count].fieldKey = FWPM_CONDITION_IP_REMOTE_PORT;
    conditions[count].matchType = FWP_MATCH_EQUAL;
    conditions[count].conditionValue.type = FWP_UINT16;
    conditions[count].conditionValue.uint16 = row.remotePort;
    ++count;
  }
  FWPM_FILTER0 filter;
  filter.displayData.name = row.filterName;
  filter.providerKey = &kTvnProviderKey;
  filter.layerKey = *row.layerKey;
  filter.subLayerKey = kTvnSubLayerKey;
  filter.weight.type = FWP_EMPTY;  // automatic
  filter.numFilterConditions = count;
  filter.filterCondition = count ? conditions : nullptr;
  filter.action.type = FWP_ACTION_CALLOUT_TERMINATING;
  filter.action.calloutKey = *row.calloutKey;
  status = FwpmFilterAdd0(g_EngineHandle, &filter, nullptr, nullptr);
  if (!NT_SUCCESS(status)) return Fail("215:FwpmFilterAdd0 failed", status, row.calloutKey->Data1);
  return STATUS_SUCCESS;
}

}  // namespace

const TvnCalloutEntry g_TvnCallouts[] = {
    {&kDatagramV4Key, &FWPM_LAYER_DATAGRAM_DATA_V4, kUdp, 53, u"Palvex Datagram IPv4", u"Palvex Datagram IPv4",
     &g_DatagramCalloutIdV4, FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW},
    {&kDatagramV6Key, &FWPM_LAYER_DATAGRAM_DATA_V6, kUdp, 53, u"Palvex Datagram IPv6", u"Palvex Datagram IPv6",
     &g_DatagramCalloutIdV6, FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW},
    {&kFlowEstablishedV4Key, &FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4, kUdp, 53, u"Palvex Flow Established IPv4",
     u"Palvex Flow Established IPv4", nullptr, 0},
    {&kFlowEstablishedV6Key, &FWPM_LAYER_ALE_FLOW_ESTABLISHED_V6, kUdp, 53, u"Palvex Flow Established IPv6",
     u"Palvex Flow Established IPv6", nullptr, 0},
    {&kAuthConnectV4Key, &FWPM_LAYER_ALE_AUTH_CONNECT_V4, kTcp, 53, u"Palvex Auth Connect IPv4",
     u"Palvex Auth Connect IPv4", nullptr, 0},
    {&kAuthConnectV6Key, &FWPM_LAYER_ALE_AUTH_CONNECT_V6, kTcp, 53, u"Palvex Auth Connect IPv6",
     u"Palvex Auth Connect IPv6", nullptr, 0},
    {nullptr, nullptr, 0, 0, nullptr, nullptr, nullptr, 0},
};

NTSTATUS TvnRegisterCallouts(DEVICE_OBJECT* deviceObject, WDFDRIVER driver) {
  TvnEventListInitialize();
  NTSTATUS status = FwpsRedirectHandleCreate0(&kTvnProviderKey, 0, &g_RedirectHandle);
  if (!NT_SUCCESS(status)) return Fail("42:FwpsRedirectHandleCreate0 failed", status, 0);
  TvnPendingConnectListInitialize();
  TvnFlowListInitialize();

  status = FwpsInjectionHandleCreate0(kFwpFamilyUnspecified, FWPS_INJECTION_TYPE_TRANSPORT,
                                      &g_InjectionTransportHandle);
  if (!NT_SUCCESS(status))
    return Fail("64:FwpsInjectionHandleCreate failed(FWPS_INJECTION_TYPE_TRANSPORT)", status, 0);
  status = FwpsInjectionHandleCreate0(kFwpFamilyUnspecified, FWPS_INJECTION_TYPE_STREAM, &g_InjectionStreamHandle);
  if (!NT_SUCCESS(status)) return Fail("71:FwpsInjectionHandleCreate failed(FWPS_INJECTION_TYPE_STREAM)", status, 0);

  g_NdisGenericObject = NdisAllocateGenericObject(WdfDriverWdmGetDriverObject(driver), kTvnTagNdisObject, 0);
  if (!g_NdisGenericObject) return Fail("78:NdisAllocateGenericObject failed", STATUS_NO_MEMORY, 0);
  NET_BUFFER_LIST_POOL_PARAMETERS pool;
  pool.ProtocolId = NDIS_PROTOCOL_ID_DEFAULT;
  pool.fAllocateNetBuffer = true;
  pool.ContextSize = 0;
  pool.PoolTag = kTvnTagNblPool;
  pool.DataSize = 0;
  g_NblPool = NdisAllocateNetBufferListPool(g_NdisGenericObject, &pool);
  if (!g_NblPool) return Fail("96:NdisAllocateNetBufferListPool failed", STATUS_NO_MEMORY, 0);

  for (const TvnCalloutEntry* row = g_TvnCallouts; row->calloutKey; ++row) {
    FWPS_CALLOUT1 callout;
    callout.calloutKey = *row->calloutKey;
    callout.flags = row->flags;
    callout.classifyFn = TvnCalloutClassify;
    callout.notifyFn = TvnCalloutNotify;
    callout.flowDeleteFn = TvnCalloutFlowDelete;
    uint32_t id = 0;
    status = FwpsCalloutRegister1(deviceObject, &callout, &id);
    if (!NT_SUCCESS(status)) return Fail("114:FwpsCalloutRegister1 failed", status, row->calloutKey->Data1);
    ++g_RegisteredRows;
    if (row->runtimeId) row->runtimeId->store(id);
  }

  FWPM_SESSION0 session;
  session.flags = FWPM_SESSION_FLAG_DYNAMIC;
  status = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &g_EngineHandle);
  if (!NT_SUCCESS(status)) return Fail("132:FwpmEngineOpen0 failed", status, 0);

  FWPM_PROVIDER0 provider;
  provider.providerKey = kTvnProviderKey;
  provider.displayData.name = u"Palvex Provider";
  status = FwpmProviderAdd0(g_EngineHandle, &provider, nullptr);
  if (!NT_SUCCESS(status)) return Fail("144:FwpmProviderAdd0 failed", status, 0);

  FWPM_SUBLAYER0 subLayer;
  subLayer.subLayerKey = kTvnSubLayerKey;
  subLayer.displayData.name = u"Palvex Sublayer";
  subLayer.displayData.description = u"Palvex Sublayer";
  subLayer.providerKey = &kTvnProviderKey;
  subLayer.weight = kTvnSubLayerWeight;
  status = FwpmSubLayerAdd0(g_EngineHandle, &subLayer, nullptr);
  if (!NT_SUCCESS(status)) return Fail("160:FwpmSubLayerAdd failed", status, 0);

  for (const TvnCalloutEntry* row = g_TvnCallouts; row->calloutKey; ++row) {
    status = AddFilter(*row);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

void TvnUnregisterCallouts() {
  g_TvnStarted.store(false);
  // Closing the dynamic session removes its provider, sublayer, callouts and filters.
  if (g_EngineHandle) {
    FwpmEngineClose0(g_EngineHandle);
    g_EngineHandle = nullptr;
  }
  TvnRemoveAllFlows(false);
  TvnPurgePendingConnects(true);
  for (int i = 0; i < g_RegisteredRows; ++i) {
    const TvnCalloutEntry& row = g_TvnCallouts[i];
    NTSTATUS status = FwpsCalloutUnregisterByKey0(row.calloutKey);
    if (!NT_SUCCESS(status)) TvnLogEvent("253:FwpsCalloutUnregisterByKey", status, row.calloutKey->Data1, false);
    if (row.runtimeId) row.runtimeId->store(0);
  }
  g_RegisteredRows = 0;
  if (g_RedirectHandle) {
    FwpsRedirectHandleDestroy0(g_RedirectHandle);
    g_RedirectHandle = nullptr;
  }
  if (g_InjectionTransportHandle) {
    NTSTATUS status = FwpsInjectionHandleDestroy0(g_InjectionTransportHandle);
    if (!NT_SUCCESS(status))
      TvnLogEvent("268:FwpsInjectionHandleDestroy(g_InjectionTransportHandle) failed", status, 0, false);
    g_InjectionTransportHandle = nullptr;
  }
  if (g_InjectionStreamHandle) {
    NTSTATUS status = FwpsInjectionHandleDestroy0(g_InjectionStreamHandle);
    if (!NT_SUCCESS(status))
      TvnLogEvent("277:FwpsInjectionHandleDestroy(g_InjectionStreamHandle) failed", status, 0, false);
    g_InjectionStreamHandle = nullptr;
  }
  if (g_NblPool) {
    NdisFreeNetBufferListPool(g_NblPool);
    g_NblPool = nullptr;
  }
  if (g_NdisGenericObject) {
    NdisFreeGenericObject(g_NdisGenericObject);
    g_NdisGenericObject = nullptr;
  }
  TvnEventListPurge(false);
}

NTSTATUS TvnCalloutNotify(FWPS_CALLOUT_NOTIFY_TYPE notifyType, const GUID*, FWPS_FILTER1* filter) {
  uint64_t id = filter ? filter->filterId : 0;
  if (notifyType == FWPS_CALLOUT_NOTIFY_ADD_FILTER)
    TraceEvents(TRACE_LEVEL_VERBOSE, "TvnCalloutNotify: filter added " + std::to_string(id));
  else if (notifyType == FWPS_CALLOUT_NOTIFY_DELETE_FILTER)
    TraceEvents(TRACE_LEVEL_VERBOSE, "TvnCalloutNotify: filter deleted " + std::to_string(id));
  return STATUS_SUCCESS;
}

void TvnCalloutFlowDelete(uint16_t, uint32_t, uint64_t flowContext) {
  if (flowContext == 0) {
    TvnLogEvent("337:TvnCalloutFlowDelete: flowContext=0", STATUS_SUCCESS, 0, false);
    return;
  }
  auto* context = reinterpret_cast<FlowContext*>(flowContext);
  TvnFlowListUnlink(context);
  if (g_TvnStarted.load()) {
    // Built here: CreateTvnEvent knows no flow-deleted events.
    DriverEvent* event = TvnAllocateEvent(0);
    if (!event) {
      TvnLogEvent("348:ExAllocatePoolWithTag failed", STATUS_NO_MEMORY, 0, false);
    } else {
      event->eventType = EventFlowDeleted;
      event->flowHandle = context->flowHandle;
      event->processId = context->processId;
      TvnEventListAppend(event);
    }
  }
  ExFreePoolWithTag(context, kTvnTagFlow);
}
