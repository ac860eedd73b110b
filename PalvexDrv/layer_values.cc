#include "PalvexDrv/layer_values.h"

#include <cstring>

#include "PalvexDrv/event_queue.h"

namespace {

const FWP_VALUE& Value(const FWPS_INCOMING_VALUES* values, FWPS_FIELD field) {
  static const FWP_VALUE kEmpty{};
  if (field >= values->valueCount || field >= FWPS_FIELD_MAX) return kEmpty;
  return values->incomingValue[field].value;
}

bool Fail(const char* text, const FWPS_INCOMING_VALUES* values) {
  TvnLogEvent(text, STATUS_SUCCESS, values->layerId, false);
  return false;
}

bool HasAddresses(uint16_t layerId) {
  return TvnIsAleLayer(layerId) || TvnIsDatagramLayer(layerId) || TvnIsStreamLayer(layerId);
}

}  // namespace

bool TvnIsFlowEstablishedLayer(uint16_t layerId) { return FwpsLayerIsFlowEstablished(layerId); }

bool TvnIsConnectRedirectLayer(uint16_t layerId) {
  return layerId == FWPS_LAYER_ALE_CONNECT_REDIRECT_V4 || layerId == FWPS_LAYER_ALE_CONNECT_REDIRECT_V6;
}

bool TvnIsAuthConnectLayer(uint16_t layerId) {
  return layerId == FWPS_LAYER_ALE_AUTH_CONNECT_V4 || layerId == FWPS_LAYER_ALE_AUTH_CONNECT_V6;
}

bool TvnIsAleLayer(uint16_t layerId) {
  return TvnIsAuthConnectLayer(layerId) || TvnIsFlowEstablishedLayer(layerId) || TvnIsConnectRedirectLayer(layerId);
}

bool TvnIsDatagramLayer(uint16_t layerId) { return FwpsLayerIsDatagram(layerId); }

bool TvnIsStreamLayer(uint16_t layerId) { return FwpsLayerIsStream(layerId); }

bool TvnIsV6Layer(uint16_t layerId) { return FwpsLayerIsV6(layerId); }

bool FixedValuesGetProtocol(const FWPS_INCOMING_VALUES* values, uint8_t* protocol) {
  uint16_t layer = values->layerId;
  const FWP_VALUE& value = Value(values, FWPS_FIELD_IP_PROTOCOL);
  if (!(TvnIsDatagramLayer(layer) || TvnIsFlowEstablishedLayer(layer) || TvnIsConnectRedirectLayer(layer)) ||
      value.type != FWP_UINT8)
    return Fail("FixedValuesGetProtocol failed", values);
  *protocol = value.uint8;
  return true;
}

bool FixedValuesGetPort(const FWPS_INCOMING_VALUES* values, bool local, uint16_t* port) {
  const FWP_VALUE& value = Value(values, local ? FWPS_FIELD_IP_LOCAL_PORT : FWPS_FIELD_IP_REMOTE_PORT);
  if (!HasAddresses(values->layerId) || value.type != FWP_UINT16) return Fail("FixedValuesGetPort failed", values);
  *port = value.uint16;
  return true;
}

bool FixedValuesGetSockAddr(const FWPS_INCOMING_VALUES* values, bool local, SOCKADDR_INET* address) {
  if (!HasAddresses(values->layerId)) return Fail("FixedValuesGetSockAddr failed", values);
  uint16_t port = 0;
  if (!FixedValuesGetPort(values, local, &port)) return false;
  const FWP_VALUE& ip = Value(values, local ? FWPS_FIELD_IP_LOCAL_ADDRESS : FWPS_FIELD_IP_REMOTE_ADDRESS);
  std::memset(address, 0, sizeof *address);
  address->port = static_cast<uint16_t>((port >> 8) | (port << 8));
  if (TvnIsV6Layer(values->layerId)) {
    if (ip.type != FWP_BYTE_ARRAY16_TYPE || !ip.byteArray16) return Fail("FixedValuesGetIp failed", values);
    address->family = kRecordFamilyInet6;
    std::memcpy(address->ipv6.address, ip.byteArray16->byteArray16, 16);
  } else {
    if (ip.type != FWP_UINT32) return Fail("FixedValuesGetIp failed", values);
    address->family = kRecordFamilyInet;
    for (int i = 0; i < 4; ++i) address->ipv4[i] = static_cast<uint8_t>(ip.uint32 >> (24 - 8 * i));
  }
  return true;
}

bool FixedValuesGetAppId(const FWPS_INCOMING_VALUES* values, const FWP_BYTE_BLOB** appId) {
  const FWP_VALUE& value = Value(values, FWPS_FIELD_ALE_APP_ID);
  if (!TvnIsAleLayer(values->layerId) || value.type != FWP_BYTE_BLOB_TYPE || !value.byteBlob ||
      (value.byteBlob->size > 0 && !value.byteBlob->data))
    return Fail("FixedValuesGetAppId failed", values);
  *appId = value.byteBlob;
  return true;
}

bool FixedValuesGetUserId(const FWPS_INCOMING_VALUES* values, const uint8_t** sid, uint32_t* sidLength) {
  const FWP_VALUE& value = Value(values, FWPS_FIELD_ALE_USER_ID);
  if (!TvnIsAleLayer(values->layerId) || value.type != FWP_SID || !value.byteBlob || !value.byteBlob->data)
    return Fail("FixedValuesGetUserId failed", values);
  // Revision, sub-authority count, 6-byte authority, 4 bytes per sub-authority.
  const FWP_BYTE_BLOB* blob = value.byteBlob;
  if (blob->size < 8 || blob->size < 8u + 4u * blob->data[1]) return Fail("FixedValuesGetUserId failed", values);
  *sid = blob->data;
  *sidLength = 8u + 4u * blob->data[1];
  return true;
}

void FixedValuesGetInterface(const FWPS_INCOMING_VALUES* values, uint32_t* interfaceIndex,
                             uint32_t* subInterfaceIndex) {
  const FWP_VALUE& index = Value(values, FWPS_FIELD_INTERFACE_INDEX);
  const FWP_VALUE& subIndex = Value(values, FWPS_FIELD_SUB_INTERFACE_INDEX);
  *interfaceIndex = index.type == FWP_UINT32 ? index.uint32 : 0;
  *subInterfaceIndex = subIndex.type == FWP_UINT32 ? subIndex.uint32 : 0;
}

bool FixedValuesGetDirection(const FWPS_INCOMING_VALUES* values, bool* inbound) {
  uint16_t layer = values->layerId;
  const FWP_VALUE& value = Value(values, FWPS_FIELD_DIRECTION);
  if (!(TvnIsDatagramLayer(layer) || TvnIsStreamLayer(layer) || TvnIsFlowEstablishedLayer(layer)) ||
      value.type != FWP_UINT32)
    return Fail("FixedValuesGetDirection failed", values);
  *inbound = value.uint32 == FWP_DIRECTION_INBOUND;
  return true;
}
