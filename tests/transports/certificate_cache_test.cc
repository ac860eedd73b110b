#include "Quorvane/transports/certificate_cache.h"

#include <gtest/gtest.h>

#include "Quorvane/platform/clock.h"

namespace {

class CertificateCacheTest : public testing::Test {
 protected:
  CertificateCacheTest() { platform::SetClockSourceForTesting(&m_clock); }
  ~CertificateCacheTest() override { platform::SetClockSourceForTesting(nullptr); }

  platform::FakeClock m_clock;
  CCertificateCache m_cache;
  const std::vector<uint8_t> m_key{1, 2, 3};
  const std::vector<uint8_t> m_address{4, 5};
};

TEST_F(CertificateCacheTest, KeyLayout) {
  // U+1F600 becomes a surrogate pair, each unit little-endian.
  std::vector<uint8_t> want{'d', 0, 0x3d, 0xd8, 0x00, 0xde, 1, 2, 3, 4, 5, 'q', 'u', 'i', 'c'};
  EXPECT_EQ(CCertificateCache::MakeKey(L"d\U0001F600", m_key, m_address, "quic"), want);
}

TEST_F(CertificateCacheTest, StoresTheClockTimePerKey) {
  EXPECT_EQ(m_cache.GetVerifiedTime(L"a.test", m_key, m_address, "sdns://x"), 0);
  const int64_t t0 = platform::TickSeconds();
  m_cache.SetVerified(L"a.test", m_key, m_address, "sdns://x");
  m_cache.SetVerified(L"b.test", m_key, m_address, "sdns://x");
  EXPECT_EQ(m_cache.Size(), 2u);
  EXPECT_EQ(m_cache.GetVerifiedTime(L"a.test", m_key, m_address, "sdns://x"), t0);
  EXPECT_EQ(m_cache.GetVerifiedTime(L"a.test", m_key, m_address, "quic"), 0);

  m_clock.AdvanceMs(5000);
  m_cache.SetVerified(L"a.test", m_key, m_address, "sdns://x");
  EXPECT_EQ(m_cache.GetVerifiedTime(L"a.test", m_key, m_address, "sdns://x"), t0 + 5);
  m_cache.Remove(L"a.test", m_key, m_address, "sdns://x");
  EXPECT_EQ(m_cache.GetVerifiedTime(L"a.test", m_key, m_address, "sdns://x"), 0);
  EXPECT_EQ(m_cache.Size(), 1u);
}

TEST_F(CertificateCacheTest, PurgeKeepsADayAndDropsOneSecondMore) {
  const int64_t t0 = platform::TickSeconds();
  m_cache.SetVerified(L"old.test", m_key, m_address, "quic");
  m_clock.AdvanceMs(1000);
  m_cache.SetVerified(L"new.test", m_key, m_address, "quic");
  EXPECT_EQ(m_cache.Purge(t0 + 86400), 0u);
  EXPECT_EQ(m_cache.Purge(t0 + 86401), 1u);
  EXPECT_EQ(m_cache.GetVerifiedTime(L"old.test", m_key, m_address, "quic"), 0);
  EXPECT_EQ(m_cache.GetVerifiedTime(L"new.test", m_key, m_address, "quic"), t0 + 1);
}

TEST(GetCertificateCache, IsOneInstance) { EXPECT_EQ(&GetCertificateCache(), &GetCertificateCache()); }

}  // namespace
