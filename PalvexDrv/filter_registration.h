// Filtering registration and teardown: the callout table, the platform
// objects of the driver's dynamic session, and the callbacks the platform
// calls besides classify (notify, flow delete).
#pragma once

#include <atomic>
#include <cstdint>

#include "PalvexDrv/kernel/fwp.h"
#include "PalvexDrv/kernel/wdf.h"

// One row of g_TvnCallouts; a row with a null calloutKey ends the table.
struct TvnCalloutEntry {
  const GUID* calloutKey;
  const GUID* layerKey;
  uint8_t protocol;    // 0: no protocol condition
  uint16_t remotePort;  // 0: no remote-port condition
  const char16_t* calloutName;
  const char16_t* filterName;
  std::atomic<uint32_t>* runtimeId;  // where the registered callout id is kept, or null
  uint32_t flags;                    // FWP_CALLOUT_FLAG_*
};

extern const TvnCalloutEntry g_TvnCallouts[];

extern const GUID kTvnProviderKey;
extern const GUID kTvnSubLayerKey;
constexpr uint16_t kTvnSubLayerWeight = 0x800A;

// Registration writes these once, before the device takes requests; every
// thread reads them afterwards. Null or 0 until set and after teardown.
extern HANDLE g_EngineHandle;
extern HANDLE g_RedirectHandle;
extern HANDLE g_InjectionTransportHandle;
extern HANDLE g_InjectionStreamHandle;
extern NDIS_HANDLE g_NdisGenericObject;
extern NDIS_HANDLE g_NblPool;
extern std::atomic<uint32_t> g_DatagramCalloutIdV4;
extern std::atomic<uint32_t> g_DatagramCalloutIdV6;
// No stream callout is registered: these stay 0.
extern std::atomic<uint32_t> g_StreamCalloutIdV4;
extern std::atomic<uint32_t> g_StreamCalloutIdV6;

// At device creation, before the device takes requests: the driver's
// lists, handles, pool, the callouts of every row and the session's
// provider, sublayer, callouts and filters, in that order. The first
// failure is logged, everything made so far is undone, and its status
// returned (STATUS_NO_MEMORY for the NDIS object and the pool).
NTSTATUS TvnRegisterCallouts(DEVICE_OBJECT* deviceObject, WDFDRIVER driver);
// At unload and after a failed registration: undoes whatever registration
// made, drops flows and pending connects and frees every queued event.
void TvnUnregisterCallouts();

NTSTATUS TvnCalloutNotify(FWPS_CALLOUT_NOTIFY_TYPE notifyType, const GUID* filterKey, FWPS_FILTER1* filter);
// The flow's context goes: unlinked when still listed, reported as
// EventFlowDeleted while started, then freed.
void TvnCalloutFlowDelete(uint16_t layerId, uint32_t calloutId, uint64_t flowContext);
