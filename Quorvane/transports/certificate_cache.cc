#include "Quorvane/transports/certificate_cache.h"

#include <algorithm>

#include "Quorvane/platform/clock.h"

namespace {

void AppendUnit(std::vector<uint8_t>& key, uint32_t unit) {
  key.push_back(static_cast<uint8_t>(unit & 0xff));
  key.push_back(static_cast<uint8_t>(unit >> 8));
}

}  // namespace

std::vector<uint8_t> CCertificateCache::MakeKey(const std::wstring& name, const std::vector<uint8_t>& first,
                                                const std::vector<uint8_t>& second, const std::string& tag) {
  std::vector<uint8_t> key;
  key.reserve(name.size() * 2 + first.size() + second.size() + tag.size());
  for (wchar_t c : name) {
    uint32_t code = static_cast<uint32_t>(c);
    if (code > 0xffff && code <= 0x10ffff) {
      code -= 0x10000;
      AppendUnit(key, 0xd800 | (code >> 10));
      AppendUnit(key, 0xdc00 | (code & 0x3ff));
    } else {
      AppendUnit(key, code & 0xffff);
    }
  }
  key.insert(key.end(), first.begin(), first.end());
  key.insert(key.end(), second.begin(), second.end());
  key.insert(key.end(), tag.begin(), tag.end());
  return key;
}

int64_t CCertificateCache::GetVerifiedTime(const std::wstring& name, const std::vector<uint8_t>& first,
                                           const std::vector<uint8_t>& second, const std::string& tag) {
  std::vector<uint8_t> key = MakeKey(name, first, second, tag);
  std::lock_guard lock(m_mutex);
  auto it = m_entries.find(key);
  return it == m_entries.end() ? 0 : it->second;
}

void CCertificateCache::SetVerified(const std::wstring& name, const std::vector<uint8_t>& first,
                                    const std::vector<uint8_t>& second, const std::string& tag) {
  std::vector<uint8_t> key = MakeKey(name, first, second, tag);
  std::lock_guard lock(m_mutex);
  // 0 reads back as "never verified"; a tick clock may stand at 0.
  m_entries[std::move(key)] = std::max<int64_t>(1, platform::TickSeconds());
}

void CCertificateCache::Remove(const std::wstring& name, const std::vector<uint8_t>& first,
                               const std::vector<uint8_t>& second, const std::string& tag) {
  std::vector<uint8_t> key = MakeKey(name, first, second, tag);
  std::lock_guard lock(m_mutex);
  m_entries.erase(key);
}

size_t CCertificateCache::Purge(int64_t now) {
  std::lock_guard lock(m_mutex);
  return std::erase_if(m_entries, [now](const auto& entry) { return entry.second < now - kMaxAgeSeconds; });
}

size_t CCertificateCache::Size() {
  std::lock_guard lock(m_mutex);
  return m_entries.size();
}

CCertificateCache& GetCertificateCache() {
  static CCertificateCache cache;
  return cache;
}
