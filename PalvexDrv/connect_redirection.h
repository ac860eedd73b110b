// Connect redirection and stream inspection. No callout is registered at
// the connect-redirect or stream layers, so in the running driver nothing
// here classifies: the pending-connect list stays empty, purges find
// nothing and CompleteRedirect never finds its connect. The logic is whole
// all the same, for the day those callouts are registered.
#pragma once

#include <cstddef>
#include <cstdint>

#include "PalvexDrv/driver_config.h"
#include "PalvexDrv/kernel/fwp.h"
#include "shared/driver_records.h"
#include "shared/ntstatus.h"

struct FlowContext;

// One held-back connect ("RCon" pool).
struct PendingConnect {
  PendingConnect* next;
  PendingConnect* prev;
  uint64_t classifyHandle;
  uint64_t endpointHandle;
  uint8_t kept;  // completed, and kept for stream inspection
  uint16_t layerId;
  uint64_t filterId;
  FWPS_CLASSIFY_OUT0 classifyOut;  // completed with permit when the connect goes on
  uint64_t creationTime;           // unbiased interrupt time
};

// A pending connect expires this long after its creation (kept: longer).
constexpr uint64_t kTvnPendingConnectExpiry = 10ull * 10000000;  // 100-ns units
constexpr uint64_t kTvnKeptConnectExpiry = 60ull * 10000000;
// Purges in a row that found abandoned connects before the engine stops.
constexpr uint32_t kTvnAbandonedPurgeLimit = 3;

// An empty list. Once, at registration.
void TvnPendingConnectListInitialize();
// Pending connects held; read without the lock.
uint32_t TvnPendingConnectCount();

// A zeroed record with the fields set and the creation time now; null,
// logged, when out of memory.
PendingConnect* TvnCreatePendingConnect(uint64_t classifyHandle, uint16_t layerId, uint64_t filterId,
                                        const FWPS_CLASSIFY_OUT0* classifyOut, uint64_t endpointHandle);
void TvnFreePendingConnect(PendingConnect* record);
// Appends at the tail.
void TvnInsertPendingConnect(PendingConnect* record);
// Takes out, from the oldest: with first, the oldest; else the first that
// is not kept and has classifyHandle (nonzero), or is kept and has
// endpointHandle (nonzero), or, with expiredOnly, has expired. Null when
// none does.
PendingConnect* TvnFindPendingConnect(uint64_t classifyHandle, uint64_t endpointHandle, bool first, bool expiredOnly);
// Frees the kept connect of endpointHandle; false when there is none.
bool TvnTakeKeptPendingConnect(uint64_t endpointHandle);
// Completes (with permit) and frees pending connects: all of them, or the
// expired ones (each reported as abandoned; the third such purge in a row
// stops the engine in emergency).
void TvnPurgePendingConnects(bool all);

// A TCP connect at a connect-redirect layer: held back and reported as
// EventConnectRedirect; on any failure it passes.
void TvnClassifyConnectRedirect(const FWPS_INCOMING_VALUES* inFixedValues,
                                const FWPS_INCOMING_METADATA_VALUES* inMetaValues, const void* classifyContext,
                                const FWPS_FILTER1* filter, FWPS_CLASSIFY_OUT0* classifyOut,
                                const DriverConfig& config);
// The CompleteRedirect request once its header passed the request checks:
// STATUS_NO_SUCH_ALIAS when no connect is pending with its classifyHandle,
// else the connect goes on (redirected with verdict 0x2, kept with 0x4).
NTSTATUS TvnCompleteRedirect(const DriverEvent* header);

// A segment of a stream flow with a context: the first line of the first
// sent data is matched against the host masks and insertBytes injected
// after it; inspection ends (the flow loses its context) as soon as there
// is nothing more to do.
void TvnClassifyStream(const FWPS_INCOMING_VALUES* inFixedValues, const FWPS_INCOMING_METADATA_VALUES* inMetaValues,
                       FlowContext* flowContext, FWPS_STREAM_CALLOUT_IO_PACKET0* ioPacket,
                       FWPS_CLASSIFY_OUT0* classifyOut, const DriverConfig& config);
// Whether data's first line (up to its first line feed) carries streamPrefix
// then a host, up to streamSeparator, that a mask of hostMasks matches;
// reads nothing past the first line. The flow's segment is not touched.
bool TvnStreamFirstLineMatches(const uint8_t* data, size_t length, const DriverConfig& config);
// On a match, injects the segment with insertBytes after its first line as
// sent data and counts them in bytesSent; true when that injection was
// accepted.
bool TvnMatchStreamFirstLine(FlowContext* flowContext, const uint8_t* data, size_t length, const DriverConfig& config);
// A mask of hostMasks: "?" one byte, "*" any run, a lower-case mask letter
// also matches its upper-case letter.
bool TvnHostMaskMatches(const uint8_t* mask, size_t maskLength, const uint8_t* host, size_t hostLength);

// Injects length bytes of data (an "SDIn" block, or null with a
// disconnect flag and length 0) into the flow's stream. Takes data in every
// case: freed by the completion, or here on failure. STATUS_INVALID_PARAMETER
// for an empty injection without a disconnect flag, STATUS_NO_MEMORY, or
// the platform's status.
NTSTATUS InjectStreamData(uint64_t flowHandle, uint32_t calloutId, uint16_t layerId, uint32_t streamFlags,
                          uint8_t* data, size_t length);
void TvnInjectStreamComplete(void* context, NET_BUFFER_LIST* netBufferList, bool dispatchLevel);
