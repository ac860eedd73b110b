// The nine device-control requests of the driver's control device and the
// interface version both sides must agree on. The codes keep their Windows
// layout (network device type, buffered, any access) because the program
// logs them and the driver reports them in its failure events.
#pragma once

#include <cstdint>

constexpr uint32_t kFileDeviceNetwork = 0x12;

// Device type in bits 16..31, access in 14..15, function in 2..13, method in 0..1.
constexpr uint32_t PalvexCtlCode(uint32_t function) {
  constexpr uint32_t kMethodBuffered = 0;
  constexpr uint32_t kFileAnyAccess = 0;
  return (kFileDeviceNetwork << 16) | (kFileAnyAccess << 14) | (function << 2) | kMethodBuffered;
}

constexpr uint32_t IOCTL_PALVEX_START = PalvexCtlCode(1);
constexpr uint32_t IOCTL_PALVEX_STOP = PalvexCtlCode(2);
constexpr uint32_t IOCTL_PALVEX_GET_DRIVER_VERSION = PalvexCtlCode(3);
constexpr uint32_t IOCTL_PALVEX_SET_CONFIG = PalvexCtlCode(4);
constexpr uint32_t IOCTL_PALVEX_GET_EVENT = PalvexCtlCode(5);
constexpr uint32_t IOCTL_PALVEX_INJECT_UDP = PalvexCtlCode(6);
constexpr uint32_t IOCTL_PALVEX_COMPLETE_REDIRECT = PalvexCtlCode(7);
constexpr uint32_t IOCTL_PALVEX_GET_COUNTERS = PalvexCtlCode(8);
constexpr uint32_t IOCTL_PALVEX_INJECT_TCP = PalvexCtlCode(9);

static_assert(IOCTL_PALVEX_START == 0x120004);
static_assert(IOCTL_PALVEX_GET_EVENT == 0x120014);
static_assert(IOCTL_PALVEX_INJECT_TCP == 0x120024);

// GetDriverVersion answers this; the program accepts no other value.
constexpr uint32_t PALVEX_DRIVER_VERSION = 118;
