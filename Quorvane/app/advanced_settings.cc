#include "Quorvane/app/advanced_settings.h"

#include <cerrno>
#include <cwchar>

namespace {

// A signed decimal with leading blanks; no digits reads as 0. False when it
// is negative or beyond the 32-bit range.
bool ReadTtl(const std::wstring& text, uint32_t& value) {
  errno = 0;
  const long long number = wcstoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || number < 0 || number > 2147483647LL) return false;
  value = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

SAdvancedValues ReadAdvanced(const SSettings& settings) {
  SAdvancedValues values;
  values.clearDnsCache = settings.clearDnsCache;
  values.blockTcpPort53 = settings.blockTcpPort53;
  values.captivePortalDetection = settings.captivePortalDetection;
  values.interceptOthers = settings.interceptOthers;
  values.ttlMin = settings.ttlMin;
  values.ttlMax = settings.ttlMax;
  return values;
}

SAdvancedForm AdvancedForm(const SAdvancedValues& values) {
  return {values.clearDnsCache, values.blockTcpPort53, std::to_wstring(values.ttlMin),
          std::to_wstring(values.ttlMax), values.captivePortalDetection, values.interceptOthers};
}

SAdvancedResult ApplyAdvanced(const SAdvancedForm& form, const SAdvancedValues& running) {
  SAdvancedResult result;
  if (form.ttlMin.empty()) {
    result.refusal = L"TTL Min cannot be empty.";
    return result;
  }
  SAdvancedValues& v = result.values;
  if (!ReadTtl(form.ttlMin, v.ttlMin)) {
    result.refusal = L"TTL Min should be within range 0 - 2147483647.";
    return result;
  }
  if (!ReadTtl(form.ttlMax, v.ttlMax)) {
    result.refusal = L"TTL Max should be within range 0 - 2147483647.";
    return result;
  }
  if (v.ttlMax < v.ttlMin) {
    result.refusal = L"TTL Max (" + std::to_wstring(v.ttlMax) + L") cannot be less than TTL Min (" +
                     std::to_wstring(v.ttlMin) + L").";
    return result;
  }
  v.clearDnsCache = form.clearDnsCache;
  v.blockTcpPort53 = form.blockTcpPort53;
  v.captivePortalDetection = form.captivePortalDetection;
  v.interceptOthers = form.interceptOthers;
  result.tellDriver = v.blockTcpPort53 != running.blockTcpPort53 || v.interceptOthers != running.interceptOthers;
  return result;
}

void StoreAdvanced(const SAdvancedResult& result, SSettings& settings, CAdvancedDriver& driver) {
  const SAdvancedValues& v = result.values;
  settings.ttlMax = v.ttlMax;
  settings.ttlMin = v.ttlMin;
  if (result.tellDriver) driver.Configure(v.blockTcpPort53, v.interceptOthers);
  settings.blockTcpPort53 = v.blockTcpPort53;
  settings.clearDnsCache = v.clearDnsCache;
  settings.captivePortalDetection = v.captivePortalDetection;
  settings.interceptOthers = v.interceptOthers;
}
