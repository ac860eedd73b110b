// The account the process runs under, for the service's start line. On
// Linux the account is the effective uid; its "domain" is the host name and
// its user name comes from the password database.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

class CUserSid {
 public:
  // Always succeeds here: a uid is always at hand.
  bool Load();
  // False before Load, or when the uid has no password entry or the host
  // name cannot be read.
  bool GetNames(std::wstring& domain, std::wstring& user) const;

 private:
  std::optional<uid_t> m_uid;
};
