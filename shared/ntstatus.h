// The NTSTATUS values the driver completes its requests with, and the one
// table that turns them into the Win32 error a DeviceIoControl caller sees.
// The numbers are the Windows ones: the program logs and compares them.
#pragma once

#include <cstdint>

using NTSTATUS = int32_t;

constexpr NTSTATUS NtStatus(uint32_t value) { return static_cast<NTSTATUS>(value); }

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = NtStatus(0x8000001A);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = NtStatus(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = NtStatus(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = NtStatus(0xC000000D);
constexpr NTSTATUS STATUS_NO_MEMORY = NtStatus(0xC0000017);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = NtStatus(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = NtStatus(0xC0000024);
constexpr NTSTATUS STATUS_SERVER_DISABLED = NtStatus(0xC0000080);  // engine not started
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = NtStatus(0xC000009A);
constexpr NTSTATUS STATUS_UNEXPECTED_NETWORK_ERROR = NtStatus(0xC00000C4);
constexpr NTSTATUS STATUS_INVALID_PARAMETER_1 = NtStatus(0xC00000EF);
constexpr NTSTATUS STATUS_INVALID_PARAMETER_2 = NtStatus(0xC00000F0);
constexpr NTSTATUS STATUS_INVALID_PARAMETER_3 = NtStatus(0xC00000F1);
constexpr NTSTATUS STATUS_CANCELLED = NtStatus(0xC0000120);
constexpr NTSTATUS STATUS_NO_SUCH_ALIAS = NtStatus(0xC0000151);  // no such pending connect
constexpr NTSTATUS STATUS_DEVICE_CONFIGURATION_ERROR = NtStatus(0xC0000182);  // no SetConfig yet
constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = NtStatus(0xC0000206);
constexpr NTSTATUS STATUS_NOT_FOUND = NtStatus(0xC0000225);
constexpr NTSTATUS STATUS_ALREADY_REGISTERED = NtStatus(0xC0000718);  // already started

constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }
// Errors (severity 3) carry no output bytes; warnings and successes do.
constexpr bool NT_ERROR(NTSTATUS status) { return (static_cast<uint32_t>(status) >> 30) == 3; }

// Win32 errors that appear next to the table's results.
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
// What an NTSTATUS without a row maps to, as on Windows.
constexpr uint32_t ERROR_MR_MID_NOT_FOUND = 317;

// The Win32 error a caller sees for a request completed with status: 0 for
// every success, a row of the table for known failures and warnings, and
// ERROR_MR_MID_NOT_FOUND for anything else.
uint32_t NtStatusToWin32Error(NTSTATUS status);
