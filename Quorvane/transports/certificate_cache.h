// The process-wide cache of verified server certificates: a key made of the
// server's name, two byte strings that tie the entry to one certificate and
// one connection, and a tag, mapped to the time of the last successful
// check. DNS over TLS accepts an entry younger than 600 s and re-checks an
// older one; DNS over QUIC accepts any age; the engine's worker purges
// entries older than a day. Times are the program clock's wall seconds.
//
// Threads: any; every operation holds m_mutex for its whole run, and no
// other lock is taken under it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class CCertificateCache {
 public:
  static constexpr int64_t kMaxAgeSeconds = 86400;

  // The name as UTF-16LE code units, then first, second and the tag's bytes.
  static std::vector<uint8_t> MakeKey(const std::wstring& name, const std::vector<uint8_t>& first,
                                      const std::vector<uint8_t>& second, const std::string& tag);

  // The time of the last success, 0 when there is none.
  int64_t GetVerifiedTime(const std::wstring& name, const std::vector<uint8_t>& first,
                          const std::vector<uint8_t>& second, const std::string& tag);
  // Stores the current time.
  void SetVerified(const std::wstring& name, const std::vector<uint8_t>& first, const std::vector<uint8_t>& second,
                   const std::string& tag);
  void Remove(const std::wstring& name, const std::vector<uint8_t>& first, const std::vector<uint8_t>& second,
              const std::string& tag);
  // Erases every entry older than now - kMaxAgeSeconds; returns how many went.
  size_t Purge(int64_t now);
  size_t Size();

 private:
  std::mutex m_mutex;
  std::map<std::vector<uint8_t>, int64_t> m_entries;  // under m_mutex
};

// The one cache, made on first use.
CCertificateCache& GetCertificateCache();
