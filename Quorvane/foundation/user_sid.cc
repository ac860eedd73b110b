#include "Quorvane/foundation/user_sid.h"

#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "Quorvane/foundation/text_utils.h"

bool CUserSid::Load() {
  m_uid = ::geteuid();
  return true;
}

bool CUserSid::GetNames(std::wstring& domain, std::wstring& user) const {
  if (!m_uid) return false;
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
  passwd entry{};
  passwd* found = nullptr;
  int rc;
  while ((rc = ::getpwuid_r(*m_uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || !found) return false;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return false;
  domain = ToWide(host, false);
  user = ToWide(found->pw_name, false);
  return true;
}
