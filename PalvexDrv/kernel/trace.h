// The driver's trace facility: every internal message is traced, whether or
// not it also reaches the event queue.
#pragma once

#include <cstdint>
#include <string_view>

struct DRIVER_OBJECT;

enum TRACE_LEVEL : uint8_t {
  TRACE_LEVEL_ERROR = 2,
  TRACE_LEVEL_WARNING = 3,
  TRACE_LEVEL_INFORMATION = 4,
  TRACE_LEVEL_VERBOSE = 5,
};

void WppInitTracing(DRIVER_OBJECT* driverObject, std::u16string_view registryPath);
void WppCleanup(DRIVER_OBJECT* driverObject);
void TraceEvents(TRACE_LEVEL level, std::string_view text);
