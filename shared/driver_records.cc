#include "shared/driver_records.h"

#include <cstring>

std::u16string DriverEventAppId(const uint8_t* event, size_t eventBytes) {
  if (eventBytes < kDriverEventHeaderSize) return {};
  DriverEvent header;
  std::memcpy(&header, event, sizeof header);
  size_t available = eventBytes - kDriverEventHeaderSize;
  if (header.dataLength > available || header.appIdLength > header.dataLength) return {};
  const uint8_t* data = event + kDriverEventHeaderSize;
  std::u16string text;
  for (uint32_t i = 0; i + 1 < header.appIdLength; i += 2) {
    char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}
