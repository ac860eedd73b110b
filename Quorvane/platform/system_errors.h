// Windows error numbers for Linux errno values, and the system's message for
// a number (in place of WSAGetLastError, GetLastError and FormatMessageW).
// Texts print Winsock numbers for direct socket calls and Win32 numbers for
// completed overlapped operations; both come from the one table in the .cc.
// Messages come from the C library's description of the errno behind a row.
// Every Win32 and Winsock number the program names is here; the driver's
// NTSTATUS values and the Win32 numbers of their mapping (ERROR_FILE_NOT_FOUND,
// ERROR_ACCESS_DENIED, ERROR_INSUFFICIENT_BUFFER, ERROR_MR_MID_NOT_FOUND) stay
// in shared/ntstatus.h, which the driver shares, and come in with this header.
// Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "shared/ntstatus.h"

namespace platform {

// Winsock numbers a direct call reports.
constexpr uint32_t WSAEWOULDBLOCK = 10035;
constexpr uint32_t WSAEINVAL = 10022;
constexpr uint32_t WSAENOTSOCK = 10038;
constexpr uint32_t WSAEMSGSIZE = 10040;
constexpr uint32_t WSAECONNRESET = 10054;
constexpr uint32_t WSAESHUTDOWN = 10058;
constexpr uint32_t WSAECONNREFUSED = 10061;
constexpr uint32_t WSA_IO_PENDING = 997;

// Win32 numbers a completion, a wait or a stand-in reports.
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;            // also: the device was closed
constexpr uint32_t ERROR_NETNAME_DELETED = 64;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;        // also: an input the driver host would refuse
constexpr uint32_t ERROR_CALL_NOT_IMPLEMENTED = 120;    // a service control without a handler
constexpr uint32_t ERROR_SEM_TIMEOUT = 121;             // the driver host never answered the open
constexpr uint32_t ERROR_INVALID_NAME = 123;            // not a valid host name
constexpr uint32_t ERROR_MORE_DATA = 234;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t ERROR_OPERATION_ABORTED = 995;       // also: outstanding when the device was closed
constexpr uint32_t ERROR_IO_PENDING = 997;
constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;   // the driver host ended the connection
constexpr uint32_t ERROR_CONNECTION_REFUSED = 1225;
constexpr uint32_t ERROR_PORT_UNREACHABLE = 1234;
constexpr uint32_t ERROR_TIMEOUT = 1460;                // a bounded wait or lookup ran out

// DNS statuses of the system resolver's lookup.
constexpr uint32_t DNS_ERROR_RCODE_FORMAT_ERROR = 9001;     // 9000 + the reply's rcode, 1..15
constexpr uint32_t DNS_ERROR_RCODE_SERVER_FAILURE = 9002;
constexpr uint32_t DNS_ERROR_RCODE_NAME_ERROR = 9003;       // no such name
constexpr uint32_t DNS_ERROR_RCODE_NOT_IMPLEMENTED = 9004;
constexpr uint32_t DNS_ERROR_RCODE_REFUSED = 9005;
constexpr uint32_t DNS_INFO_NO_RECORDS = 9501;              // the name has no record of the type
constexpr uint32_t DNS_ERROR_BAD_PACKET = 9502;             // an unreadable or mismatched reply
constexpr uint32_t DNS_ERROR_INVALID_TYPE = 9551;           // a type other than A and AAAA
constexpr uint32_t DNS_ERROR_NO_DNS_SERVERS = 9852;         // no readable resolv.conf, or no nameserver in it

// Security statuses of the TLS channel (SSPI's SEC_E_* and SEC_I_*).
constexpr uint32_t SEC_E_OK = 0;
constexpr uint32_t SEC_E_INSUFFICIENT_MEMORY = 0x80090300;
constexpr uint32_t SEC_E_INVALID_HANDLE = 0x80090301;
constexpr uint32_t SEC_E_INTERNAL_ERROR = 0x80090304;
constexpr uint32_t SEC_E_INVALID_TOKEN = 0x80090308;
constexpr uint32_t SEC_E_MESSAGE_ALTERED = 0x8009030F;
constexpr uint32_t SEC_E_CONTEXT_EXPIRED = 0x80090317;
constexpr uint32_t SEC_E_INCOMPLETE_MESSAGE = 0x80090318;
constexpr uint32_t SEC_E_BUFFER_TOO_SMALL = 0x80090321;
constexpr uint32_t SEC_E_ILLEGAL_MESSAGE = 0x80090326;
constexpr uint32_t SEC_E_CERT_UNKNOWN = 0x80090327;
constexpr uint32_t SEC_E_ENCRYPT_FAILURE = 0x80090329;
constexpr uint32_t SEC_E_DECRYPT_FAILURE = 0x80090330;
constexpr uint32_t SEC_E_ALGORITHM_MISMATCH = 0x80090331;
constexpr uint32_t SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr uint32_t SEC_I_CONTEXT_EXPIRED = 0x00090317;
constexpr uint32_t SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
constexpr uint32_t SEC_I_RENEGOTIATE = 0x00090321;

// The Winsock number of an errno value (10022 ... 10065); an errno without a
// row maps to 10022 (WSAEINVAL) so that a text never shows 0 for a failure.
uint32_t WinsockErrorFromErrno(int error);
// The Win32 number of an errno value seen by a completion (64, 995, 1225 ...);
// unknown values map to 87 (ERROR_INVALID_PARAMETER).
uint32_t Win32ErrorFromErrno(int error);
// WSAGetLastError: the Winsock number of the calling thread's errno.
uint32_t WSAGetLastError();

// FormatMessageW from the system table: the message for a Winsock or Win32
// number, one line, without a final period's line break; empty when the
// number has no row.
std::wstring SystemErrorMessage(uint32_t code);

}  // namespace platform
