// What the filtering platform hands a classify function: the layer with its
// values, and metadata whose presence bits say which fields are set.
// Simplified: one field numbering serves every layer, and a value a layer
// does not carry is FWP_EMPTY. Addresses and ports are in host order, as the
// platform gives them; a user id is the binary SID of the connecting user.
#pragma once

#include <cstdint>

enum FWPS_LAYER_ID : uint16_t {
  FWPS_LAYER_STREAM_V4 = 20,
  FWPS_LAYER_STREAM_V6 = 22,
  FWPS_LAYER_DATAGRAM_DATA_V4 = 24,
  FWPS_LAYER_DATAGRAM_DATA_V6 = 26,
  FWPS_LAYER_ALE_AUTH_CONNECT_V4 = 48,
  FWPS_LAYER_ALE_AUTH_CONNECT_V6 = 50,
  FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4 = 52,
  FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6 = 54,
  FWPS_LAYER_ALE_CONNECT_REDIRECT_V4 = 66,
  FWPS_LAYER_ALE_CONNECT_REDIRECT_V6 = 67,
};

constexpr bool FwpsLayerIsDatagram(uint16_t layerId) {
  return layerId == FWPS_LAYER_DATAGRAM_DATA_V4 || layerId == FWPS_LAYER_DATAGRAM_DATA_V6;
}
constexpr bool FwpsLayerIsStream(uint16_t layerId) {
  return layerId == FWPS_LAYER_STREAM_V4 || layerId == FWPS_LAYER_STREAM_V6;
}
constexpr bool FwpsLayerIsFlowEstablished(uint16_t layerId) {
  return layerId == FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4 || layerId == FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6;
}
constexpr bool FwpsLayerIsV6(uint16_t layerId) {
  switch (layerId) {
    case FWPS_LAYER_STREAM_V6:
    case FWPS_LAYER_DATAGRAM_DATA_V6:
    case FWPS_LAYER_ALE_AUTH_CONNECT_V6:
    case FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6:
    case FWPS_LAYER_ALE_CONNECT_REDIRECT_V6:
      return true;
    default:
      return false;
  }
}

enum FWPS_FIELD : uint32_t {
  FWPS_FIELD_IP_PROTOCOL,        // FWP_UINT8
  FWPS_FIELD_IP_LOCAL_ADDRESS,   // FWP_UINT32 (IPv4) or FWP_BYTE_ARRAY16_TYPE (IPv6)
  FWPS_FIELD_IP_LOCAL_PORT,      // FWP_UINT16
  FWPS_FIELD_IP_REMOTE_ADDRESS,  // as the local address
  FWPS_FIELD_IP_REMOTE_PORT,     // FWP_UINT16
  FWPS_FIELD_DIRECTION,          // FWP_UINT32, FWP_DIRECTION
  FWPS_FIELD_INTERFACE_INDEX,    // FWP_UINT32
  FWPS_FIELD_SUB_INTERFACE_INDEX,  // FWP_UINT32
  FWPS_FIELD_ALE_APP_ID,         // FWP_BYTE_BLOB_TYPE: UTF-16 image path with its NUL
  FWPS_FIELD_ALE_USER_ID,        // FWP_SID: binary SID
  FWPS_FIELD_MAX,
};

enum FWP_DATA_TYPE : uint32_t {
  FWP_EMPTY,
  FWP_UINT8,
  FWP_UINT16,
  FWP_UINT32,
  FWP_UINT64,
  FWP_BYTE_ARRAY16_TYPE,
  FWP_BYTE_BLOB_TYPE,
  FWP_SID,
};

enum FWP_DIRECTION : uint32_t { FWP_DIRECTION_OUTBOUND = 0, FWP_DIRECTION_INBOUND = 1 };

struct FWP_BYTE_ARRAY16 {
  uint8_t byteArray16[16];
};

struct FWP_BYTE_BLOB {
  uint32_t size;
  const uint8_t* data;
};

struct FWP_VALUE {
  FWP_DATA_TYPE type = FWP_EMPTY;
  union {
    uint8_t uint8;
    uint16_t uint16;
    uint32_t uint32;
    uint64_t uint64;
    const FWP_BYTE_ARRAY16* byteArray16;
    const FWP_BYTE_BLOB* byteBlob;  // also the SID of FWP_SID
  };
};

struct FWPS_INCOMING_VALUE {
  FWP_VALUE value;
};

struct FWPS_INCOMING_VALUES {
  uint16_t layerId = 0;
  uint32_t valueCount = FWPS_FIELD_MAX;
  FWPS_INCOMING_VALUE incomingValue[FWPS_FIELD_MAX] = {};
};

// Presence bits of FWPS_INCOMING_METADATA_VALUES::currentMetadataValues.
constexpr uint32_t FWPS_METADATA_FIELD_COMPARTMENT_ID = 0x1;
constexpr uint32_t FWPS_METADATA_FIELD_IP_HEADER_SIZE = 0x2;
constexpr uint32_t FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE = 0x4;
constexpr uint32_t FWPS_METADATA_FIELD_FLOW_HANDLE = 0x8;
constexpr uint32_t FWPS_METADATA_FIELD_PROCESS_ID = 0x10;
constexpr uint32_t FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE = 0x20;
constexpr uint32_t FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE = 0x40;

struct FWPS_INCOMING_METADATA_VALUES {
  uint32_t currentMetadataValues = 0;
  uint32_t compartmentId = 0;
  uint32_t ipHeaderSize = 0;
  uint32_t transportHeaderSize = 0;
  uint64_t flowHandle = 0;
  uint64_t processId = 0;
  uint64_t transportEndpointHandle = 0;
  void* redirectRecords = nullptr;  // connect-redirect layers
};

inline bool FWPS_IS_METADATA_FIELD_PRESENT(const FWPS_INCOMING_METADATA_VALUES* metadata, uint32_t field) {
  return (metadata->currentMetadataValues & field) == field;
}
