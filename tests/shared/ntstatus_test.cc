#include "shared/ntstatus.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct StatusCase {
  const char* name;
  NTSTATUS status;
  uint32_t win32;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }


class StatusToWin32 : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusToWin32, MapsAsDeviceIoControlReports) {
  EXPECT_EQ(NtStatusToWin32Error(GetParam().status), GetParam().win32);
}

// Every status a request of the driver completes with.
INSTANTIATE_TEST_SUITE_P(DriverStatuses, StatusToWin32, ::testing::Values(
    StatusCase{"success", STATUS_SUCCESS, 0},
    StatusCase{"buffer_too_small", STATUS_BUFFER_TOO_SMALL, 122},
    StatusCase{"no_config_yet", STATUS_DEVICE_CONFIGURATION_ERROR, 87},
    StatusCase{"already_started", STATUS_ALREADY_REGISTERED, 1242},
    StatusCase{"not_started", STATUS_SERVER_DISABLED, 1341},
    StatusCase{"bad_input_length", STATUS_INVALID_BUFFER_SIZE, 1784},
    StatusCase{"bad_header_size", STATUS_INVALID_PARAMETER_1, 87},
    StatusCase{"bad_length_field", STATUS_INVALID_PARAMETER_2, 87},
    StatusCase{"bad_guard_bytes", STATUS_INVALID_PARAMETER_3, 87},
    StatusCase{"no_memory", STATUS_NO_MEMORY, 8},
    StatusCase{"no_pending_connect", STATUS_NO_SUCH_ALIAS, 1376},
    StatusCase{"inject_tcp", STATUS_NOT_IMPLEMENTED, 1},
    StatusCase{"unknown_code", STATUS_INVALID_PARAMETER, 87},
    StatusCase{"parked_non_read", STATUS_OBJECT_TYPE_MISMATCH, 6},
    StatusCase{"cancelled_on_close", STATUS_CANCELLED, 995},
    StatusCase{"no_device_init", STATUS_INSUFFICIENT_RESOURCES, 1450},
    StatusCase{"unsuccessful", STATUS_UNSUCCESSFUL, 31},
    StatusCase{"inject_no_flow", STATUS_NOT_FOUND, 1168},
    StatusCase{"inject_send_failed", STATUS_UNEXPECTED_NETWORK_ERROR, 59},
    StatusCase{"warning_no_more_entries", STATUS_NO_MORE_ENTRIES, 259},
    StatusCase{"unlisted_error_falls_back", NtStatus(0xC0001234), ERROR_MR_MID_NOT_FOUND},
    StatusCase{"unlisted_success_is_success", NtStatus(0x00000103), 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NtStatusClass, ErrorsCarryNoOutputWarningsDo) {
  EXPECT_TRUE(NT_ERROR(STATUS_BUFFER_TOO_SMALL));
  EXPECT_FALSE(NT_SUCCESS(STATUS_BUFFER_TOO_SMALL));
  EXPECT_FALSE(NT_ERROR(STATUS_NO_MORE_ENTRIES));
  EXPECT_FALSE(NT_SUCCESS(STATUS_NO_MORE_ENTRIES));
  EXPECT_TRUE(NT_SUCCESS(STATUS_SUCCESS));
}

}  // namespace
