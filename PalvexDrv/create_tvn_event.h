// Building a DriverEvent from what a classify function was given.
#pragma once

#include <cstdint>

#include "PalvexDrv/kernel/classify_values.h"
#include "shared/driver_records.h"

struct FlowContext;

// An event of type EventConnectRedirect, EventFlowEstablished or
// EventTcpConnect (application id and user SID from the ALE layer values),
// or EventUdpDatagram or EventTcpStream (process id of flowContext when
// given), with payload behind the application id; addresses from the layer
// values (the local end as source unless the packet is inbound), handles
// from the metadata. The caller fills the type block, classifyHandle and
// verdict, then appends it. Null, with a log event, for another type, a
// layer without the values the type needs, more than 1,000,000 data bytes
// or no memory.
DriverEvent* CreateTvnEvent(DriverEventType type, const FWPS_INCOMING_VALUES* values,
                            const FWPS_INCOMING_METADATA_VALUES* metadata, const FlowContext* flowContext,
                            const void* payload, uint32_t payloadLength);
