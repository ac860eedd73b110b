// The device-control callback of the sequential default queue: the nine
// requests of the control device, one at a time.
#pragma once

#include "PalvexDrv/kernel/wdf.h"

// Completes the request with its status and output bytes, or parks a
// GetEvent that finds no event. Every failure but STATUS_BUFFER_TOO_SMALL
// and STATUS_SERVER_DISABLED also queues "348:Error at
// TvnEvtIoDeviceControl" (status = the failure, value = the request code).
void TvnEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t outputBufferLength, size_t inputBufferLength,
                           uint32_t ioControlCode);

// The checks both inject requests share, whose headers start {u32
// headerSize, u32 length of what follows}: STATUS_SERVER_DISABLED (not
// started), STATUS_INVALID_BUFFER_SIZE (input shorter than headerSize), a
// status of WdfRequestRetrieveInputBuffer, STATUS_INVALID_PARAMETER_1
// (headerSize field), STATUS_INVALID_PARAMETER_2 (length field not the
// bytes after the header). On success *input is the request's input.
NTSTATUS TvnCheckInjectRequest(WDFREQUEST request, size_t inputLength, uint32_t headerSize, const uint8_t** input);

// The InjectTcp request: STATUS_SERVER_DISABLED, STATUS_INVALID_BUFFER_SIZE
// (input shorter than the header), STATUS_INVALID_PARAMETER_1 (headerSize),
// STATUS_INVALID_PARAMETER_2 (dataLength not the bytes after the header),
// else STATUS_NOT_IMPLEMENTED.
NTSTATUS TvnIoInjectTcp(WDFREQUEST request, size_t inputLength);
