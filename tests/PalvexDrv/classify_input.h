// Classify inputs built by hand, for calling the driver's classify
// functions directly, and an owner for the events they make.
#pragma once

#include <vector>

#include "PalvexDrv/event_queue.h"
#include "PalvexDrv/kernel/classify_values.h"
#include "PalvexDrv/layer_values.h"

namespace drvtest {

inline constexpr char16_t kImagePath[] = u"/usr/bin/dig";  // with its NUL: 13 UTF-16 units

// Classify inputs as the platform hands them over, built by hand.
struct SClassifyInput {
  FWPS_INCOMING_VALUES values;
  FWPS_INCOMING_METADATA_VALUES metadata;
  FWP_BYTE_BLOB appId{sizeof kImagePath, reinterpret_cast<const uint8_t*>(kImagePath)};
  std::vector<uint8_t> sidBytes;
  FWP_BYTE_BLOB sid{};
  FWP_BYTE_ARRAY16 local6{}, remote6{};

  explicit SClassifyInput(uint16_t layer, unsigned subAuthorities = 2) {
    values.layerId = layer;
    // S-1-5-21-... with the given number of sub-authorities.
    sidBytes = {1, static_cast<uint8_t>(subAuthorities), 0, 0, 0, 0, 0, 5};
    for (unsigned i = 0; i < subAuthorities; ++i) sidBytes.insert(sidBytes.end(), {uint8_t(21 + i), 0, 0, 0});
    sid = {static_cast<uint32_t>(sidBytes.size()), sidBytes.data()};
    Set(FWPS_FIELD_IP_PROTOCOL, FWP_UINT8).uint8 = 17;
    Set(FWPS_FIELD_IP_LOCAL_PORT, FWP_UINT16).uint16 = 50000;
    Set(FWPS_FIELD_IP_REMOTE_PORT, FWP_UINT16).uint16 = 53;
    Set(FWPS_FIELD_DIRECTION, FWP_UINT32).uint32 = FWP_DIRECTION_OUTBOUND;
    if (TvnIsV6Layer(layer)) {
      local6.byteArray16[15] = 1;
      remote6.byteArray16[0] = 0xfd;
      remote6.byteArray16[15] = 0x53;
      Set(FWPS_FIELD_IP_LOCAL_ADDRESS, FWP_BYTE_ARRAY16_TYPE).byteArray16 = &local6;
      Set(FWPS_FIELD_IP_REMOTE_ADDRESS, FWP_BYTE_ARRAY16_TYPE).byteArray16 = &remote6;
    } else {
      Set(FWPS_FIELD_IP_LOCAL_ADDRESS, FWP_UINT32).uint32 = 0x0A000002;   // 10.0.0.2
      Set(FWPS_FIELD_IP_REMOTE_ADDRESS, FWP_UINT32).uint32 = 0x0A000035;  // 10.0.0.53
    }
    if (TvnIsAleLayer(layer)) {
      Set(FWPS_FIELD_ALE_APP_ID, FWP_BYTE_BLOB_TYPE).byteBlob = &appId;
      Set(FWPS_FIELD_ALE_USER_ID, FWP_SID).byteBlob = &sid;
    }
    metadata.currentMetadataValues = FWPS_METADATA_FIELD_PROCESS_ID | FWPS_METADATA_FIELD_FLOW_HANDLE |
                                     FWPS_METADATA_FIELD_TRANSPORT_ENDPOINT_HANDLE;
    metadata.processId = 321;
    metadata.flowHandle = 0xF10;
    metadata.transportEndpointHandle = 0xE9D;
  }

  FWP_VALUE& Set(FWPS_FIELD field, FWP_DATA_TYPE type) {
    values.incomingValue[field].value.type = type;
    return values.incomingValue[field].value;
  }
};

struct SEventPtr {
  DriverEvent* event;
  ~SEventPtr() { if (event) TvnFreeEvent(event); }
};

}  // namespace drvtest
