#include "PalvexDrv/create_tvn_event.h"

#include <cstring>

#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/layer_values.h"

DriverEvent* CreateTvnEvent(DriverEventType type, const FWPS_INCOMING_VALUES* values,
                            const FWPS_INCOMING_METADATA_VALUES* metadata, const FlowContext* flowContext,
                            const void* payload, uint32_t payloadLength) {
  uint32_t processId = 0;
  if (metadata && FWPS_IS_METADATA_FIELD_PRESENT(metadata, FWPS_METADATA_FIELD_PROCESS_ID))
    processId = static_cast<uint32_t>(metadata->processId);

  const FWP_BYTE_BLOB* appId = nullptr;
  const uint8_t* sid = nullptr;
  uint32_t sidLength = 0;
  bool packetLayer = false;  // datagram and stream events carry a direction
  switch (type) {
    case EventConnectRedirect:
    case EventFlowEstablished:
    case EventTcpConnect:
      if (!FixedValuesGetAppId(values, &appId)) return nullptr;
      if (!FixedValuesGetUserId(values, &sid, &sidLength)) return nullptr;
      break;
    case EventUdpDatagram:
    case EventTcpStream:
      if (flowContext) processId = flowContext->processId;
      packetLayer = true;
      break;
    default:
      TvnLogEvent("127:Unknown event type", STATUS_UNSUCCESSFUL, type, false);
      return nullptr;
  }

  uint32_t appIdLength = appId ? appId->size : 0;
  uint64_t total = uint64_t{appIdLength} + payloadLength;
  if (total > kMaxEventDataLength) {
    TvnLogEvent("135:Size is too big", STATUS_SUCCESS, total, false);
    return nullptr;
  }
  DriverEvent* event = TvnAllocateEvent(static_cast<uint32_t>(total));
  if (!event) {
    TvnLogEvent("142:ExAllocatePoolWithTag failed", STATUS_NO_MEMORY, total, false);
    return nullptr;
  }
  event->appIdLength = appIdLength;
  event->eventType = type;
  event->processId = processId;
  bool inbound = false;
  if (packetLayer && FixedValuesGetDirection(values, &inbound)) event->inbound = inbound ? 1 : 0;
  if (sid && sid[1] <= kMaxUserSidSubAuthorities) std::memcpy(event->userSid, sid, sidLength);
  uint8_t* data = DriverEventData(event);
  if (appIdLength) std::memcpy(data, appId->data, appIdLength);
  if (payloadLength) std::memcpy(data + appIdLength, payload, payloadLength);

  SOCKADDR_INET local{}, remote{};
  FixedValuesGetSockAddr(values, true, &local);
  FixedValuesGetSockAddr(values, false, &remote);
  event->sourceAddress = inbound ? remote : local;
  event->destinationAddress = inbound ? local : remote;

  if (metadata && FWPS_IS_METADATA_FIELD_PRESENT(metadata, FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE))
    event->endpointHandle = metadata->transportEndpointHandle;
  if (metadata && FWPS_IS_METADATA_FIELD_PRESENT(metadata, FWPS_METADATA_FIELD_FLOW_HANDLE))
    event->flowHandle = metadata->flowHandle;
  return event;
}
