// The Advanced Settings model: TTL texts, refusals and the driver request.
#include "Quorvane/app/advanced_settings.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(AdvancedSettings, TtlTable) {
  struct Case {
    const char* name;
    std::wstring min, max;
    std::wstring refusal;  // empty: accepted
    uint32_t wantMin, wantMax;
  } cases[] = {
      {"letters_read_as_zero", L"abc", L"100", L"", 0, 100},
      {"blanks_and_plus", L"  +30", L"30", L"", 30, 30},
      {"equal_bounds", L"30", L"30", L"", 30, 30},
      {"empty_max_reads_as_zero", L"0", L"", L"", 0, 0},
      {"empty_min", L"", L"30", L"TTL Min cannot be empty.", 0, 0},
      {"negative_min", L"-1", L"30", L"TTL Min should be within range 0 - 2147483647.", 0, 0},
      {"min_one_above", L"2147483648", L"2147483647", L"TTL Min should be within range 0 - 2147483647.", 0, 0},
      {"max_one_above", L"0", L"2147483648", L"TTL Max should be within range 0 - 2147483647.", 0, 0},
      {"max_far_above", L"0", L"99999999999999999999", L"TTL Max should be within range 0 - 2147483647.", 0, 0},
      {"max_below_min", L"60", L"30", L"TTL Max (30) cannot be less than TTL Min (60).", 0, 0},
      {"full_range", L"0", L"2147483647", L"", 0, 2147483647},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SAdvancedForm form = AdvancedForm({});
    form.ttlMin = c.min;
    form.ttlMax = c.max;
    const SAdvancedResult result = ApplyAdvanced(form, {});
    EXPECT_EQ(result.refusal, c.refusal);
    if (c.refusal.empty()) {
      EXPECT_EQ(result.values.ttlMin, c.wantMin);
      EXPECT_EQ(result.values.ttlMax, c.wantMax);
    }
  }
}

class CDriverRecord : public CAdvancedDriver {
 public:
  void Configure(bool block, bool intercept) override { calls.push_back({block, intercept}); }
  std::vector<std::pair<bool, bool>> calls;
};

TEST(AdvancedSettings, OnlyTheDriversTwoFlagsReachTheDriver) {
  struct Case {
    const char* name;
    bool clear, block, captive, intercept;
    std::vector<std::pair<bool, bool>> calls;
  } cases[] = {
      {"clear_cache_alone", false, true, false, false, {}},
      {"captive_alone", true, true, true, false, {}},
      {"block_tcp", true, false, false, false, {{false, false}}},
      {"intercept", true, true, false, true, {{true, true}}},
      {"both", true, false, false, true, {{false, true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SSettings settings;  // clear and block on, the rest off
    SAdvancedForm form = AdvancedForm(ReadAdvanced(settings));
    form.clearDnsCache = c.clear;
    form.blockTcpPort53 = c.block;
    form.captivePortalDetection = c.captive;
    form.interceptOthers = c.intercept;
    const SAdvancedResult result = ApplyAdvanced(form, ReadAdvanced(settings));
    ASSERT_TRUE(result.refusal.empty());
    CDriverRecord driver;
    StoreAdvanced(result, settings, driver);
    EXPECT_EQ(driver.calls, c.calls);
    EXPECT_EQ(bool(settings.clearDnsCache), c.clear);
    EXPECT_EQ(bool(settings.blockTcpPort53), c.block);
    EXPECT_EQ(bool(settings.captivePortalDetection), c.captive);
    EXPECT_EQ(bool(settings.interceptOthers), c.intercept);
  }
}

TEST(AdvancedSettings, DefaultsFillTheFormWithoutStoring) {
  SSettings running;
  running.ttlMin = 60;
  running.ttlMax = 600;
  running.blockTcpPort53 = false;
  const SAdvancedForm defaults = AdvancedForm(ReadAdvanced(SSettings{}));
  EXPECT_EQ(defaults.ttlMin, L"0");
  EXPECT_EQ(defaults.ttlMax, L"2147483647");
  EXPECT_TRUE(defaults.clearDnsCache);
  EXPECT_TRUE(defaults.blockTcpPort53);
  EXPECT_FALSE(defaults.captivePortalDetection);
  EXPECT_FALSE(defaults.interceptOthers);
  EXPECT_EQ(uint32_t(running.ttlMin), 60u);
  EXPECT_EQ(uint32_t(running.ttlMax), 600u);
  EXPECT_FALSE(bool(running.blockTcpPort53));
}

}  // namespace
