#include "PalvexDrv/device_control.h"

#include <cstring>

#include "PalvexDrv/connect_redirection.h"
#include "PalvexDrv/datagram_diversion.h"
#include "PalvexDrv/driver_config.h"
#include "PalvexDrv/engine_state.h"
#include "PalvexDrv/event_queue.h"
#include "shared/driver_requests.h"

namespace {

// Writes a fixed-size answer; STATUS_BUFFER_TOO_SMALL when it does not fit.
NTSTATUS WriteOutput(WDFREQUEST request, const void* value, size_t size, uint64_t* information) {
  void* buffer = nullptr;
  NTSTATUS status = WdfRequestRetrieveOutputBuffer(request, size, &buffer, nullptr);
  if (!NT_SUCCESS(status)) return status;
  std::memcpy(buffer, value, size);
  *information = size;
  return STATUS_SUCCESS;
}

NTSTATUS IoCompleteRedirect(WDFREQUEST request, size_t inputLength) {
  if (!g_TvnStarted.load()) return STATUS_SERVER_DISABLED;
  if (inputLength != kDriverEventHeaderSize) return STATUS_INVALID_BUFFER_SIZE;
  void* buffer = nullptr;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(request, kDriverEventHeaderSize, &buffer, nullptr);
  if (!NT_SUCCESS(status)) return status;
  DriverEvent header;
  std::memcpy(&header, buffer, sizeof header);
  if (header.headerSize != kDriverEventHeaderSize) return STATUS_INVALID_PARAMETER_1;
  return TvnCompleteRedirect(&header);
}

// Reads at once when an event is queued, else parks the request (*parked).
NTSTATUS IoGetEvent(WDFREQUEST request, size_t outputLength, uint64_t* information, bool* parked) {
  if (g_TvnEventListSize.load() != 0) {
    size_t bytes = 0;
    NTSTATUS status = TvnReadEvent(request, outputLength, &bytes);
    *information = bytes;
    return status;
  }
  NTSTATUS status = WdfRequestForwardToIoQueue(request, g_TvnPendingReadQueue);
  if (!NT_SUCCESS(status)) {
    TvnLogEvent("331:WdfRequestForwardToIoQueue failed", status, IOCTL_PALVEX_GET_EVENT, false);
    return status;
  }
  *parked = true;
  // An event appended between the test above and the parking found no
  // parked request; it must not wait for the next append.
  if (g_TvnEventListSize.load() != 0) TvnCompletePendingReads();
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS TvnCheckInjectRequest(WDFREQUEST request, size_t inputLength, uint32_t headerSize, const uint8_t** input) {
  if (!g_TvnStarted.load()) return STATUS_SERVER_DISABLED;
  if (inputLength < headerSize) return STATUS_INVALID_BUFFER_SIZE;
  void* buffer = nullptr;
  NTSTATUS status = WdfRequestRetrieveInputBuffer(request, headerSize, &buffer, nullptr);
  if (!NT_SUCCESS(status)) return status;
  uint32_t fields[2];
  std::memcpy(fields, buffer, sizeof fields);
  if (fields[0] != headerSize) return STATUS_INVALID_PARAMETER_1;
  if (fields[1] != inputLength - headerSize) return STATUS_INVALID_PARAMETER_2;
  *input = static_cast<const uint8_t*>(buffer);
  return STATUS_SUCCESS;
}

NTSTATUS TvnIoInjectTcp(WDFREQUEST request, size_t inputLength) {
  const uint8_t* input = nullptr;
  NTSTATUS status = TvnCheckInjectRequest(request, inputLength, kInjectTcpHeaderSize, &input);
  return NT_SUCCESS(status) ? STATUS_NOT_IMPLEMENTED : status;
}

void TvnEvtIoDeviceControl(WDFQUEUE, WDFREQUEST request, size_t outputBufferLength, size_t inputBufferLength,
                           uint32_t ioControlCode) {
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t information = 0;
  bool parked = false;
  switch (ioControlCode) {
    case IOCTL_PALVEX_START:
      status = TvnStartEngine();
      break;
    case IOCTL_PALVEX_STOP:
      // A stop that lost the race to a concurrent one finds nothing started.
      status = TvnStopEngine(false) ? STATUS_SUCCESS : STATUS_SERVER_DISABLED;
      break;
    case IOCTL_PALVEX_GET_DRIVER_VERSION: {
      uint32_t version = PALVEX_DRIVER_VERSION;
      status = WriteOutput(request, &version, sizeof version, &information);
      break;
    }
    case IOCTL_PALVEX_SET_CONFIG:
      status = TvnSetConfig(request, inputBufferLength);
      break;
    case IOCTL_PALVEX_GET_EVENT:
      status = IoGetEvent(request, outputBufferLength, &information, &parked);
      break;
    case IOCTL_PALVEX_INJECT_UDP:
      status = TvnIoInjectUdp(request, inputBufferLength);
      break;
    case IOCTL_PALVEX_COMPLETE_REDIRECT:
      status = IoCompleteRedirect(request, inputBufferLength);
      break;
    case IOCTL_PALVEX_GET_COUNTERS: {
      DriverCounters counters{sizeof(DriverCounters), TvnFlowCount(), TvnPendingConnectCount()};
      status = WriteOutput(request, &counters, sizeof counters, &information);
      break;
    }
    case IOCTL_PALVEX_INJECT_TCP:
      status = TvnIoInjectTcp(request, inputBufferLength);
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  if (parked) return;  // the request may already be completed by another thread
  if (!NT_SUCCESS(status) && status != STATUS_BUFFER_TOO_SMALL && status != STATUS_SERVER_DISABLED)
    TvnLogEvent("348:Error at TvnEvtIoDeviceControl", status, ioControlCode, false);
  WdfRequestCompleteWithInformation(request, status, information);
}
