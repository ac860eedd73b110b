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
    {EBADF, 10009, ERROR_INVALID_HANDLE, nullptr},
    {EACCES, 10013, ERROR_ACCESS_DENIED, nullptr},
    {EFAULT, 10014, 998, nullptr},
    {EINVAL, WSAEINVAL, ERROR_INVALID_PARAMETER, nullptr},
    {EMFILE, 10024, 4, nullptr},
    {EAGAIN, WSAEWOULDBLOCK, ERROR_IO_PENDING, nullptr},
    {EINPROGRESS, 10036, ERROR_IO_PENDING, nullptr},
    {EALREADY, 10037, ERROR_IO_PENDING, nullptr},
    {ENOTSOCK, WSAENOTSOCK, ERROR_INVALID_HANDLE, nullptr},
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
    {EPIPE, WSAESHUTDOWN, ERROR_NETNAME_DELETED, nullptr},
    {ESHUTDOWN, WSAESHUTDOWN, ERROR_NETNAME_DELETED, nullptr},
    {ETIMEDOUT, 10060, ERROR_SEM_TIMEOUT, nullptr},
    {ECONNREFUSED, WSAECONNREFUSED, ERROR_CONNECTION_REFUSED, nullptr},
    {EHOSTDOWN, 10064, 1232, nullptr},
    {EHOSTUNREACH, 10065, 1232, nullptr},
    {ECANCELED, 0, ERROR_OPERATION_ABORTED, nullptr},
    // A datagram receive that finds an ICMP port-unreachable.
    {ECONNREFUSED, 0, ERROR_PORT_UNREACHABLE, nullptr},
    {0, 0, WAIT_TIMEOUT, "The wait operation timed out"},
    // Security statuses of the TLS channel.
    {0, 0, SEC_E_INSUFFICIENT_MEMORY, "Not enough memory is available to complete this request"},
    {0, 0, SEC_E_INVALID_HANDLE, "The handle specified is invalid"},
    {0, 0, SEC_E_INTERNAL_ERROR, "The Local Security Authority cannot be contacted"},
    {0, 0, SEC_E_INVALID_TOKEN, "The token supplied to the function is invalid"},
    {0, 0, SEC_E_MESSAGE_ALTERED, "The message or signature supplied for verification has been altered"},
    {0, 0, SEC_E_CONTEXT_EXPIRED, "The context has expired and can no longer be used"},
    {0, 0, SEC_E_INCOMPLETE_MESSAGE, "The supplied message is incomplete. The signature was not verified"},
    {0, 0, SEC_E_BUFFER_TOO_SMALL, "The buffers supplied to a function was too small"},
    {0, 0, SEC_E_ILLEGAL_MESSAGE, "The message received was unexpected or badly formatted"},
    {0, 0, SEC_E_CERT_UNKNOWN, "An unknown error occurred while processing the certificate"},
    {0, 0, SEC_E_ENCRYPT_FAILURE, "The specified data could not be encrypted"},
    {0, 0, SEC_E_DECRYPT_FAILURE, "The specified data could not be decrypted"},
    {0, 0, SEC_E_ALGORITHM_MISMATCH,
     "The client and server cannot communicate, because they do not possess a common algorithm"},
    {0, 0, 0x80090322, "The target principal name is incorrect"},
    {0, 0, SEC_I_CONTINUE_NEEDED, "The function completed successfully, but must be called again to complete the context"},
    {0, 0, SEC_I_CONTEXT_EXPIRED, "The context has expired and can no longer be used"},
    {0, 0, SEC_I_INCOMPLETE_CREDENTIALS, "The credentials supplied were not complete, and could not be verified"},
    // Chain and policy results of certificate verification.
    {0, 0, 0x800B0101,
     "A required certificate is not within its validity period when verifying against the current system clock"},
    {0, 0, 0x800B0109,
     "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust provider"},
    {0, 0, 0x800B010B, "Generic trust failure"},
    {0, 0, 0x800B010C, "A certificate was explicitly revoked by its issuer"},
    {0, 0, 0x800B010F, "The certificate's CN name does not match the passed value"},
    {0, 0, 0x800B0110, "The certificate is not valid for the requested usage"},
    {0, 0, 0x8009310B, "ASN1 bad tag value met"},
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
