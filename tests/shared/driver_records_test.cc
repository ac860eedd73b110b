#include "shared/driver_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> EventWithAppId(const std::vector<uint8_t>& appId, uint32_t payload) {
  DriverEvent header{};
  header.headerSize = kDriverEventHeaderSize;
  header.appIdLength = static_cast<uint32_t>(appId.size());
  header.dataLength = header.appIdLength + payload;
  header.eventType = EventFlowEstablished;
  std::vector<uint8_t> bytes(kDriverEventHeaderSize + header.dataLength, 0x77);
  std::memcpy(bytes.data(), &header, sizeof header);
  std::copy(appId.begin(), appId.end(), bytes.begin() + kDriverEventHeaderSize);
  return bytes;
}

TEST(DriverEventAppId, ReadsLittleEndianUtf16UpToItsNul) {
  // "/bin/ä" + NUL, little-endian.
  std::vector<uint8_t> path{'/', 0, 'b', 0, 'i', 0, 'n', 0, '/', 0, 0xE4, 0, 0, 0};
  std::vector<uint8_t> event = EventWithAppId(path, 3);
  EXPECT_EQ(DriverEventAppId(event.data(), event.size()), u"/bin/\u00e4");
}

TEST(DriverEventAppId, LengthsBeyondTheBytesReadGiveNothing) {
  std::vector<uint8_t> path{'a', 0, 0, 0};
  std::vector<uint8_t> event = EventWithAppId(path, 0);
  EXPECT_EQ(DriverEventAppId(event.data(), event.size() - 1), u"");  // data cut short
  EXPECT_EQ(DriverEventAppId(event.data(), 100), u"");                // not even a header
  event[0x1C] = 5;  // appIdLength above dataLength
  EXPECT_EQ(DriverEventAppId(event.data(), event.size()), u"");
  std::vector<uint8_t> odd = EventWithAppId({'a', 0, 'b'}, 0);  // a half unit is dropped
  EXPECT_EQ(DriverEventAppId(odd.data(), odd.size()), u"a");
  std::vector<uint8_t> none = EventWithAppId({}, 8);
  EXPECT_EQ(DriverEventAppId(none.data(), none.size()), u"");
}

}  // namespace
