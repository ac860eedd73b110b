#include "Quorvane/platform/system_errors.h"

#include <cerrno>
#include <cstring>
#include <iterator>

namespace platform {
namespace {

struct SErrorRow {
  int error;          // errno; 0 for a number with no errno behind it
  uint32_t winsock;   // what a direct call reports; 0 when the row is Win32 only
  uint32_t win32;     // what a completion reports; 0 when the row is Winsock only
  const char* text;   // message when there is no errno to describe it
};

// Forward lookups take the first row of an errno; a number's message comes
// from the first row that carries the number in either column.
constexpr SErrorRow kRows[] = {
    {0, 0, ERROR_SUCCESS, "Success"},
    {0, WSA_IO_PENDING, ERROR_IO_PENDING, "Overlapped I/O operation is in progress"},
    {EINTR, 10004, ERROR_OPERATION_ABORTED, nullptr},
    {EBADF, 10009, 6, nullptr},
    {EACCES, 10013, 5, nullptr},
    {EFAULT, 10014, 998, nullptr},
    {EINVAL, WSAEINVAL, ERROR_INVALID_PARAMETER, nullptr},
    {EMFILE, 10024, 4, nullptr},
    {EAGAIN, WSAEWOULDBLOCK, ERROR_IO_PENDING, nullptr},
    {EINPROGRESS, 10036, ERROR_IO_PENDING, nullptr},
    {EALREADY, 10037, ERROR_IO_PENDING, nullptr},
    {ENOTSOCK, WSAENOTSOCK, 6, nullptr},
    {EDESTADDRREQ, 10039, ERROR_INVALID_PARAMETER, nullptr},
    {EMSGSIZE, WSAEMSGSIZE, ERROR_MORE_DATA, nullptr},
    {EPROTOTYPE, 10041, ERROR_INVALID_PARAMETER, nullptr},
    {ENOPROTOOPT, 10042, 50, nullptr},
    {EPROTONOSUPPORT, 10043, 50, nullptr},
    {ESOCKTNOSUPPORT, 10044, 50, nullptr},
    {EOPNOTSUPP, 10045, 50, nullptr},
    {EPFNOSUPPORT, 10046, 50, nullptr},
    {EAFNOSUPPORT, 10047, 50, nullptr},
    {EADDRINUSE, 10048, 1227, nullptr},
    {EADDRNOTAVAIL, 10049, 1228, nullptr},
    {ENETDOWN, 10050, 1231, nullptr},
    {ENETUNREACH, 10051, 1231, nullptr},
    {ECONNABORTED, 10053, 1236, nullptr},
    {ECONNRESET, WSAECONNRESET, ERROR_NETNAME_DELETED, nullptr},
    {ENETRESET, 10052, ERROR_NETNAME_DELETED, nullptr},
    {ENOBUFS, 10055, 1450, nullptr},
    {ENOMEM, 10055, 1450, nullptr},
    {EISCONN, 10056, 1230, nullptr},
    {ENOTCONN, 10057, 1229, nullptr},
    {EPIPE, 10058, ERROR_NETNAME_DELETED, nullptr},
    {ESHUTDOWN, 10058, ERROR_NETNAME_DELETED, nullptr},
    {ETIMEDOUT, 10060, 121, nullptr},
    {ECONNREFUSED, WSAECONNREFUSED, ERROR_CONNECTION_REFUSED, nullptr},
    {EHOSTDOWN, 10064, 1232, nullptr},
    {EHOSTUNREACH, 10065, 1232, nullptr},
    {ECANCELED, 0, ERROR_OPERATION_ABORTED, nullptr},
    // A datagram receive that finds an ICMP port-unreachable.
    {ECONNREFUSED, 0, ERROR_PORT_UNREACHABLE, nullptr},
    {0, 0, WAIT_TIMEOUT, "The wait operation timed out"},
};

}  // namespace

uint32_t WinsockErrorFromErrno(int error) {
  for (const SErrorRow& row : kRows) {
    if (row.error == error && row.error != 0 && row.winsock != 0) return row.winsock;
  }
  return WSAEINVAL;
}

uint32_t Win32ErrorFromErrno(int error) {
  for (const SErrorRow& row : kRows) {
    if (row.error == error && row.error != 0) return row.win32;
  }
  return ERROR_INVALID_PARAMETER;
}

uint32_t WSAGetLastError() { return WinsockErrorFromErrno(errno); }

std::wstring SystemErrorMessage(uint32_t code) {
  for (const SErrorRow& row : kRows) {
    if ((row.winsock == 0 || row.winsock != code) && row.win32 != code) continue;
    const char* text = row.text ? row.text : strerrordesc_np(row.error);
    if (!text) return {};
    // The texts are ASCII; widening byte by byte is exact.
    return std::wstring(text, text + std::strlen(text));
  }
  return {};
}

}  // namespace platform
