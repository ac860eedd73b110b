#include "PalvexDrv/event_queue.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "PalvexDrv/kernel/pool.h"
#include "PalvexDrv/kernel/trace.h"
#include "PalvexDrv/pool_tags.h"
#include "shared/driver_requests.h"

KSPIN_LOCK g_TvnEventListLock;
std::atomic<uint32_t> g_TvnEventListSize{0};
WDFQUEUE g_TvnPendingReadQueue = nullptr;

namespace {

// The list runs through each event's queueLinks: [0] the next (newer)
// event, [1] the previous one. Guarded by g_TvnEventListLock.
DriverEvent* g_TvnEventListHead = nullptr;
DriverEvent* g_TvnEventListTail = nullptr;

DriverEvent* Next(const DriverEvent* event) { return reinterpret_cast<DriverEvent*>(event->queueLinks[0]); }
DriverEvent* Prev(const DriverEvent* event) { return reinterpret_cast<DriverEvent*>(event->queueLinks[1]); }
void SetNext(DriverEvent* event, DriverEvent* next) { event->queueLinks[0] = reinterpret_cast<uintptr_t>(next); }
void SetPrev(DriverEvent* event, DriverEvent* prev) { event->queueLinks[1] = reinterpret_cast<uintptr_t>(prev); }

// Under the lock.
void Unlink(DriverEvent* event) {
  DriverEvent* next = Next(event);
  DriverEvent* prev = Prev(event);
  if (prev) SetNext(prev, next); else g_TvnEventListHead = next;
  if (next) SetPrev(next, prev); else g_TvnEventListTail = prev;
  event->queueLinks[0] = event->queueLinks[1] = 0;
  g_TvnEventListSize.fetch_sub(1);
}

// Appends while fewer than limit events are queued; false when full.
bool AppendBelow(DriverEvent* event, uint32_t limit) {
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnEventListLock, &lock);
  if (g_TvnEventListSize.load() >= limit) {
    KeReleaseInStackQueuedSpinLock(&lock);
    return false;
  }
  // Stamped under the lock, so the list is ordered by time too.
  event->enqueueTime = KeQueryUnbiasedInterruptTime();
  SetNext(event, nullptr);
  SetPrev(event, g_TvnEventListTail);
  if (g_TvnEventListTail) SetNext(g_TvnEventListTail, event); else g_TvnEventListHead = event;
  g_TvnEventListTail = event;
  g_TvnEventListSize.fetch_add(1);
  KeReleaseInStackQueuedSpinLock(&lock);
  TvnCompletePendingReads();
  return true;
}

}  // namespace

void TvnEventListInitialize() {
  KeInitializeSpinLock(&g_TvnEventListLock);
  g_TvnEventListHead = g_TvnEventListTail = nullptr;
  g_TvnEventListSize.store(0);
}

DriverEvent* TvnAllocateEvent(uint32_t dataLength) {
  void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, size_t{kDriverEventHeaderSize} + dataLength, kTvnTagEvent);
  if (!memory) return nullptr;
  std::memset(memory, 0, kDriverEventHeaderSize);
  auto* event = static_cast<DriverEvent*>(memory);
  event->headerSize = kDriverEventHeaderSize;
  event->dataLength = dataLength;
  return event;
}

void TvnFreeEvent(DriverEvent* event) { ExFreePoolWithTag(event, kTvnTagEvent); }

void TvnEventListAppend(DriverEvent* event) {
  AppendBelow(event, std::numeric_limits<uint32_t>::max());
}

DriverEvent* TvnEventListDequeue(uint32_t* size, bool skipLogEvents) {
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnEventListLock, &lock);
  DriverEvent* event = g_TvnEventListHead;
  while (event && skipLogEvents && event->eventType == EventLog) event = Next(event);
  if (size) {
    uint32_t given = *size;
    *size = event ? kDriverEventHeaderSize + event->dataLength : 0;
    if (event && *size > given) event = nullptr;
  }
  if (event) Unlink(event);
  KeReleaseInStackQueuedSpinLock(&lock);
  return event;
}

bool TvnEventListOldestEnqueueTime(uint64_t* enqueueTime) {
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnEventListLock, &lock);
  bool found = g_TvnEventListHead != nullptr;
  if (found) *enqueueTime = g_TvnEventListHead->enqueueTime;
  KeReleaseInStackQueuedSpinLock(&lock);
  return found;
}

void TvnEventListPurge(bool keepLogEvents) {
  DriverEvent* purged = nullptr;  // chained through queueLinks[0], freed after the lock
  KLOCK_QUEUE_HANDLE lock;
  KeAcquireInStackQueuedSpinLock(&g_TvnEventListLock, &lock);
  for (DriverEvent* event = g_TvnEventListHead; event;) {
    DriverEvent* next = Next(event);
    if (!keepLogEvents || event->eventType != EventLog) {
      Unlink(event);
      SetNext(event, purged);
      purged = event;
    }
    event = next;
  }
  KeReleaseInStackQueuedSpinLock(&lock);
  while (purged) {
    DriverEvent* next = Next(purged);
    TvnFreeEvent(purged);
    purged = next;
  }
}

void TvnLogEvent(std::string_view text, NTSTATUS status, uint64_t value, bool isInformation) {
  TraceEvents(isInformation ? TRACE_LEVEL_INFORMATION : TRACE_LEVEL_ERROR,
              std::string(text) + " status=" + std::to_string(static_cast<uint32_t>(status)) +
                  " value=" + std::to_string(value));
  if (g_TvnEventListSize.load() >= kTvnLogEventLimit) return;
  DriverEvent* event = TvnAllocateEvent(static_cast<uint32_t>(text.size() + 1));
  if (!event) return;  // the trace above is all that remains
  event->eventType = EventLog;
  event->typeBlock.log.status = static_cast<uint32_t>(status);
  event->typeBlock.log.value = value;
  event->typeBlock.log.isInformation = isInformation ? 1 : 0;
  uint8_t* data = DriverEventData(event);
  std::memcpy(data, text.data(), text.size());
  data[text.size()] = 0;
  // The count is checked again under the lock: concurrent loggers never
  // push the list past the limit.
  if (!AppendBelow(event, kTvnLogEventLimit)) TvnFreeEvent(event);
}

NTSTATUS TvnReadEvent(WDFREQUEST request, size_t outputLength, size_t* bytes) {
  *bytes = 0;
  // The buffer first: an event is taken only when it has somewhere to go.
  void* buffer = nullptr;
  size_t length = 0;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(request, 0, &buffer, &length);
  if (status == STATUS_BUFFER_TOO_SMALL) {
    length = 0;  // an empty buffer still learns the size it needs
  } else if (!NT_SUCCESS(status)) {
    return status;
  }
  length = std::min(length, outputLength);
  uint32_t size = static_cast<uint32_t>(std::min<size_t>(length, std::numeric_limits<uint32_t>::max()));
  DriverEvent* event = TvnEventListDequeue(&size, false);
  if (!event) {
    if (size == 0) return STATUS_SUCCESS;
    *bytes = size;
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(buffer, event, size);
  // Queue links are the driver's own addresses; the client gets zeros.
  std::memset(static_cast<uint8_t*>(buffer) + offsetof(DriverEvent, queueLinks), 0, sizeof event->queueLinks);
  TvnFreeEvent(event);
  *bytes = size;
  return STATUS_SUCCESS;
}

void TvnCompletePendingReads() {
  if (!g_TvnPendingReadQueue) return;  // no device yet, so nothing is parked
  for (;;) {
    WDFREQUEST request = nullptr;
    NTSTATUS status = WdfIoQueueRetrieveNextRequest(g_TvnPendingReadQueue, &request);
    if (!NT_SUCCESS(status)) return;  // STATUS_NO_MORE_ENTRIES
    WDF_REQUEST_PARAMETERS parameters;
    WdfRequestGetParameters(request, &parameters);
    if (parameters.IoControlCode != IOCTL_PALVEX_GET_EVENT) {
      WdfRequestComplete(request, STATUS_OBJECT_TYPE_MISMATCH);
      continue;
    }
    size_t bytes = 0;
    status = TvnReadEvent(request, parameters.OutputBufferLength, &bytes);
    WdfRequestCompleteWithInformation(request, status, bytes);
    // An event appended while this read was out of the queue found no read
    // to complete, and the framework may have put this one back: look again.
    if (NT_SUCCESS(status) && bytes == 0 && g_TvnEventListSize.load() == 0) return;
  }
}
