// The filtering platform as the driver uses it, under the platform's own
// names with simplified types. Start here: the management side (engine
// session, provider, sublayer, callout and filter objects, which a backend
// turns into its packet source: the simulator's table, the host's
// iptables rules); the runtime side (callouts with their classify,
// notify and flow-delete functions, flow contexts); injection (handles,
// injection state, transport send/receive and stream injection);
// pended classifications and connect redirection.
// Address families are the records' 2 and 23 (0: unspecified), never the
// native AF_INET6; only a backend that fills a sockaddr converts.
// Classify, flow-delete, notify and injection-completion functions may run
// on any thread, concurrently; a backend never calls the flow-delete
// function of a flow while a classification of that flow runs (it waits for
// that classification to return), and never holds a lock of its own while
// it calls into the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "PalvexDrv/kernel/classify_values.h"
#include "PalvexDrv/kernel/ndis.h"
#include "shared/driver_records.h"
#include "shared/ntstatus.h"

struct DEVICE_OBJECT;

using HANDLE = void*;

// A 128-bit identifier (the same layout as the program's own).
struct GUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};
};

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

constexpr uint16_t kFwpFamilyUnspecified = 0;

// Statuses of the platform's own failures.
constexpr NTSTATUS STATUS_FWP_NOT_FOUND = NtStatus(0xC0220008);
constexpr NTSTATUS STATUS_FWP_ALREADY_EXISTS = NtStatus(0xC0220009);
constexpr NTSTATUS STATUS_FWP_INVALID_PARAMETER = NtStatus(0xC0220035);

// ---- Management: layer and condition keys --------------------------------
// Simplified: a layer's key carries its runtime id in Data1, a condition
// field's key its FWPS_FIELD in Data1; Data2 tells the two kinds apart.
constexpr GUID FwpmLayerKey(FWPS_LAYER_ID layerId) {
  return GUID{layerId, 0x4C59, 0x0001, {'F', 'W', 'P', 'M', 'L', 'A', 'Y', 'R'}};
}
constexpr GUID FwpmConditionKey(FWPS_FIELD field) {
  return GUID{field, 0x434E, 0x0001, {'F', 'W', 'P', 'M', 'C', 'O', 'N', 'D'}};
}
// The runtime layer of a layer key, or 0 when it is none.
constexpr uint16_t FwpsLayerIdOfKey(const GUID& key) {
  return key == FwpmLayerKey(static_cast<FWPS_LAYER_ID>(key.Data1)) ? static_cast<uint16_t>(key.Data1) : 0;
}

inline constexpr GUID FWPM_LAYER_DATAGRAM_DATA_V4 = FwpmLayerKey(FWPS_LAYER_DATAGRAM_DATA_V4);
inline constexpr GUID FWPM_LAYER_DATAGRAM_DATA_V6 = FwpmLayerKey(FWPS_LAYER_DATAGRAM_DATA_V6);
inline constexpr GUID FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4 = FwpmLayerKey(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4);
inline constexpr GUID FWPM_LAYER_ALE_FLOW_ESTABLISHED_V6 = FwpmLayerKey(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6);
inline constexpr GUID FWPM_LAYER_ALE_AUTH_CONNECT_V4 = FwpmLayerKey(FWPS_LAYER_ALE_AUTH_CONNECT_V4);
inline constexpr GUID FWPM_LAYER_ALE_AUTH_CONNECT_V6 = FwpmLayerKey(FWPS_LAYER_ALE_AUTH_CONNECT_V6);
inline constexpr GUID FWPM_LAYER_ALE_CONNECT_REDIRECT_V4 = FwpmLayerKey(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4);
inline constexpr GUID FWPM_LAYER_ALE_CONNECT_REDIRECT_V6 = FwpmLayerKey(FWPS_LAYER_ALE_CONNECT_REDIRECT_V6);
inline constexpr GUID FWPM_LAYER_STREAM_V4 = FwpmLayerKey(FWPS_LAYER_STREAM_V4);
inline constexpr GUID FWPM_LAYER_STREAM_V6 = FwpmLayerKey(FWPS_LAYER_STREAM_V6);
inline constexpr GUID FWPM_CONDITION_IP_PROTOCOL = FwpmConditionKey(FWPS_FIELD_IP_PROTOCOL);
inline constexpr GUID FWPM_CONDITION_IP_REMOTE_PORT = FwpmConditionKey(FWPS_FIELD_IP_REMOTE_PORT);

// ---- Management: objects of a session ------------------------------------
struct FWPM_DISPLAY_DATA0 {
  std::u16string_view name;
  std::u16string_view description;
};

struct FWPM_SESSION0 {
  uint32_t flags = 0;
};
constexpr uint32_t FWPM_SESSION_FLAG_DYNAMIC = 0x1;  // its objects go when the session closes
constexpr uint32_t RPC_C_AUTHN_WINNT = 10;

struct FWPM_PROVIDER0 {
  GUID providerKey;
  FWPM_DISPLAY_DATA0 displayData;
  uint32_t flags = 0;
};

struct FWPM_SUBLAYER0 {
  GUID subLayerKey;
  FWPM_DISPLAY_DATA0 displayData;
  uint32_t flags = 0;
  const GUID* providerKey = nullptr;
  uint16_t weight = 0;
};

struct FWPM_CALLOUT0 {
  GUID calloutKey;
  FWPM_DISPLAY_DATA0 displayData;
  uint32_t flags = 0;
  const GUID* providerKey = nullptr;
  GUID applicableLayer;
};

enum FWP_MATCH_TYPE : uint32_t { FWP_MATCH_EQUAL = 0 };

// FWP_UINT8 or FWP_UINT16 (of classify_values.h) are the types the driver uses.
struct FWP_CONDITION_VALUE0 {
  FWP_DATA_TYPE type = FWP_EMPTY;
  union {
    uint8_t uint8;
    uint16_t uint16;
    uint32_t uint32;
  };
};

struct FWPM_FILTER_CONDITION0 {
  GUID fieldKey;  // FWPM_CONDITION_*
  FWP_MATCH_TYPE matchType = FWP_MATCH_EQUAL;
  FWP_CONDITION_VALUE0 conditionValue;
};

enum FWP_ACTION_TYPE : uint32_t {
  FWP_ACTION_NONE = 0x0007,
  FWP_ACTION_CONTINUE = 0x2006,
  FWP_ACTION_BLOCK = 0x1001,
  FWP_ACTION_PERMIT = 0x1002,
  FWP_ACTION_CALLOUT_TERMINATING = 0x5003,
};

struct FWPM_ACTION0 {
  FWP_ACTION_TYPE type = FWP_ACTION_PERMIT;
  GUID calloutKey;  // FWP_ACTION_CALLOUT_*
};

struct FWPM_FILTER0 {
  GUID filterKey;  // zero: the platform picks one
  FWPM_DISPLAY_DATA0 displayData;
  uint32_t flags = 0;
  const GUID* providerKey = nullptr;
  GUID layerKey;
  GUID subLayerKey;
  FWP_VALUE weight;  // FWP_EMPTY: automatic
  uint32_t numFilterConditions = 0;
  const FWPM_FILTER_CONDITION0* filterCondition = nullptr;
  FWPM_ACTION0 action;
};

// Opens a session; serverName must be null. Closing a dynamic session
// removes every provider, sublayer, callout and filter it added.
NTSTATUS FwpmEngineOpen0(const char16_t* serverName, uint32_t authnService, void* authIdentity,
                         const FWPM_SESSION0* session, HANDLE* engineHandle);
NTSTATUS FwpmEngineClose0(HANDLE engineHandle);
// Each add fails (and adds nothing) on a key already added, a provider,
// sublayer, layer or callout key that names nothing, or a failure of the
// backend (the host's iptables). securityDescriptor must be null.
NTSTATUS FwpmProviderAdd0(HANDLE engineHandle, const FWPM_PROVIDER0* provider, void* securityDescriptor);
NTSTATUS FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer, void* securityDescriptor);
NTSTATUS FwpmCalloutAdd0(HANDLE engineHandle, const FWPM_CALLOUT0* callout, void* securityDescriptor,
                         uint32_t* id);
// A callout action needs the callout added (FwpmCalloutAdd0) at the same
// layer; its packets reach the classify function of the runtime callout
// registered with that key, while one is.
NTSTATUS FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, void* securityDescriptor, uint64_t* id);

// ---- Runtime: callouts -----------------------------------------------------
// The filter that matched, as a classify function sees it.
struct FWPS_ACTION0 {
  FWP_ACTION_TYPE type = FWP_ACTION_PERMIT;
  uint32_t calloutId = 0;
};

struct FWPS_FILTER1 {
  uint64_t filterId = 0;
  FWP_VALUE weight;
  uint16_t subLayerWeight = 0;
  uint16_t flags = 0;
  uint32_t numFilterConditions = 0;
  FWPS_ACTION0 action;
  uint64_t context = 0;
};

// What a classify function decides. The platform sets rights to
// FWPS_RIGHT_ACTION_WRITE when the decision is the callout's to make and
// actionType to FWP_ACTION_CONTINUE; a callout that clears the right makes
// its decision final for every later filter.
struct FWPS_CLASSIFY_OUT0 {
  FWP_ACTION_TYPE actionType = FWP_ACTION_CONTINUE;
  uint64_t outContext = 0;
  uint64_t filterId = 0;
  uint32_t rights = 0;
  uint32_t flags = 0;
  uint32_t reserved = 0;
};
constexpr uint32_t FWPS_RIGHT_ACTION_WRITE = 0x1;
// With FWP_ACTION_BLOCK: the packet is taken silently; its sender sees no failure.
constexpr uint32_t FWPS_CLASSIFY_OUT_FLAG_ABSORB = 0x1;

// layerData: the NET_BUFFER_LIST of a datagram layer, the
// FWPS_STREAM_CALLOUT_IO_PACKET0 of a stream layer, else null.
// classifyContext: what FwpsAcquireClassifyHandle0 takes (connect redirect).
// flowContext: the context associated with the flow for this callout, or 0.
using FWPS_CALLOUT_CLASSIFY_FN1 = void (*)(const FWPS_INCOMING_VALUES* inFixedValues,
                                           const FWPS_INCOMING_METADATA_VALUES* inMetaValues, void* layerData,
                                           const void* classifyContext, const FWPS_FILTER1* filter,
                                           uint64_t flowContext, FWPS_CLASSIFY_OUT0* classifyOut);

enum FWPS_CALLOUT_NOTIFY_TYPE : uint32_t {
  FWPS_CALLOUT_NOTIFY_ADD_FILTER = 0,
  FWPS_CALLOUT_NOTIFY_DELETE_FILTER = 1,
};
// Called when a filter naming the callout is added or deleted; a failure
// on add refuses the filter.
using FWPS_CALLOUT_NOTIFY_FN1 = NTSTATUS (*)(FWPS_CALLOUT_NOTIFY_TYPE notifyType, const GUID* filterKey,
                                             FWPS_FILTER1* filter);
// Called once for each context the driver associated, when its flow ends or
// the context is removed; the driver frees the context here.
using FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 = void (*)(uint16_t layerId, uint32_t calloutId, uint64_t flowContext);

struct FWPS_CALLOUT1 {
  GUID calloutKey;
  uint32_t flags = 0;
  FWPS_CALLOUT_CLASSIFY_FN1 classifyFn = nullptr;
  FWPS_CALLOUT_NOTIFY_FN1 notifyFn = nullptr;
  FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 flowDeleteFn = nullptr;
};
// The callout is called for a packet only when its flow has a context
// associated for this callout.
constexpr uint32_t FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW = 0x1;

// calloutId (may be null) receives the runtime id. Fails on a key already
// registered.
NTSTATUS FwpsCalloutRegister1(DEVICE_OBJECT* deviceObject, const FWPS_CALLOUT1* callout, uint32_t* calloutId);
// Any context still associated with the callout is removed first, each
// through the flow-delete function. Fails on a key not registered.
NTSTATUS FwpsCalloutUnregisterByKey0(const GUID* calloutKey);

// ---- Runtime: flow contexts -------------------------------------------------
// Associates flowContext with the flow for the callout at layerId (the
// layer the callout's packets arrive at, not the layer of the caller).
// Fails when the flow is unknown or already has a context for the callout.
NTSTATUS FwpsFlowAssociateContext0(uint64_t flowId, uint16_t layerId, uint32_t calloutId, uint64_t flowContext);
// Removes the context: the flow-delete function runs before this returns,
// or, when a classification of the flow runs, right after it returns.
// Fails (STATUS_NOT_FOUND) when no context is associated.
NTSTATUS FwpsFlowRemoveContext0(uint64_t flowId, uint16_t layerId, uint32_t calloutId);

// ---- Injection ----------------------------------------------------------------
enum FWPS_INJECTION_TYPE : uint32_t {
  FWPS_INJECTION_TYPE_STREAM = 0x1,
  FWPS_INJECTION_TYPE_TRANSPORT = 0x2,
};

// addressFamily 2, 23 or kFwpFamilyUnspecified (both).
NTSTATUS FwpsInjectionHandleCreate0(uint16_t addressFamily, uint32_t flags, HANDLE* injectionHandle);
NTSTATUS FwpsInjectionHandleDestroy0(HANDLE injectionHandle);

enum FWPS_PACKET_INJECTION_STATE : uint32_t {
  FWPS_PACKET_NOT_INJECTED = 0,
  FWPS_PACKET_INJECTED_BY_SELF = 1,  // by injectionHandle
  FWPS_PACKET_INJECTED_BY_OTHER = 2,
  FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF = 3,  // by injectionHandle, at an earlier layer
  FWPS_PACKET_INJECTION_STATE_MAX = 4,
};
// How the packet of a classification was injected, seen from
// injectionHandle; injectionContext (may be null) receives the injector's
// context.
FWPS_PACKET_INJECTION_STATE FwpsQueryPacketInjectionState0(HANDLE injectionHandle,
                                                           const NET_BUFFER_LIST* netBufferList,
                                                           HANDLE* injectionContext);

// Runs once per accepted injection, on any thread, with
// NET_BUFFER_LIST_STATUS set; the list and its memory are the driver's again.
using FWPS_INJECT_COMPLETE0 = void (*)(void* context, NET_BUFFER_LIST* netBufferList, bool dispatchLevel);

// Simplified: remoteAddress carries family, port and address as the records
// do (port in network order).
struct FWPS_TRANSPORT_SEND_PARAMS1 {
  SOCKADDR_INET remoteAddress;
  uint32_t remoteScopeId = 0;
};

// Sends netBufferList (data from its transport header on) as the socket of
// endpointHandle would: to sendArgs' remote address. A failure means the
// completion never runs and the list is still the caller's.
NTSTATUS FwpsInjectTransportSendAsync0(HANDLE injectionHandle, HANDLE injectionContext, uint64_t endpointHandle,
                                       uint32_t flags, const FWPS_TRANSPORT_SEND_PARAMS1* sendArgs,
                                       uint16_t addressFamily, uint32_t compartmentId,
                                       NET_BUFFER_LIST* netBufferList, FWPS_INJECT_COMPLETE0 completionFn,
                                       void* completionContext);
// Delivers netBufferList (a whole IP packet) as received on the interface.
// Failure as for the send.
NTSTATUS FwpsInjectTransportReceiveAsync0(HANDLE injectionHandle, HANDLE injectionContext, void* reserved,
                                          uint32_t flags, uint16_t addressFamily, uint32_t compartmentId,
                                          uint32_t interfaceIndex, uint32_t subInterfaceIndex,
                                          NET_BUFFER_LIST* netBufferList, FWPS_INJECT_COMPLETE0 completionFn,
                                          void* completionContext);

// A list from poolHandle over mdlChain with one net buffer of dataLength
// bytes from dataOffset. STATUS_INSUFFICIENT_RESOURCES when out of memory.
NTSTATUS FwpsAllocateNetBufferAndNetBufferList0(NDIS_HANDLE poolHandle, uint16_t contextSize,
                                                uint16_t contextBackFill, MDL* mdlChain, uint32_t dataOffset,
                                                size_t dataLength, NET_BUFFER_LIST** netBufferList);
// Frees the list and its net buffer, not the MDLs or the memory they describe.
void FwpsFreeNetBufferList0(NET_BUFFER_LIST* netBufferList);

// ---- Stream layers ------------------------------------------------------------
constexpr uint32_t FWPS_STREAM_FLAG_SEND = 0x1;
constexpr uint32_t FWPS_STREAM_FLAG_SEND_EXPEDITED = 0x2;
constexpr uint32_t FWPS_STREAM_FLAG_SEND_DISCONNECT = 0x4;
constexpr uint32_t FWPS_STREAM_FLAG_RECEIVE = 0x8;
constexpr uint32_t FWPS_STREAM_FLAG_RECEIVE_EXPEDITED = 0x10;
constexpr uint32_t FWPS_STREAM_FLAG_RECEIVE_DISCONNECT = 0x20;

// One segment of a stream; its bytes are the net buffers of the chain.
struct FWPS_STREAM_DATA0 {
  uint32_t flags = 0;  // FWPS_STREAM_FLAG_*
  NET_BUFFER_LIST* netBufferListChain = nullptr;
  size_t dataLength = 0;
};

enum FWPS_STREAM_ACTION_TYPE : uint32_t {
  FWPS_STREAM_ACTION_NONE = 0,
  FWPS_STREAM_ACTION_ALLOW_CONNECTION = 1,  // no more segments of this flow for the callout
  FWPS_STREAM_ACTION_REQUEST_MORE_DATA = 2,
  FWPS_STREAM_ACTION_DROP_CONNECTION = 3,
  FWPS_STREAM_ACTION_DEFER = 4,
};

struct FWPS_STREAM_CALLOUT_IO_PACKET0 {
  FWPS_STREAM_DATA0* streamData = nullptr;
  size_t missedBytes = 0;
  uint32_t countBytesRequired = 0;
  size_t countBytesEnforced = 0;
  FWPS_STREAM_ACTION_TYPE streamAction = FWPS_STREAM_ACTION_NONE;
};

// Copies up to bytesToCopy bytes of the segment into buffer.
void FwpsCopyStreamDataToBuffer0(const FWPS_STREAM_DATA0* streamData, void* buffer, size_t bytesToCopy,
                                 size_t* bytesCopied);
// Injects dataLength bytes (netBufferList may be null with a disconnect flag
// and no data) into the flow's stream, in the direction of streamFlags.
// Failure as for the transport injections.
NTSTATUS FwpsStreamInjectAsync0(HANDLE injectionHandle, HANDLE injectionContext, uint32_t flags, uint64_t flowId,
                                uint32_t calloutId, uint16_t layerId, uint32_t streamFlags,
                                NET_BUFFER_LIST* netBufferList, size_t dataLength,
                                FWPS_INJECT_COMPLETE0 completionFn, void* completionContext);

// ---- Pended classifications and connect redirection -------------------------
NTSTATUS FwpsRedirectHandleCreate0(const GUID* providerGuid, uint32_t flags, HANDLE* redirectHandle);
void FwpsRedirectHandleDestroy0(HANDLE redirectHandle);

enum FWPS_CONNECTION_REDIRECT_STATE : uint32_t {
  FWPS_CONNECTION_NOT_REDIRECTED = 0,
  FWPS_CONNECTION_REDIRECTED_BY_SELF = 1,
  FWPS_CONNECTION_REDIRECTED_BY_OTHER = 2,
  FWPS_CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF = 3,
};
// redirectRecords: the metadata's redirectRecords.
FWPS_CONNECTION_REDIRECT_STATE FwpsQueryConnectionRedirectState0(HANDLE redirectRecords, HANDLE redirectHandle,
                                                                 void** redirectContext);

// A handle that outlives the classify call, for pending and completing it.
NTSTATUS FwpsAcquireClassifyHandle0(const void* classifyContext, uint32_t flags, uint64_t* classifyHandle);
void FwpsReleaseClassifyHandle0(uint64_t classifyHandle);
// The classification waits for FwpsCompleteClassify0; classifyOut is the
// one the classify function was given.
NTSTATUS FwpsPendClassify0(uint64_t classifyHandle, uint64_t filterId, uint32_t flags,
                           FWPS_CLASSIFY_OUT0* classifyOut);
void FwpsCompleteClassify0(uint64_t classifyHandle, uint32_t flags, const FWPS_CLASSIFY_OUT0* classifyOut);

// The connect request of a connect-redirect classification, writable.
// Addresses as SOCKADDR_INET bytes at the start of 128-byte storage.
struct FWPS_CONNECT_REQUEST0 {
  uint8_t localAddressAndPort[128] = {};
  uint8_t remoteAddressAndPort[128] = {};
  uint64_t portReservationToken = 0;
  uint32_t localRedirectTargetPID = 0;  // 0: no local redirect target yet
  FWPS_CONNECT_REQUEST0* previousVersion = nullptr;
  uint64_t modifierFilterId = 0;
  HANDLE localRedirectHandle = nullptr;
  void* localRedirectContext = nullptr;
  size_t localRedirectContextSize = 0;
};

NTSTATUS FwpsAcquireWritableLayerDataPointer0(uint64_t classifyHandle, uint64_t filterId, uint32_t flags,
                                              void** writableLayerData, FWPS_CLASSIFY_OUT0* classifyOut);
void FwpsApplyModifiedLayerData0(uint64_t classifyHandle, void* modifiedLayerData, uint32_t flags);
