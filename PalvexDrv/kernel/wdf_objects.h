// The framework objects both backends of the facade define alike: the
// driver and device objects, the driver, and a queue with its parked
// requests. Each backend defines its own device, device init, file object
// and request around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "PalvexDrv/kernel/wdf.h"

struct DRIVER_OBJECT {
  int unused = 0;
};

struct DEVICE_OBJECT {
  int unused = 0;
};

struct WDFDRIVER__ {
  DRIVER_OBJECT* driverObject = nullptr;
  WDF_DRIVER_CONFIG config;
  WDF_OBJECT_ATTRIBUTES attributes;
};

struct WDFQUEUE__ {
  WDF_IO_QUEUE_CONFIG config;
  std::mutex mutex;  // parked
  std::deque<WDFREQUEST> parked;

  // Takes out the parked requests that match (a closing handle's, to be
  // cancelled), oldest first.
  template <typename Match>
  std::vector<WDFREQUEST> TakeParked(Match match) {
    std::vector<WDFREQUEST> taken;
    std::lock_guard lock(mutex);
    for (auto it = parked.begin(); it != parked.end();) {
      if (match(*it)) {
        taken.push_back(*it);
        it = parked.erase(it);
      } else {
        ++it;
      }
    }
    return taken;
  }
};

// WdfRequestRetrieveInputBuffer and WdfRequestRetrieveOutputBuffer over a
// request's bytes: STATUS_BUFFER_TOO_SMALL when they are none or fewer than
// minimumRequired.
inline NTSTATUS RetrieveRequestBuffer(std::vector<uint8_t>& bytes, size_t minimumRequired, void** buffer,
                                      size_t* length) {
  if (bytes.empty() || bytes.size() < minimumRequired) return STATUS_BUFFER_TOO_SMALL;
  *buffer = bytes.data();
  if (length) *length = bytes.size();
  return STATUS_SUCCESS;
}
