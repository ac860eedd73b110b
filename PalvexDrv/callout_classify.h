// The one classify function of every callout: the driver's global guards,
// then the handler of the packet's layer.
#pragma once

#include <cstdint>

#include "PalvexDrv/driver_config.h"
#include "PalvexDrv/kernel/fwp.h"

// Classification works only below this count of queued events.
constexpr uint32_t kTvnClassifyEventLimit = 1000;
// Flow contexts held at most: a new flow beyond it takes the place of the
// least recently active one.
constexpr uint32_t kTvnClassifyFlowLimit = 1000;

// Without the write right nothing is decided. Otherwise the action is
// permit unless a handler decides; while stopped, with 1000 events queued
// (logged), or when the oldest queued event is older than
// staleEventSeconds (the engine stops in emergency), nothing more happens.
void TvnCalloutClassify(const FWPS_INCOMING_VALUES* inFixedValues, const FWPS_INCOMING_METADATA_VALUES* inMetaValues,
                        void* layerData, const void* classifyContext, const FWPS_FILTER1* filter,
                        uint64_t flowContext, FWPS_CLASSIFY_OUT0* classifyOut);

// The handler of each layer, under config: the program's own connects
// pass, TCP connects are reported (and blocked with blockTcpPort53), flows
// get their contexts, datagrams and stream segments of flows with a
// context go to their classifications.
void TvnClassifyByLayer(const FWPS_INCOMING_VALUES* inFixedValues, const FWPS_INCOMING_METADATA_VALUES* inMetaValues,
                        void* layerData, const void* classifyContext, const FWPS_FILTER1* filter,
                        uint64_t flowContext, FWPS_CLASSIFY_OUT0* classifyOut, const DriverConfig& config);
