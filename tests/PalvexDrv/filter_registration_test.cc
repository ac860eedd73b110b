#include "PalvexDrv/filter_registration.h"

#include <gtest/gtest.h>

#include "PalvexDrv/datagram_diversion.h"
#include "tests/PalvexDrv/filter_fixture.h"

namespace drvtest {
namespace {

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

struct SRow {
  const char* name;
  GUID key;
  GUID layer;
  uint32_t protocol;
  bool conditionalOnFlow;
};

const SRow kRows[] = {
    {"Palvex Datagram IPv4", {0xC1C2DB97, 0xC318, 0x4CCD, {0x95, 0x00, 0x89, 0xD3, 0x16, 0x26, 0xA2, 0xCE}},
     FWPM_LAYER_DATAGRAM_DATA_V4, 17, true},
    {"Palvex Datagram IPv6", {0x4C1AA302, 0x8710, 0x43E8, {0x8C, 0x46, 0x2C, 0xE7, 0xB0, 0x34, 0x36, 0xCA}},
     FWPM_LAYER_DATAGRAM_DATA_V6, 17, true},
    {"Palvex Flow Established IPv4", {0x5E5FAF08, 0x3BCA, 0x404F, {0xB7, 0xB1, 0xAA, 0xBC, 0x91, 0x8C, 0xC5, 0x2C}},
     FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4, 17, false},
    {"Palvex Flow Established IPv6", {0xE37BCF9F, 0x3F0E, 0x4DD9, {0x98, 0xF6, 0xC6, 0x08, 0x38, 0x0F, 0xEE, 0x16}},
     FWPM_LAYER_ALE_FLOW_ESTABLISHED_V6, 17, false},
    {"Palvex Auth Connect IPv4", {0x6207F329, 0x96B3, 0x45AA, {0xBD, 0x5C, 0xDB, 0xCF, 0x67, 0x70, 0xD7, 0x4E}},
     FWPM_LAYER_ALE_AUTH_CONNECT_V4, 6, false},
    {"Palvex Auth Connect IPv6", {0x086D9A7E, 0xC09E, 0x443E, {0x86, 0x8C, 0x92, 0xC7, 0xBB, 0xBA, 0xC9, 0xAB}},
     FWPM_LAYER_ALE_AUTH_CONNECT_V6, 6, false},
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
    const GUID& key = row.key;
    EXPECT_EQ(*g_TvnCallouts[i].calloutKey, key);
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
  std::string name;
  const char* function;
  unsigned nth;
  NTSTATUS want;
  std::string message;  // the start of its trace line
};

void PrintTo(const SFailStep& step, std::ostream* os) { *os << step.name; }

class RegistrationFailure : public ::testing::TestWithParam<SFailStep> {};

TEST_P(RegistrationFailure, LoadFailsAndUndoesEveryStep) {
  const SFailStep& step = GetParam();
  ksim::ResetPool();
  ksim::ClearTrace();
  ksim::FailNthCall(step.function, step.nth, STATUS_UNSUCCESSFUL);
  // The simulator ends the test when the failed load leaves any platform object.
  EXPECT_EQ(ksim::LoadDriver(DriverEntry), step.want);
  EXPECT_EQ(ksim::CancelFailures(), 0u) << "the step was never reached";
  EXPECT_FALSE(ksim::DriverLoaded());
  EXPECT_FALSE(ksim::DeviceInfo().initialized);
  EXPECT_EQ(ksim::LivePoolBlocks(), 0u);
  EXPECT_EQ(g_DatagramCalloutIdV4.load(), 0u);
  EXPECT_EQ(g_DatagramCalloutIdV6.load(), 0u);
  bool traced = false;
  for (const std::string& line : ksim::TraceLines()) traced |= line.rfind(step.message, 0) == 0;
  EXPECT_TRUE(traced) << step.message;
  // Nothing of the failed attempt stands in the way of the next load.
  ASSERT_EQ(ksim::LoadDriver(DriverEntry), STATUS_SUCCESS);
  EXPECT_EQ(ksim::Filtering().filters.size(), 6u);
  ksim::UnloadDriver();
}

// Every call of every step, the per-row ones once for each row.
std::vector<SFailStep> EveryRegistrationStep() {
  std::vector<SFailStep> steps = {
      {"redirect_handle", "FwpsRedirectHandleCreate0", 1, STATUS_UNSUCCESSFUL, "42:FwpsRedirectHandleCreate0 failed"},
      {"transport_injection", "FwpsInjectionHandleCreate0", 1, STATUS_UNSUCCESSFUL,
       "64:FwpsInjectionHandleCreate failed(FWPS_INJECTION_TYPE_TRANSPORT)"},
      {"stream_injection", "FwpsInjectionHandleCreate0", 2, STATUS_UNSUCCESSFUL,
       "71:FwpsInjectionHandleCreate failed(FWPS_INJECTION_TYPE_STREAM)"},
      {"generic_object", "NdisAllocateGenericObject", 1, STATUS_NO_MEMORY, "78:NdisAllocateGenericObject failed"},
      {"nbl_pool", "NdisAllocateNetBufferListPool", 1, STATUS_NO_MEMORY, "96:NdisAllocateNetBufferListPool failed"},
      {"engine_open", "FwpmEngineOpen0", 1, STATUS_UNSUCCESSFUL, "132:FwpmEngineOpen0 failed"},
      {"provider", "FwpmProviderAdd0", 1, STATUS_UNSUCCESSFUL, "144:FwpmProviderAdd0 failed"},
      {"sublayer", "FwpmSubLayerAdd0", 1, STATUS_UNSUCCESSFUL, "160:FwpmSubLayerAdd failed"},
  };
  struct SPerRow {
    const char* name;
    const char* function;
    const char* message;  // its value: the first 32 bits of the row's key
  };
  const SPerRow perRow[] = {
      {"callout_register", "FwpsCalloutRegister1", "114:FwpsCalloutRegister1 failed"},
      {"callout_add", "FwpmCalloutAdd0", "176:FwpmCalloutAdd0 failed"},
      {"filter_add", "FwpmFilterAdd0", "215:FwpmFilterAdd0 failed"},
  };
  for (const SPerRow& r : perRow)
    for (unsigned nth = 1; nth <= std::size(kRows); ++nth) {
      std::string message = std::string(r.message) + " status=" + std::to_string(uint32_t(STATUS_UNSUCCESSFUL)) +
                            " value=" + std::to_string(kRows[nth - 1].key.Data1);
      steps.push_back({std::string(r.name) + "_" + std::to_string(nth), r.function, nth, STATUS_UNSUCCESSFUL, message});
    }
  return steps;
}

INSTANTIATE_TEST_SUITE_P(EveryStep, RegistrationFailure, ::testing::ValuesIn(EveryRegistrationStep()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace drvtest
