#include "PalvexDrv/callout_classify.h"

#include "PalvexDrv/connect_redirection.h"
#include "PalvexDrv/create_tvn_event.h"
#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/engine_state.h"
#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/kernel/ke.h"
#include "PalvexDrv/kernel/trace.h"
#include "PalvexDrv/layer_values.h"

namespace {

constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
constexpr uint64_t kTicksPerSecond = 10000000;  // 100-ns units

void Block(FWPS_CLASSIFY_OUT0* classifyOut) {
  classifyOut->actionType = FWP_ACTION_BLOCK;
  classifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
}

bool IsStale(uint32_t staleEventSeconds) {
  uint64_t now = KeQueryUnbiasedInterruptTime();
  uint64_t oldest = 0;
  // Read under the event lock, compared after it: stopping purges the list.
  if (!TvnEventListOldestEnqueueTime(&oldest)) return false;
  return oldest + uint64_t{staleEventSeconds} * kTicksPerSecond < now;
}

void ClassifyAuthConnect(const FWPS_INCOMING_VALUES* values, const FWPS_INCOMING_METADATA_VALUES* metadata,
                         FWPS_CLASSIFY_OUT0* classifyOut, const DriverConfig& config) {
  if (!g_TvnStarted.load()) return;
  // The connect is blocked even when it cannot be reported.
  if (config.blockTcpPort53) Block(classifyOut);
  DriverEvent* event = CreateTvnEvent(EventTcpConnect, values, metadata, nullptr, nullptr, 0);
  if (!event) return;
  event->verdict = config.blockTcpPort53 ? 2 : 1;
  TvnEventListAppend(event);
}

}  // namespace

void TvnCalloutClassify(const FWPS_INCOMING_VALUES* inFixedValues, const FWPS_INCOMING_METADATA_VALUES* inMetaValues,
                        void* layerData, const void* classifyContext, const FWPS_FILTER1* filter,
                        uint64_t flowContext, FWPS_CLASSIFY_OUT0* classifyOut) {
  if (!(classifyOut->rights & FWPS_RIGHT_ACTION_WRITE)) {
    TraceEvents(TRACE_LEVEL_VERBOSE, "TvnCalloutClassify: no FWPS_RIGHT_ACTION_WRITE");
    return;
  }
  classifyOut->actionType = FWP_ACTION_PERMIT;
  if (!g_TvnStarted.load()) return;
  uint32_t events = g_TvnEventListSize.load();
  if (events >= kTvnClassifyEventLimit) {
    TvnLogEvent("392:TvnEventList is too big", STATUS_UNSUCCESSFUL, events, false);
    return;
  }
  CTvnConfigRef config = TvnAcquireConfig();
  if (config->staleEventSeconds != 0 && IsStale(config->staleEventSeconds)) {
    TvnStopEngine(true);
    return;
  }
  TvnClassifyByLayer(inFixedValues, inMetaValues, layerData, classifyContext, filter, flowContext, classifyOut,
                     *config);
}

void TvnClassifyByLayer(const FWPS_INCOMING_VALUES* inFixedValues, const FWPS_INCOMING_METADATA_VALUES* inMetaValues,
                        void* layerData, const void* classifyContext, const FWPS_FILTER1* filter,
                        uint64_t flowContext, FWPS_CLASSIFY_OUT0* classifyOut, const DriverConfig& config) {
  uint16_t layer = inFixedValues->layerId;
  if (TvnIsAleLayer(layer)) {
    if (!FWPS_IS_METADATA_FIELD_PRESENT(inMetaValues, FWPS_METADATA_FIELD_PROCESS_ID)) {
      TvnLogEvent("38:FWPS_METADATA_FIELD_PROCESS_ID missing for layer", STATUS_UNSUCCESSFUL, layer, false);
      return;
    }
    if (inMetaValues->processId == config.serviceProcessId && config.includeServiceTraffic == 0) return;
  }

  if (TvnIsConnectRedirectLayer(layer)) {
    uint8_t protocol = 0;
    if (!FixedValuesGetProtocol(inFixedValues, &protocol)) return;
    if (protocol == kTcp)
      TvnClassifyConnectRedirect(inFixedValues, inMetaValues, classifyContext, filter, classifyOut, config);
    else
      TvnLogEvent("50:FWPS_LAYER_ALE_CONNECT_REDIRECT non TCP protocol", STATUS_UNSUCCESSFUL, protocol, false);
    return;
  }
  if (TvnIsAuthConnectLayer(layer)) {
    ClassifyAuthConnect(inFixedValues, inMetaValues, classifyOut, config);
    return;
  }
  if (TvnIsFlowEstablishedLayer(layer)) {
    TvnCalloutFlowEstablished(inFixedValues, inMetaValues);
    return;
  }
  if (!TvnIsStreamLayer(layer) && !TvnIsDatagramLayer(layer)) return;

  auto* context = reinterpret_cast<FlowContext*>(flowContext);
  if (!context) {
    TvnLogEvent("76:flowContext=0", STATUS_UNSUCCESSFUL, layer, false);
    return;
  }
  if (TvnIsStreamLayer(layer)) {
    TvnClassifyStream(inFixedValues, inMetaValues, context,
                      static_cast<FWPS_STREAM_CALLOUT_IO_PACKET0*>(layerData), classifyOut, config);
    return;
  }
  uint8_t protocol = 0;
  if (!FixedValuesGetProtocol(inFixedValues, &protocol)) return;
  if (protocol != kUdp) {
    TvnLogEvent("91:FWPS_LAYER_DATAGRAM_DATA non UDP protocol", STATUS_UNSUCCESSFUL, protocol, false);
    return;
  }
  uint16_t remotePort = 0;
  if (!FixedValuesGetPort(inFixedValues, false, &remotePort) || remotePort != 53) return;
  TvnClassifyDatagram(inFixedValues, inMetaValues, static_cast<NET_BUFFER_LIST*>(layerData), context, classifyOut,
                      config);
}
