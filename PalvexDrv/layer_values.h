// Reading the classify values of a layer. Each function checks that the
// layer carries the value with the expected type; when it does not, it logs
// its failure (status 0, value = the layer) and returns false.
#pragma once

#include <cstdint>

#include "PalvexDrv/kernel/classify_values.h"
#include "shared/driver_records.h"

bool TvnIsAleLayer(uint16_t layerId);  // auth connect, flow established, connect redirect
bool TvnIsDatagramLayer(uint16_t layerId);
bool TvnIsStreamLayer(uint16_t layerId);
bool TvnIsV6Layer(uint16_t layerId);
bool TvnIsAuthConnectLayer(uint16_t layerId);
bool TvnIsFlowEstablishedLayer(uint16_t layerId);
bool TvnIsConnectRedirectLayer(uint16_t layerId);

// The IP protocol at a datagram, flow-established or connect-redirect layer.
bool FixedValuesGetProtocol(const FWPS_INCOMING_VALUES* values, uint8_t* protocol);
// The local or remote port, in host order.
bool FixedValuesGetPort(const FWPS_INCOMING_VALUES* values, bool local, uint16_t* port);
// The local or remote end as a record address: family 2 at the V4 layers,
// 23 at the V6 layers, port and address in network order.
bool FixedValuesGetSockAddr(const FWPS_INCOMING_VALUES* values, bool local, SOCKADDR_INET* address);
// The application id blob of an ALE layer.
bool FixedValuesGetAppId(const FWPS_INCOMING_VALUES* values, const FWP_BYTE_BLOB** appId);
// The user's binary SID at an ALE layer; false also when the blob is shorter
// than the SID it describes.
bool FixedValuesGetUserId(const FWPS_INCOMING_VALUES* values, const uint8_t** sid, uint32_t* sidLength);
// The interface and sub-interface index of a datagram layer; 0 for a value
// the layer does not carry (no log).
void FixedValuesGetInterface(const FWPS_INCOMING_VALUES* values, uint32_t* interfaceIndex,
                             uint32_t* subInterfaceIndex);
// Whether the packet is inbound, at a datagram, stream or flow-established layer.
bool FixedValuesGetDirection(const FWPS_INCOMING_VALUES* values, bool* inbound);
