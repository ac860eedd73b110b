// TvnEventList: every event the driver has for its client, oldest first.
// Classify threads append, GetEvent takes the oldest, and a GetEvent that
// finds the list empty waits in g_TvnPendingReadQueue until the next
// append completes it. g_TvnEventListLock guards the list and its count and
// is never held with another spin lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "PalvexDrv/kernel/ke.h"
#include "PalvexDrv/kernel/wdf.h"
#include "shared/driver_records.h"

// Classification queues events only below this count.
constexpr uint32_t kTvnEventListLimit = 1000;
// Log events are queued while fewer than this many events are queued, so
// the driver's last messages still fit behind a full list.
constexpr uint32_t kTvnLogEventLimit = 1010;

extern KSPIN_LOCK g_TvnEventListLock;
// Written under g_TvnEventListLock; read without it by anyone.
extern std::atomic<uint32_t> g_TvnEventListSize;
// The manual queue of parked GetEvent requests; set at device creation.
extern WDFQUEUE g_TvnPendingReadQueue;

// An empty list. Once, before the device takes requests.
void TvnEventListInitialize();

// A zeroed header with headerSize and dataLength set, and dataLength bytes
// behind it, from the "Evnt" pool; null when out of memory.
DriverEvent* TvnAllocateEvent(uint32_t dataLength);
void TvnFreeEvent(DriverEvent* event);

// Stamps enqueueTime, appends at the tail and completes parked reads.
// The list owns the event from here on.
void TvnEventListAppend(DriverEvent* event);

// Takes the oldest event (with skipLogEvents the oldest that is not an
// EventLog). With size: *size becomes the bytes the event needs (304 +
// dataLength), and an event needing more than *size was stays queued and
// null is returned; *size is 0 when no event is queued.
DriverEvent* TvnEventListDequeue(uint32_t* size, bool skipLogEvents);

// The enqueueTime of the oldest queued event of any type; false when none
// is queued. Takes and releases g_TvnEventListLock.
bool TvnEventListOldestEnqueueTime(uint64_t* enqueueTime);

// Frees every queued event, or every one but the EventLog ones.
void TvnEventListPurge(bool keepLogEvents);

// Traces text and, while fewer than kTvnLogEventLimit events are queued,
// queues it as an EventLog (text and its NUL as data).
void TvnLogEvent(std::string_view text, NTSTATUS status, uint64_t value, bool isInformation);

// Completes request's read: the oldest event copied into its output buffer
// (*bytes = its size), STATUS_BUFFER_TOO_SMALL with *bytes = the size the
// oldest event needs (the event stays queued), or success with *bytes = 0
// when none is queued. A buffer that cannot be retrieved fails the read
// with that status and costs no event.
NTSTATUS TvnReadEvent(WDFREQUEST request, size_t outputLength, size_t* bytes);

// Completes parked GetEvent requests one by one until one finds no event
// (and none has been queued since) or none is parked; any other parked
// request is completed with STATUS_OBJECT_TYPE_MISMATCH. Called with no spin
// lock held.
void TvnCompletePendingReads();
