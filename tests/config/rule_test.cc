#include "Quorvane/config/rule.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "Quorvane/foundation/text_utils.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(Rule, DefaultsAndTheDefaultRule) {
  CRule rule;
  EXPECT_EQ(rule.name, L"New Rule");
  EXPECT_EQ(rule.action, ERuleAction::Bypass);
  EXPECT_TRUE(rule.block_return_zero_ip);
  EXPECT_EQ(rule.masks, HostnameSet{"*"});
  EXPECT_TRUE(rule.Match("anything.example"));
  rule.name = L"x";
  rule.enabled = false;
  rule.action = ERuleAction::Block;
  std::wstring error;
  ASSERT_TRUE(rule.SetHostnames(L"a.com", L"", error));
  rule.InitDefault();
  EXPECT_EQ(rule.name, L"Default");
  EXPECT_TRUE(rule.enabled);
  EXPECT_EQ(rule.action, ERuleAction::Bypass);
  EXPECT_EQ(rule.hostnames, L"*");
  EXPECT_EQ(rule.masks, HostnameSet{"*"});
  EXPECT_EQ(rule.exactNames, nullptr);
}

TEST(Rule, NamesAndActionKeys) {
  CRule rule;
  std::wstring error;
  EXPECT_FALSE(rule.SetName(L"", error));
  EXPECT_EQ(error, L"The name of the rule cannot be an empty string.");
  for (const wchar_t* reserved : {L"default", L"DEFAULT", L"Default"}) {
    EXPECT_FALSE(rule.SetName(reserved, error));
    EXPECT_EQ(error, L"This name is reserved. Please use another one.");
  }
  EXPECT_EQ(rule.name, L"New Rule");
  EXPECT_TRUE(rule.SetName(L"Default2", error));
  EXPECT_EQ(rule.name, L"Default2");

  EXPECT_TRUE(rule.SetActionKey("PROCESS_Pool"));
  EXPECT_EQ(rule.action, ERuleAction::ProcessPool);
  EXPECT_EQ(rule.GetActionKey(), L"process_pool");
  EXPECT_FALSE(rule.SetActionKey("process pool"));
  EXPECT_FALSE(rule.SetActionKey("blocked"));
  EXPECT_EQ(rule.action, ERuleAction::ProcessPool);
  rule.action = static_cast<ERuleAction>(4);
  EXPECT_EQ(rule.GetActionKey(), L"unknown");

  ENetInterfaceIdType type = InterfaceIdAdapter;
  EXPECT_TRUE(NetInterfaceIdTypeFromKey(L"dns_suffix", type));
  EXPECT_EQ(type, InterfaceIdDnsSuffix);
  EXPECT_FALSE(NetInterfaceIdTypeFromKey(L"SSID", type));
  EXPECT_EQ(type, InterfaceIdDnsSuffix);
  EXPECT_EQ(NetInterfaceIdTypeToKey(InterfaceIdSsid), L"ssid");
  EXPECT_THROW(NetInterfaceIdTypeToKey(static_cast<ENetInterfaceIdType>(4)), std::out_of_range);
}

TEST(Rule, HostnameListsAcceptedAndRefused) {
  struct Case {
    const char* name;
    std::wstring list;
    std::wstring error;  // empty: accepted
    std::wstring display;
  };
  const std::wstring blank =
      L"Unexpected blank space found. Please make sure that you use semicolon (;) to separate hostnames.";
  const Case cases[] = {
      {"blanks_around_separator", L"  a.com ;  b.com  ", L"", L"a.com; b.com"},
      {"line_breaks", L"a.com\r\nB.com\n\n*.c.com\r\n", L"", L"a.com; b.com; *.c.com"},
      {"hyphen_inside", L"a-b.com", L"", L"a-b.com"},
      {"keyword_alone", L"??SimpleHostnames??", L"", L"??simplehostnames??"},
      {"blank_between", L"a.com b.com", blank, L""},
      {"tab_between", L"a.com\tb.com", blank, L""},
      {"empty", L"", L"List cannot be empty.", L""},
      {"all_blank", L" \t  \r", L"List cannot be empty.", L""},
      {"separators_only", L";; ;\n\r\n;", L"List does not contain any hostnames.", L""},
      {"leading_hyphen", L"-a.com", L"Unexpected hyphen found.", L""},
      {"trailing_hyphen", L"x.com;a.com-", L"Unexpected hyphen found.", L""},
      {"bad_symbol", L"a.com;b/c.com", L"Incorrect symbol(s) found.", L""},
      {"non_ascii", L"caf\u00e9.com", L"Incorrect symbol(s) found.", L""},
      {"symbol_before_blank", L"a b;c,d", L"Incorrect symbol(s) found.", L""},
      {"blank_in_file_name", L"file://my hosts", L"Unexpected whitespace in the file name found.", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CRule rule;
    std::wstring error;
    EXPECT_EQ(rule.SetHostnames(c.list, L"", error), c.error.empty());
    EXPECT_EQ(error, c.error);
    if (c.error.empty()) {
      EXPECT_EQ(rule.displayList, c.display);
      EXPECT_EQ(rule.hostnames, c.list);
    } else {
      EXPECT_EQ(rule.hostnames, L"*");  // unchanged
      EXPECT_EQ(rule.masks, HostnameSet{"*"});
    }
  }
}

TEST(Rule, MatchExactNamesMasksAndSimpleNames) {
  CRule rule;
  std::wstring error;
  ASSERT_TRUE(rule.SetHostnames(L"Example.COM;*.Sub.example;exam?le.org", L"", error));
  EXPECT_EQ(*rule.exactNames, HostnameSet{"example.com"});
  EXPECT_EQ(rule.masks, (HostnameSet{"*.sub.example", "exam?le.org"}));
  struct Case {
    const char* host;
    bool match;
  };
  for (const auto& c : {Case{"example.com", true}, Case{"EXAMPLE.com", true}, Case{"www.example.com", false},
                        Case{"sub.example", true}, Case{"host.sub.example", true}, Case{"a.b.SUB.example", true},
                        Case{"badsub.example", false}, Case{"example.org", true}, Case{"exampl.org", false},
                        Case{"", false}, Case{"printer", false}}) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(rule.Match(c.host), c.match);
  }

  CRule simple;
  ASSERT_TRUE(simple.SetHostnames(L"??simplehostnames??", L"", error));
  EXPECT_TRUE(simple.simpleHostnames);
  EXPECT_TRUE(simple.Match("printer"));
  EXPECT_TRUE(simple.Match(""));
  EXPECT_FALSE(simple.Match("a.b"));
  ASSERT_TRUE(simple.SetHostnames(L"??simplehostnames??;a.com", L"", error));
  ASSERT_TRUE(simple.SetHostnames(L"a.com", L"", error));
  EXPECT_FALSE(simple.simpleHostnames);
  EXPECT_FALSE(simple.Match("printer"));
}

TEST(Rule, CopiesShareTheExactSetUntilOneIsReplaced) {
  CRule a;
  std::wstring error;
  ASSERT_TRUE(a.SetHostnames(L"a.com;b.com", L"", error));
  CRule b = a;
  EXPECT_EQ(a.exactNames.get(), b.exactNames.get());
  auto before = a.exactNames;
  ASSERT_TRUE(b.SetHostnames(L"c.com", L"", error));
  EXPECT_EQ(a.exactNames.get(), before.get());
  EXPECT_EQ(*a.exactNames, (HostnameSet{"a.com", "b.com"}));
  EXPECT_EQ(*b.exactNames, HostnameSet{"c.com"});
  EXPECT_TRUE(a.Match("b.com"));
  EXPECT_FALSE(b.Match("b.com"));
}

TEST(Rule, DisplayStopsGrowingAt1000Characters) {
  std::wstring list;
  for (int i = 0; i < 200; ++i) list += L"host" + std::to_wstring(i) + L".example;";
  CRule rule;
  std::wstring error;
  ASSERT_TRUE(rule.SetHostnames(list, L"", error));
  EXPECT_EQ(rule.exactNames->size(), 200u);
  EXPECT_GE(rule.displayList.size(), 990u);
  EXPECT_LT(rule.displayList.size(), 1030u);
  EXPECT_EQ(rule.displayList.back(), L'e');  // cut at the last separator
}

class RuleFilesTest : public ::testing::Test {
 protected:
  std::wstring ConfPath() { return Utf8ToWide((m_folder.Path() / "Tarnwick.conf").string()); }
  std::wstring InFolder(const std::string& name) { return Utf8ToWide((m_folder.Path() / name).string()); }
  testsupport::TempFolder m_folder;
  CRule m_rule;
  std::wstring m_error;
};

TEST_F(RuleFilesTest, FilesBesideTheConfFileComeBeforeInlineNames) {
  testsupport::WriteBytes(m_folder.Path() / "ads.txt", "# list\r\n0.0.0.0 Ads.Example\r\n:: *.track.example\r\n");
  testsupport::WriteBytes(m_folder.Path() / "more.txt", "more.example\n");
  ASSERT_TRUE(m_rule.SetHostnames(L"inline.example;\nfile://ads.txt\n file://more.txt ;x.*", ConfPath(), m_error))
      << WideToUtf8(m_error);
  EXPECT_EQ(m_rule.displayList, L"file://ads.txt; file://more.txt; inline.example; x.*");
  EXPECT_EQ(*m_rule.exactNames, (HostnameSet{"ads.example", "inline.example", "more.example"}));
  EXPECT_EQ(m_rule.masks, (HostnameSet{"*.track.example", "x.*"}));
  EXPECT_TRUE(m_rule.Match("ADS.example"));
  EXPECT_TRUE(m_rule.Match("track.example"));
}

TEST_F(RuleFilesTest, FileFailuresFailTheWholeList) {
  testsupport::WriteBytes(m_folder.Path() / "comments.txt", "# only\n\n");
  std::filesystem::create_directory(m_folder.Path() / "folder");
  struct Case {
    const char* name;
    std::wstring list;
    std::wstring error;
  };
  const Case cases[] = {
      {"missing", L"file://none.txt", L"Could not open file for reading " + InFolder("none.txt")},
      {"folder", L"file://folder", L"Could not open file for reading " + InFolder("folder")},
      {"conf_folder_itself", L"a.com;file://", L"Could not open file for reading " + InFolder("")},
      {"comments_then_names", L"file://comments.txt;a.com",
       L"No hostnames loaded from file " + InFolder("comments.txt")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CRule rule;
    std::wstring error;
    EXPECT_FALSE(rule.SetHostnames(c.list, ConfPath(), error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(rule.hostnames, L"*");
  }
}

TEST_F(RuleFilesTest, WhereFilesAreLookedUp) {
  testsupport::WriteBytes(m_folder.Path() / "h.txt", "h.example\n");
  // Without a conf-file: the per-user configuration folder.
  std::filesystem::create_directories(m_folder.Path() / "Tarnwick");
  testsupport::WriteBytes(m_folder.Path() / "Tarnwick/user.txt", "user.example\n");
  const char* saved = getenv("XDG_CONFIG_HOME");
  std::string savedValue = saved ? saved : "";
  setenv("XDG_CONFIG_HOME", m_folder.Path().c_str(), 1);
  bool fromUserFolder = m_rule.SetHostnames(L"file://user.txt", L"", m_error);
  if (saved)
    setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
  EXPECT_TRUE(fromUserFolder) << WideToUtf8(m_error);
  EXPECT_TRUE(m_rule.Match("user.example"));

  // A conf-file path without a folder gives the bare file name.
  EXPECT_FALSE(m_rule.SetHostnames(L"file://h.txt", L"Tarnwick.conf", m_error));
  EXPECT_EQ(m_error, L"Could not open file for reading h.txt");
  EXPECT_TRUE(m_rule.SetHostnames(L"file://h.txt", ConfPath(), m_error));
}

}  // namespace
