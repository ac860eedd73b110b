// The driver's copy of the configuration. Each SetConfig publishes a whole
// new block; a reader holds the block it took for as long as it needs it,
// so no classification ever sees half of one configuration and half of the
// next. All zero until the first SetConfig.
#pragma once

#include <atomic>
#include <cstddef>

#include "PalvexDrv/kernel/wdf.h"
#include "shared/driver_records.h"

struct TvnConfigBlock;

// A reference to the configuration in force when it was taken.
class CTvnConfigRef {
 public:
  CTvnConfigRef() = default;
  explicit CTvnConfigRef(TvnConfigBlock* block);
  CTvnConfigRef(const CTvnConfigRef&) = delete;
  CTvnConfigRef& operator=(const CTvnConfigRef&) = delete;
  ~CTvnConfigRef();
  const DriverConfig& operator*() const;
  const DriverConfig* operator->() const { return &**this; }

 private:
  TvnConfigBlock* m_block = nullptr;  // null: the all-zero configuration
};

// Any thread; takes g_TvnConfigLock, so never while holding another spin lock.
CTvnConfigRef TvnAcquireConfig();

// The SetConfig request: in this order STATUS_INVALID_BUFFER_SIZE (input
// length not sizeof(DriverConfig)), STATUS_INVALID_PARAMETER_1 (size field),
// STATUS_INVALID_PARAMETER_2 (insertLength above 1000),
// STATUS_INVALID_PARAMETER_3 (byte 0xC37F or 0xC380 not 0), a status of
// WdfRequestRetrieveInputBuffer, STATUS_NO_MEMORY (no block for the copy).
// A failure leaves the configuration in force unchanged.
NTSTATUS TvnSetConfig(WDFREQUEST request, size_t inputLength);

// At unload: drops the driver's reference; readers still holding the block
// keep it until they let go.
void TvnReleaseConfig();
