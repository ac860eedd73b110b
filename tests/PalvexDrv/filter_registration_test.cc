#include "PalvexDrv/filter_registration.h"

#include <gtest/gtest.h>

#include "PalvexDrv/datagram_diversion.h"
#include "tests/PalvexDrv/filter_fixture.h"

namespace drvtest {
namespace {

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

struct SRow {
  const char* name;
  GUID layer;
  uint32_t protocol;
  bool conditionalOnFlow;
};

const SRow kRows[] = {
    {"Palvex Datagram IPv4", FWPM_LAYER_DATAGRAM_DATA_V4, 17, true},
    {"Palvex Datagram IPv6", FWPM_LAYER_DATAGRAM_DATA_V6, 17, true},
    {"Palvex Flow Established IPv4", FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4, 17, false},
    {"Palvex Flow Established IPv6", FWPM_LAYER_ALE_FLOW_ESTABLISHED_V6, 17, false},
    {"Palvex Auth Connect IPv4", FWPM_LAYER_ALE_AUTH_CONNECT_V4, 6, false},
    {"Palvex Auth Connect IPv6", FWPM_LAYER_ALE_AUTH_CONNECT_V6, 6, false},
};

using FilterRegistrationTest = FilterTest;

TEST_F(FilterRegistrationTest, AddsTheTableToADynamicSession) {
  const GUID provider = {0xFCEB62A1, 0x6D60, 0x4E04, {0xB9, 0x23, 0xB8, 0x44, 0x7B, 0x69, 0x52, 0xB7}};
  const GUID subLayer = {0x37588053, 0x758F, 0x4CD8, {0x93, 0x48, 0x5D, 0x96, 0x15, 0x21, 0xED, 0x57}};
  ksim::SFilteringInfo f = ksim::Filtering();
  EXPECT_TRUE(f.sessionOpen);
  EXPECT_EQ(f.sessionFlags, FWPM_SESSION_FLAG_DYNAMIC);
  EXPECT_EQ(f.authnService, RPC_C_AUTHN_WINNT);
  ASSERT_EQ(f.providers.size(), 1u);
  EXPECT_EQ(f.providers[0].key, provider);
  EXPECT_EQ(Narrow(f.providers[0].name), "Palvex Provider");
  EXPECT_EQ(f.providers[0].flags, 0u);
  ASSERT_EQ(f.subLayers.size(), 1u);
  EXPECT_EQ(f.subLayers[0].key, subLayer);
  EXPECT_EQ(Narrow(f.subLayers[0].name), "Palvex Sublayer");
  EXPECT_EQ(Narrow(f.subLayers[0].description), "Palvex Sublayer");
  EXPECT_EQ(f.subLayers[0].providerKey, provider);
  EXPECT_EQ(f.subLayers[0].weight, 0x800A);

  ASSERT_EQ(f.callouts.size(), 6u);
  ASSERT_EQ(f.filters.size(), 6u);
  ASSERT_EQ(f.registered.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    const SRow& row = kRows[i];
    SCOPED_TRACE(row.name);
    const GUID& key = *g_TvnCallouts[i].calloutKey;
    EXPECT_EQ(f.registered[i].key, key);
    EXPECT_TRUE(f.registered[i].hasClassify && f.registered[i].hasNotify && f.registered[i].hasFlowDelete);
    EXPECT_EQ(f.registered[i].flags, row.conditionalOnFlow ? FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW : 0u);
    EXPECT_EQ(f.callouts[i].key, key);
    EXPECT_EQ(Narrow(f.callouts[i].name), row.name);
    EXPECT_EQ(f.callouts[i].layerKey, row.layer);
    EXPECT_EQ(f.callouts[i].providerKey, provider);
    const ksim::SFilterInfo& filter = f.filters[i];
    EXPECT_EQ(Narrow(filter.name), row.name);
    EXPECT_EQ(filter.layerKey, row.layer);
    EXPECT_EQ(filter.subLayerKey, subLayer);
    EXPECT_EQ(filter.providerKey, provider);
    EXPECT_TRUE(filter.automaticWeight);
    EXPECT_EQ(filter.action, FWP_ACTION_CALLOUT_TERMINATING);
    EXPECT_EQ(filter.calloutKey, key);
    ASSERT_EQ(filter.conditions.size(), 2u);
    EXPECT_EQ(filter.conditions[0].fieldKey, FWPM_CONDITION_IP_PROTOCOL);
    EXPECT_EQ(filter.conditions[0].type, FWP_UINT8);
    EXPECT_EQ(filter.conditions[0].value, row.protocol);
    EXPECT_EQ(filter.conditions[1].fieldKey, FWPM_CONDITION_IP_REMOTE_PORT);
    EXPECT_EQ(filter.conditions[1].type, FWP_UINT16);
    EXPECT_EQ(filter.conditions[1].value, 53u);
  }
  // The datagram callouts' runtime ids are kept; no stream callout exists.
  EXPECT_EQ(g_DatagramCalloutIdV4.load(), f.registered[0].id);
  EXPECT_EQ(g_DatagramCalloutIdV6.load(), f.registered[1].id);
  EXPECT_EQ(g_StreamCalloutIdV4.load(), 0u);
  EXPECT_EQ(g_StreamCalloutIdV6.load(), 0u);

  EXPECT_EQ(f.injectionHandles,
            (std::vector<FWPS_INJECTION_TYPE>{FWPS_INJECTION_TYPE_TRANSPORT, FWPS_INJECTION_TYPE_STREAM}));
  ASSERT_EQ(f.redirectHandles.size(), 1u);
  EXPECT_EQ(f.redirectHandles[0], provider);
  EXPECT_EQ(f.genericObjects, 1u);
  EXPECT_EQ(f.netBufferListPools, 1u);
}

TEST_F(FilterRegistrationTest, UnloadRemovesEveryObjectAndContext) {
  StartWith({});
  OpenFlow();
  OpenFlow(SEnds::V6(), kFlow + 1);
  ASSERT_EQ(ksim::Filtering().flowContexts, 2u);
  // The simulator ends the test when anything is left at unload; what it
  // cannot see is the driver's own memory.
  m_client.Close();
  ksim::UnloadDriver();
  EXPECT_EQ(ksim::LivePoolBlocks(kTvnTagFlow), 0u);
  ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(m_client.Open(), 0u);
}

struct SFailStep {
  const char* name;
  const char* function;
  unsigned nth;
  NTSTATUS want;
  const char* message;
};

class RegistrationFailure : public ::testing::TestWithParam<SFailStep> {};

TEST_P(RegistrationFailure, LoadFailsAndUndoesEveryStep) {
  const SFailStep& step = GetParam();
  ksim::ResetPool();
  ksim::ClearTrace();
  ksim::FailNthCall(step.function, step.nth, STATUS_UNSUCCESSFUL);
  // The simulator ends the test when the failed load leaves any platform object.
  EXPECT_EQ(ksim::LoadDriver(DriverEntry), step.want);
  EXPECT_FALSE(ksim::DriverLoaded());
  EXPECT_FALSE(ksim::DeviceInfo().initialized);
  EXPECT_EQ(ksim::LivePoolBlocks(), 0u);
  bool traced = false;
  for (const std::string& line : ksim::TraceLines()) traced |= line.rfind(step.message, 0) == 0;
  EXPECT_TRUE(traced) << step.message;
  // Nothing of the failed attempt stands in the way of the next load.
  ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
  EXPECT_EQ(ksim::Filtering().filters.size(), 6u);
  ksim::UnloadDriver();
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, RegistrationFailure,
    ::testing::Values(
        SFailStep{"redirect_handle", "FwpsRedirectHandleCreate0", 1, STATUS_UNSUCCESSFUL,
                  "42:FwpsRedirectHandleCreate0 failed"},
        SFailStep{"transport_injection", "FwpsInjectionHandleCreate0", 1, STATUS_UNSUCCESSFUL,
                  "64:FwpsInjectionHandleCreate failed(FWPS_INJECTION_TYPE_TRANSPORT)"},
        SFailStep{"stream_injection", "FwpsInjectionHandleCreate0", 2, STATUS_UNSUCCESSFUL,
                  "71:FwpsInjectionHandleCreate failed(FWPS_INJECTION_TYPE_STREAM)"},
        SFailStep{"generic_object", "NdisAllocateGenericObject", 1, STATUS_NO_MEMORY,
                  "78:NdisAllocateGenericObject failed"},
        SFailStep{"nbl_pool", "NdisAllocateNetBufferListPool", 1, STATUS_NO_MEMORY,
                  "96:NdisAllocateNetBufferListPool failed"},
        SFailStep{"first_callout", "FwpsCalloutRegister1", 1, STATUS_UNSUCCESSFUL,
                  "114:FwpsCalloutRegister1 failed status=3221225473 value=3250772887"},
        SFailStep{"last_callout", "FwpsCalloutRegister1", 6, STATUS_UNSUCCESSFUL,
                  "114:FwpsCalloutRegister1 failed status=3221225473 value=141400702"},
        SFailStep{"engine_open", "FwpmEngineOpen0", 1, STATUS_UNSUCCESSFUL, "132:FwpmEngineOpen0 failed"},
        SFailStep{"provider", "FwpmProviderAdd0", 1, STATUS_UNSUCCESSFUL, "144:FwpmProviderAdd0 failed"},
        SFailStep{"sublayer", "FwpmSubLayerAdd0", 1, STATUS_UNSUCCESSFUL, "160:FwpmSubLayerAdd failed"},
        SFailStep{"third_callout_add", "FwpmCalloutAdd0", 3, STATUS_UNSUCCESSFUL, "176:FwpmCalloutAdd0 failed"},
        SFailStep{"first_filter", "FwpmFilterAdd0", 1, STATUS_UNSUCCESSFUL, "215:FwpmFilterAdd0 failed"},
        SFailStep{"last_filter", "FwpmFilterAdd0", 6, STATUS_UNSUCCESSFUL, "215:FwpmFilterAdd0 failed"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drvtest
