#include "Quorvane/config/hostname_match.h"

#include <gtest/gtest.h>

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "tests/support/temp_folder.h"

namespace {

TEST(WildcardMatch, WholeTextAgainstWholePattern) {
  struct Case {
    const char* pattern;
    const char* text;
    bool match;
  };
  const Case cases[] = {
      {"*", "", true},
      {"*", "anything.at.all", true},
      {"", "", true},
      {"", "a", false},
      {"?", "", false},
      {"?", "a", true},
      {"??", "a", false},
      {"exam?le.com", "example.com", true},
      {"exam?le.com", "examle.com", false},
      {"*.example.com", "host.example.com", true},
      {"*.example.com", "a.b.example.com", true},
      {"*.example.com", "example.com", false},
      {"*.example.com", ".example.com", true},
      {"*.example.com", "badexample.com", false},
      {"a*b*c", "abc", true},
      {"a*b*c", "axxbyyc", true},
      {"a*b*c", "axxbyy", false},
      {"a*b*c", "acb", false},
      {"*a", "baaa", true},
      {"*ab", "aab", true},   // the star must give back one byte
      {"a*", "b", false},
      {"**", "", true},
      {"*?*", "", false},
      {"*?*", "x", true},
      {"A.com", "a.com", false},  // byte for byte, no case folding
      {"a*", "a*", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " vs " + c.text);
    EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.match);
  }
}

TEST(WildcardMatch, PathologicalMasksStayWithinLengthProduct) {
  const std::string text(2000, 'a');
  for (const std::string& pattern : {std::string("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b"), "*" + std::string(40, 'a') + "b"}) {
    SCOPED_TRACE(pattern);
    uint64_t steps = 0;
    EXPECT_FALSE(hostname_match_detail::WildcardMatchCounted(pattern, text, steps));
    EXPECT_LE(steps, (text.size() + 1) * (pattern.size() + 1));
  }
}

class HostsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::list<SLogLine> drop;
    SwapLogQueue(drop, true);
    g_LogLevelScreen = LogNormal;
    g_LogLevelFile = 0;
  }
  void TearDown() override { g_LogLevelScreen = LogNormal; }
  std::wstring Path(const std::string& name) { return Utf8ToWide((m_folder.Path() / name).string()); }

  testsupport::TempFolder m_folder;
  HostnameSet m_exact, m_masks;
  std::wstring m_error;
};

TEST_F(HostsFileTest, ReadsNamesAfterAddressesAndSkipsComments) {
  testsupport::WriteBytes(m_folder.Path() / "hosts",
                 "# comment line\r\n"
                 "0.0.0.0 ads.example\r\n"
                 "   \r\n"
                 "\r\n"
                 "   # indented comment\n"
                 "Tracker.Example\n"
                 ":: v6.example extra.example\n"
                 "2001:db8::1 V6b.Example\n"
                 "127.0.0.1\ttabbed.example\n"
                 "  *.Wild.example  trailing\n"
                 "0.0.0.0  two-blanks.example\n"
                 "0.0.0.0\n"
                 "last.example");
  ASSERT_TRUE(LoadHostsFile(Path("hosts"), m_exact, m_masks, m_error)) << WideToUtf8(m_error);
  EXPECT_EQ(m_exact, (HostnameSet{"ads.example", "last.example", "tabbed.example", "tracker.example",
                                  "two-blanks.example", "v6.example", "v6b.example"}));
  EXPECT_EQ(m_masks, HostnameSet{"*.wild.example"});
}

// The common published forms: address, TAB, name; columns aligned with
// several blanks; TABs anywhere a blank may be.
TEST_F(HostsFileTest, TabsSeparateLikeBlanks) {
  testsupport::WriteBytes(m_folder.Path() / "hosts",
                          "0.0.0.0\tads.example\n"
                          "\t# indented by a tab\n"
                          "\t\n"
                          "::\tv6.example\tlater.example\n"
                          "\tTracker.Example\tcomment\n"
                          "0.0.0.0 \taligned.example\n"
                          "127.0.0.1\t\tsecond.example\n"
                          "0.0.0.0   \n"
                          "*.wild.example\t# note\n");
  ASSERT_TRUE(LoadHostsFile(Path("hosts"), m_exact, m_masks, m_error)) << WideToUtf8(m_error);
  EXPECT_EQ(m_exact,
            (HostnameSet{"ads.example", "aligned.example", "second.example", "tracker.example", "v6.example"}));
  EXPECT_EQ(m_masks, HostnameSet{"*.wild.example"});
}

TEST_F(HostsFileTest, NamesKeepTheFileBytes) {
  testsupport::WriteBytes(m_folder.Path() / "hosts", "0.0.0.0 Caf\xC3\xA9.Example\n");
  ASSERT_TRUE(LoadHostsFile(Path("hosts"), m_exact, m_masks, m_error));
  EXPECT_EQ(m_exact, HostnameSet{"caf\xC3\xA9.example"});
}

TEST_F(HostsFileTest, FilesThatCannotBeReadFail) {
  testsupport::WriteBytes(m_folder.Path() / "plain", "a.example\n");
  testsupport::WriteBytes(m_folder.Path() / "comments", "# nothing\r\n\r\n   \n");
  struct Case {
    const char* name;
    std::wstring path;
    std::wstring error;
  };
  const Case cases[] = {
      {"missing", Path("missing"), L"Could not open file for reading " + Path("missing")},
      {"folder", Path(""), L"Could not open file for reading " + Path("")},
      {"under_a_file", Path("plain/x"), L"Could not open file for reading " + Path("plain/x")},
      {"only_comments", Path("comments"), L"No hostnames loaded from file " + Path("comments")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostnameSet exact, masks;
    std::wstring error;
    EXPECT_FALSE(LoadHostsFile(c.path, exact, masks, error));
    EXPECT_EQ(error, c.error);
  }
  // Names from an earlier file of the same list are enough.
  m_exact.insert("earlier.example");
  EXPECT_TRUE(LoadHostsFile(Path("comments"), m_exact, m_masks, m_error));
}

TEST_F(HostsFileTest, LogsTheLoadedSetsAtDebugLevel) {
  testsupport::WriteBytes(m_folder.Path() / "hosts", "b.example\na.example\n*.m.example\n");
  ASSERT_TRUE(LoadHostsFile(Path("hosts"), m_exact, m_masks, m_error));
  std::list<SLogLine> lines;
  SwapLogQueue(lines, true);
  EXPECT_TRUE(lines.empty());

  g_LogLevelScreen = LogDebug;
  ASSERT_TRUE(LoadHostsFile(Path("hosts"), m_exact, m_masks, m_error));
  SwapLogQueue(lines, true);
  std::vector<std::wstring> texts;
  for (const auto& line : lines) texts.push_back(line.text);
  EXPECT_EQ(texts, (std::vector<std::wstring>{L"The following hostnames were loaded from file " + Path("hosts"),
                                              L"a.example", L"b.example",
                                              L"The following hostname masks were loaded from file " + Path("hosts"),
                                              L"*.m.example"}));
}

}  // namespace
