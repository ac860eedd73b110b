// The pool tags of the driver's records, one per kind.
#pragma once

#include "PalvexDrv/kernel/pool.h"

constexpr uint32_t kTvnTagEvent = PoolTag("Evnt");           // DriverEvent + data
constexpr uint32_t kTvnTagConfig = PoolTag("Conf");          // one published DriverConfig
constexpr uint32_t kTvnTagFlow = PoolTag("Flow");            // FlowContext
constexpr uint32_t kTvnTagPendingConnect = PoolTag("RCon");  // PendingConnect
constexpr uint32_t kTvnTagInjectUdp = PoolTag("Iudp");       // packet handed to injection
constexpr uint32_t kTvnTagDatagramCopy = PoolTag("UDPd");    // datagram longer than the stack copy
constexpr uint32_t kTvnTagStreamData = PoolTag("SDat");      // inspected stream data
constexpr uint32_t kTvnTagStreamInject = PoolTag("SDIn");    // stream data to inject
constexpr uint32_t kTvnTagNdisObject = PoolTag("NdOb");
constexpr uint32_t kTvnTagNblPool = PoolTag("NBLP");
