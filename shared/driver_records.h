// Records that cross between the program and the driver, byte for byte.
// Both sides read and write them as raw little-endian bytes, so every field
// has a fixed width and offset, pinned below; handles are always 64 bits.
// Text inside records that is UTF-16 stays char16_t (little-endian).
// Address families inside records are the Windows values 2 and 23, never
// the native AF_INET6 (10): convert at the boundary that fills a sockaddr.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

static_assert(sizeof(void*) == 8 || sizeof(void*) == 4);

// Address families as the records carry them.
constexpr uint16_t kRecordFamilyInet = 2;
constexpr uint16_t kRecordFamilyInet6 = 23;

// SOCKADDR_INET as the records use it (28 bytes): family, port in network
// order, then an IPv4 address in network order at 4, or flow info (0) at 4,
// the 16 IPv6 bytes at 8 and the scope id (0) at 24.
struct SOCKADDR_INET {
  uint16_t family;
  uint16_t port;  // network order
  union {
    uint8_t ipv4[4];  // network order
    struct {
      uint32_t flowInfo;
      uint8_t address[16];
      uint32_t scopeId;
    } ipv6;
  };
};
static_assert(sizeof(SOCKADDR_INET) == 28);
static_assert(offsetof(SOCKADDR_INET, port) == 2);
static_assert(offsetof(SOCKADDR_INET, ipv4) == 4);
static_assert(offsetof(SOCKADDR_INET, ipv6.address) == 8);
static_assert(offsetof(SOCKADDR_INET, ipv6.scopeId) == 24);

// datagramFlags of DriverConfig.
constexpr uint32_t kDatagramFlagAbsorb = 0x1;
constexpr uint32_t kDatagramFlagQueryShape = 0x2;
constexpr uint32_t kDatagramFlagAddressQueriesOnly = 0x4;  // with kDatagramFlagQueryShape

constexpr uint32_t kStreamPrefixSize = 20;
constexpr uint32_t kHostMasksSize = 50000;
constexpr uint32_t kInsertBytesSize = 1000;
constexpr uint32_t kMaxInsertLength = 1000;

// The driver keeps one copy; all zero until the first SetConfig.
struct DriverConfig {
  uint32_t size;                   // sizeof(DriverConfig)
  uint32_t serviceProcessId;       // the program: its own traffic is not diverted
  uint32_t datagramFlags;          // kDatagramFlag*
  uint32_t includeServiceTraffic;  // nonzero: classify the program's connections too
  uint32_t blockTcpPort53;         // nonzero: block TCP connects to port 53
  uint32_t staleEventSeconds;      // nonzero: stop when the oldest event is older
  uint32_t interceptOthers;        // nonzero: divert datagrams other drivers injected
  uint8_t streamPrefix[kStreamPrefixSize];  // a 0 byte matches any byte
  uint8_t streamSeparator;
  uint8_t hostMasks[kHostMasksSize];  // NUL-terminated masks, ended by an empty one
  uint8_t insertBytes[kInsertBytesSize];
  uint8_t reserved1[3];
  uint32_t insertLength;  // bytes of insertBytes used, at most kMaxInsertLength
  uint8_t keepPendingConnects;
  uint8_t reserved2[199];
};
static_assert(std::is_trivially_copyable_v<DriverConfig>);
static_assert(sizeof(DriverConfig) == 51256 && sizeof(DriverConfig) == 0xC838);
static_assert(offsetof(DriverConfig, serviceProcessId) == 0x4);
static_assert(offsetof(DriverConfig, datagramFlags) == 0x8);
static_assert(offsetof(DriverConfig, includeServiceTraffic) == 0xC);
static_assert(offsetof(DriverConfig, blockTcpPort53) == 0x10);
static_assert(offsetof(DriverConfig, staleEventSeconds) == 0x14);
static_assert(offsetof(DriverConfig, interceptOthers) == 0x18);
static_assert(offsetof(DriverConfig, streamPrefix) == 0x1C);
static_assert(offsetof(DriverConfig, streamSeparator) == 0x30);
static_assert(offsetof(DriverConfig, hostMasks) == 0x31);
static_assert(offsetof(DriverConfig, insertBytes) == 0xC381);
static_assert(offsetof(DriverConfig, reserved1) == 0xC769);
static_assert(offsetof(DriverConfig, insertLength) == 0xC76C);
static_assert(offsetof(DriverConfig, keepPendingConnects) == 0xC770);
static_assert(offsetof(DriverConfig, reserved2) == 0xC771);
// The two bytes before insertBytes that must stay 0, so the mask list always ends.
constexpr size_t kHostMasksGuardOffset1 = 0xC37F;
constexpr size_t kHostMasksGuardOffset2 = 0xC380;
static_assert(kHostMasksGuardOffset2 + 1 == offsetof(DriverConfig, insertBytes));

enum DriverEventType : uint32_t {
  EventLog = 1,
  EventConnectRedirect = 2,
  EventUdpDatagram = 3,
  EventFlowEstablished = 4,
  EventFlowDeleted = 5,
  EventTcpStream = 6,
  EventTcpConnect = 7,
};

// Kept by the program with a diverted query and handed back with its answer.
struct DatagramContext {
  uint32_t compartmentId;
  uint32_t interfaceIndex;
  uint32_t subInterfaceIndex;
  uint32_t transportHeaderSize;
  uint32_t ipHeaderSize;  // inbound datagrams only, else 0
  uint32_t reserved;
  uint64_t endpointHandle;
};
static_assert(sizeof(DatagramContext) == 32);
static_assert(offsetof(DatagramContext, transportHeaderSize) == 0xC);
static_assert(offsetof(DatagramContext, ipHeaderSize) == 0x10);
static_assert(offsetof(DatagramContext, endpointHandle) == 0x18);

// The type block of an EventLog.
struct DriverLogBlock {
  uint64_t status;  // an NTSTATUS, zero-extended
  uint64_t value;
  uint32_t isInformation;
  uint32_t reserved;
};
static_assert(sizeof(DriverLogBlock) == 24);  // the rest of the 32-byte type block is 0

constexpr uint32_t kDriverEventHeaderSize = 304;
constexpr uint32_t kMaxEventDataLength = 1000000;
constexpr uint32_t kMaxUserSidSubAuthorities = 29;  // 8 + 4 * 29 fits the 128 bytes
constexpr uint32_t kUserSidSize = 128;

// The header of one event; dataLength bytes follow it (application id, then
// payload). Bytes a type does not set are 0.
struct DriverEvent {
  uint32_t headerSize;  // kDriverEventHeaderSize
  uint32_t reserved1;
  uint64_t queueLinks[2];  // the driver's own while queued; meaningless to the program
  uint32_t dataLength;     // at most kMaxEventDataLength
  uint32_t appIdLength;    // types 2, 4, 7: UTF-16 image path with its NUL
  uint32_t eventType;      // DriverEventType
  uint32_t processId;      // 0 when the platform gives none
  uint8_t userSid[kUserSidSize];  // binary SID; types 2, 4, 7
  uint64_t flowHandle;
  uint8_t inbound;
  uint8_t reserved2[7];
  uint64_t classifyHandle;  // type 2
  uint64_t endpointHandle;
  uint32_t reserved3;
  uint32_t verdict;       // type 7: 1 passed, 2 blocked; type 6: 1 passed, 2 inserted
  uint64_t enqueueTime;   // unbiased interrupt time, 100 ns units
  union {
    DriverLogBlock log;            // type 1
    DatagramContext datagram;      // type 3
    uint8_t bytes[32];
  } typeBlock;
  SOCKADDR_INET sourceAddress;       // sender, or the local end of a connection
  SOCKADDR_INET destinationAddress;  // receiver, or the remote end
};
static_assert(std::is_trivially_copyable_v<DriverEvent>);
static_assert(sizeof(DriverEvent) == kDriverEventHeaderSize);
static_assert(offsetof(DriverEvent, queueLinks) == 0x8);
static_assert(offsetof(DriverEvent, dataLength) == 0x18);
static_assert(offsetof(DriverEvent, appIdLength) == 0x1C);
static_assert(offsetof(DriverEvent, eventType) == 0x20);
static_assert(offsetof(DriverEvent, processId) == 0x24);
static_assert(offsetof(DriverEvent, userSid) == 0x28);
static_assert(offsetof(DriverEvent, flowHandle) == 0xA8);
static_assert(offsetof(DriverEvent, inbound) == 0xB0);
static_assert(offsetof(DriverEvent, classifyHandle) == 0xB8);
static_assert(offsetof(DriverEvent, endpointHandle) == 0xC0);
static_assert(offsetof(DriverEvent, verdict) == 0xCC);
static_assert(offsetof(DriverEvent, enqueueTime) == 0xD0);
static_assert(offsetof(DriverEvent, typeBlock) == 0xD8);
static_assert(offsetof(DriverEvent, typeBlock.log.value) == 0xE0);
static_assert(offsetof(DriverEvent, typeBlock.log.isInformation) == 0xE8);
static_assert(offsetof(DriverEvent, sourceAddress) == 0xF8);
static_assert(offsetof(DriverEvent, destinationAddress) == 0x114);

// The event's data: application id, then payload.
inline uint8_t* DriverEventData(DriverEvent* event) { return reinterpret_cast<uint8_t*>(event) + kDriverEventHeaderSize; }
inline const uint8_t* DriverEventData(const DriverEvent* event) {
  return reinterpret_cast<const uint8_t*>(event) + kDriverEventHeaderSize;
}

// The application id of an event read into eventBytes bytes: its UTF-16LE
// image path without the terminating NUL. Empty when the event has none or
// its lengths do not fit the bytes read.
std::u16string DriverEventAppId(const uint8_t* event, size_t eventBytes);

constexpr uint32_t kInjectUdpHeaderSize = 56;

// Followed by packetLength bytes: a whole IP datagram (IP, UDP, DNS).
struct InjectUdpHeader {
  uint32_t headerSize;  // kInjectUdpHeaderSize
  uint32_t packetLength;
  uint16_t addressFamily;  // kRecordFamilyInet or kRecordFamilyInet6
  uint8_t reserved1[6];
  DatagramContext context;  // from the query's event
  uint32_t receive;         // low byte 1: as received by the process; 0: as sent
  uint8_t reserved2[4];
};
static_assert(std::is_trivially_copyable_v<InjectUdpHeader>);
static_assert(sizeof(InjectUdpHeader) == kInjectUdpHeaderSize);
static_assert(offsetof(InjectUdpHeader, packetLength) == 0x4);
static_assert(offsetof(InjectUdpHeader, addressFamily) == 0x8);
static_assert(offsetof(InjectUdpHeader, context) == 0x10);
static_assert(offsetof(InjectUdpHeader, receive) == 0x30);

constexpr uint32_t kInjectTcpHeaderSize = 32;

// Followed by dataLength bytes.
struct InjectTcpHeader {
  uint32_t headerSize;  // kInjectTcpHeaderSize
  uint32_t dataLength;
  uint8_t reserved[24];
};
static_assert(sizeof(InjectTcpHeader) == kInjectTcpHeaderSize);
static_assert(offsetof(InjectTcpHeader, dataLength) == 0x4);

struct DriverCounters {
  uint32_t size;                 // sizeof(DriverCounters)
  uint32_t flowCount;            // flow contexts held
  uint32_t pendingConnectCount;  // pending connects held
};
static_assert(sizeof(DriverCounters) == 12);

// The records are read and written as raw bytes on both sides.
static_assert(std::endian::native == std::endian::little, "records are little-endian");
