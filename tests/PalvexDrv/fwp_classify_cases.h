// One table of classification cases run over both backends of the kernel
// facade: filters with their conditions and callouts are set up through the
// facade's own calls, then one outbound TCP connect is classified at the
// auth-connect layer. Each backend's test defines ClassifyConnectTo (how a
// connect reaches its classification) and instantiates the table.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "PalvexDrv/kernel/fwp.h"

namespace fwpcases {

struct SFilterSpec {
  FWP_ACTION_TYPE act = FWP_ACTION_CONTINUE;  // what its callout decides
  int protocol = -1;                          // condition; -1: none
  int remotePort = -1;                        // condition; -1: none
  bool onFlow = false;                        // callout conditional on a flow (a connect has none)
  bool registered = true;                     // runtime callout registered
  bool refused = false;                       // its callout refuses the filter when it is added
};

struct SCase {
  const char* name;
  std::vector<SFilterSpec> filters;
  uint16_t port;               // the connect's remote port
  bool blocked;                // the verdict
  std::vector<size_t> called;  // the filters whose callouts ran, in order
};

inline void PrintTo(const SCase& c, std::ostream* out) { *out << c.name; }

// Defined by each backend's test: true when a connect from 127.0.0.1 to
// 127.0.0.2:port is blocked.
bool ClassifyConnectTo(uint16_t port);

inline std::map<uint32_t, size_t>& CalloutFilters() {  // runtime id -> filter index
  static std::map<uint32_t, size_t> filters;
  return filters;
}
inline std::map<uint32_t, FWP_ACTION_TYPE>& CalloutActs() {
  static std::map<uint32_t, FWP_ACTION_TYPE> acts;
  return acts;
}
inline std::vector<size_t>& Called() {
  static std::vector<size_t> called;
  return called;
}
inline bool& RefuseNextFilter() {
  static bool refuse = false;
  return refuse;
}

inline void Classify(const FWPS_INCOMING_VALUES*, const FWPS_INCOMING_METADATA_VALUES*, void*, const void*,
                     const FWPS_FILTER1* filter, uint64_t, FWPS_CLASSIFY_OUT0* out) {
  Called().push_back(CalloutFilters()[filter->action.calloutId]);
  out->actionType = CalloutActs()[filter->action.calloutId];
}
inline NTSTATUS Notify(FWPS_CALLOUT_NOTIFY_TYPE type, const GUID*, FWPS_FILTER1*) {
  return type == FWPS_CALLOUT_NOTIFY_ADD_FILTER && RefuseNextFilter() ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

inline GUID Key(uint32_t n) { return GUID{0xC1A55000u + n, 0x7E57, 0x0001, {'C', 'A', 'S', 'E', 'S', 0, 0, 0}}; }

class FacadeClassifies : public ::testing::TestWithParam<SCase> {};

TEST_P(FacadeClassifies, AsItsFiltersAndCalloutsSay) {
  const SCase& c = GetParam();
  CalloutFilters().clear();
  CalloutActs().clear();
  Called().clear();
  FWPM_SESSION0 session;
  session.flags = FWPM_SESSION_FLAG_DYNAMIC;
  HANDLE engine = nullptr;
  ASSERT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &engine), STATUS_SUCCESS);
  FWPM_SUBLAYER0 subLayer;
  subLayer.subLayerKey = Key(99);
  ASSERT_EQ(FwpmSubLayerAdd0(engine, &subLayer, nullptr), STATUS_SUCCESS);
  int device = 0;  // only looked at for being there
  std::vector<GUID> registered;
  for (size_t i = 0; i < c.filters.size(); ++i) {
    const SFilterSpec& spec = c.filters[i];
    const GUID key = Key(static_cast<uint32_t>(i));
    if (spec.registered) {
      FWPS_CALLOUT1 callout;
      callout.calloutKey = key;
      callout.flags = spec.onFlow ? FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW : 0;
      callout.classifyFn = Classify;
      callout.notifyFn = Notify;
      uint32_t id = 0;
      ASSERT_EQ(FwpsCalloutRegister1(reinterpret_cast<DEVICE_OBJECT*>(&device), &callout, &id), STATUS_SUCCESS);
      CalloutFilters()[id] = i;
      CalloutActs()[id] = spec.act;
      registered.push_back(key);
    }
    FWPM_CALLOUT0 object;
    object.calloutKey = key;
    object.applicableLayer = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    ASSERT_EQ(FwpmCalloutAdd0(engine, &object, nullptr, nullptr), STATUS_SUCCESS);
    std::vector<FWPM_FILTER_CONDITION0> conditions;
    if (spec.protocol >= 0) {
      conditions.push_back({FWPM_CONDITION_IP_PROTOCOL, FWP_MATCH_EQUAL, {}});
      conditions.back().conditionValue.type = FWP_UINT8;
      conditions.back().conditionValue.uint8 = static_cast<uint8_t>(spec.protocol);
    }
    if (spec.remotePort >= 0) {
      conditions.push_back({FWPM_CONDITION_IP_REMOTE_PORT, FWP_MATCH_EQUAL, {}});
      conditions.back().conditionValue.type = FWP_UINT16;
      conditions.back().conditionValue.uint16 = static_cast<uint16_t>(spec.remotePort);
    }
    FWPM_FILTER0 filter;
    filter.layerKey = FWPM_LAYER_ALE_AUTH_CONNECT_V4;
    filter.subLayerKey = subLayer.subLayerKey;
    filter.numFilterConditions = static_cast<uint32_t>(conditions.size());
    filter.filterCondition = conditions.data();
    filter.action = {FWP_ACTION_CALLOUT_TERMINATING, key};
    RefuseNextFilter() = spec.refused;
    EXPECT_EQ(FwpmFilterAdd0(engine, &filter, nullptr, nullptr), spec.refused ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS)
        << "filter " << i;
    RefuseNextFilter() = false;
  }

  EXPECT_EQ(ClassifyConnectTo(c.port), c.blocked);
  EXPECT_EQ(Called(), c.called);

  for (const GUID& key : registered) EXPECT_EQ(FwpsCalloutUnregisterByKey0(&key), STATUS_SUCCESS);
  EXPECT_EQ(FwpmEngineClose0(engine), STATUS_SUCCESS);
}

constexpr FWP_ACTION_TYPE kBlock = FWP_ACTION_BLOCK;
constexpr FWP_ACTION_TYPE kPermit = FWP_ACTION_PERMIT;
constexpr FWP_ACTION_TYPE kContinue = FWP_ACTION_CONTINUE;

inline std::vector<SCase> Cases() {
  return {
      {"no_filter_passes", {}, 53, false, {}},
      {"matching_port_blocks", {{kBlock, -1, 53}}, 53, true, {0}},
      {"other_port_is_not_called", {{kBlock, -1, 53}}, 80, false, {}},
      {"other_protocol_is_not_called", {{kBlock, 17, 53}}, 53, false, {}},
      {"both_conditions_hold", {{kBlock, 6, 53}}, 53, true, {0}},
      {"continue_goes_on_to_a_block", {{kContinue}, {kBlock}}, 53, true, {0, 1}},
      {"permit_stops_before_a_block", {{kPermit}, {kBlock}}, 53, false, {0}},
      {"block_stops_before_the_rest", {{kBlock}, {kPermit}}, 53, true, {0}},
      {"only_continues_pass", {{kContinue}, {kContinue}}, 53, false, {0, 1}},
      {"flow_callout_without_a_context_is_skipped", {{kBlock, -1, -1, true}, {kContinue}}, 53, false, {1}},
      {"unregistered_callout_is_skipped", {{kBlock, -1, -1, false, false}, {kContinue}}, 53, false, {1}},
      {"refused_filter_is_not_added", {{kBlock, -1, -1, false, true, true}, {kContinue}}, 53, false, {1}},
  };
}

}  // namespace fwpcases

#define TARNWICK_FWP_CLASSIFY_CASES(backend)                                                              \
  INSTANTIATE_TEST_SUITE_P(backend, FacadeClassifies, ::testing::ValuesIn(fwpcases::Cases()),              \
                           [](const auto& info) { return std::string(info.param.name); })
