#include "Quorvane/foundation/user_sid.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <string>

namespace {

TEST(UserSid, NamesComeFromTheUidAndTheHost) {
  CUserSid sid;
  std::wstring domain = L"x", user = L"y";
  EXPECT_FALSE(sid.GetNames(domain, user));
  ASSERT_TRUE(sid.Load());
  ASSERT_TRUE(sid.GetNames(domain, user));
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  char host[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(user, std::wstring(pw->pw_name, pw->pw_name + std::char_traits<char>::length(pw->pw_name)));
  EXPECT_EQ(domain, std::wstring(host, host + std::char_traits<char>::length(host)));
}

}  // namespace
