// The Advanced Settings dialog's model: the form's texts and flags in, the
// settings to store and whether the driver must hear of them out. The
// dialog shows the refusal and keeps itself open; on success it stores,
// tells the driver when asked to, and saves.
#pragma once

#include <cstdint>
#include <string>

#include "Quorvane/config/profile.h"

struct SAdvancedValues {
  bool clearDnsCache = true;
  bool blockTcpPort53 = true;
  bool captivePortalDetection = false;
  bool interceptOthers = false;
  uint32_t ttlMin = 0;
  uint32_t ttlMax = 2147483647;
};

struct SAdvancedForm {
  bool clearDnsCache = false;
  bool blockTcpPort53 = false;
  std::wstring ttlMin;
  std::wstring ttlMax;
  bool captivePortalDetection = false;
  bool interceptOthers = false;
};

struct SAdvancedResult {
  std::wstring refusal;     // empty: accepted
  SAdvancedValues values;   // to store when accepted
  bool tellDriver = false;  // the TCP-blocking or interception flag changed
};

SAdvancedValues ReadAdvanced(const SSettings& settings);
// The TTLs as unsigned decimal text.
SAdvancedForm AdvancedForm(const SAdvancedValues& values);
SAdvancedResult ApplyAdvanced(const SAdvancedForm& form, const SAdvancedValues& running);

// The driver's side of an accepted form.
class CAdvancedDriver {
 public:
  virtual ~CAdvancedDriver() = default;
  virtual void Configure(bool blockTcpPort53, bool interceptOthers) = 0;
};

// Stores an accepted result in the order the engine expects (TTLs, then the
// driver, then the flags). Saving is the caller's.
void StoreAdvanced(const SAdvancedResult& result, SSettings& settings, CAdvancedDriver& driver);
