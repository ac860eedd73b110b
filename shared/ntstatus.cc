#include "shared/ntstatus.h"

#include <iterator>

namespace {

struct SStatusRow {
  NTSTATUS status;
  uint32_t win32;
};

constexpr SStatusRow kStatusTable[] = {
    {STATUS_NO_MORE_ENTRIES, 259},              // ERROR_NO_MORE_ITEMS
    {STATUS_UNSUCCESSFUL, 31},                  // ERROR_GEN_FAILURE
    {STATUS_NOT_IMPLEMENTED, 1},                // ERROR_INVALID_FUNCTION
    {STATUS_INVALID_PARAMETER, 87},             // ERROR_INVALID_PARAMETER
    {STATUS_NO_MEMORY, 8},                      // ERROR_NOT_ENOUGH_MEMORY
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_TYPE_MISMATCH, 6},           // ERROR_INVALID_HANDLE
    {STATUS_SERVER_DISABLED, 1341},             // ERROR_SERVER_DISABLED
    {STATUS_INSUFFICIENT_RESOURCES, 1450},      // ERROR_NO_SYSTEM_RESOURCES
    {STATUS_UNEXPECTED_NETWORK_ERROR, 59},      // ERROR_UNEXP_NET_ERR
    {STATUS_INVALID_PARAMETER_1, 87},
    {STATUS_INVALID_PARAMETER_2, 87},
    {STATUS_INVALID_PARAMETER_3, 87},
    {STATUS_CANCELLED, 995},                    // ERROR_OPERATION_ABORTED
    {STATUS_NO_SUCH_ALIAS, 1376},               // ERROR_NO_SUCH_ALIAS
    {STATUS_DEVICE_CONFIGURATION_ERROR, 87},    // ERROR_INVALID_PARAMETER
    {STATUS_INVALID_BUFFER_SIZE, 1784},         // ERROR_INVALID_USER_BUFFER
    {STATUS_NOT_FOUND, 1168},                   // ERROR_NOT_FOUND
    {STATUS_ALREADY_REGISTERED, 1242},          // ERROR_ALREADY_REGISTERED
};

}  // namespace

uint32_t NtStatusToWin32Error(NTSTATUS status) {
  for (const SStatusRow& row : kStatusTable)
    if (row.status == status) return row.win32;
  if (NT_SUCCESS(status)) return 0;
  return ERROR_MR_MID_NOT_FOUND;
}
