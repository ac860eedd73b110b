// Where a resizable dialog opens, the message box's key, and the filtered
// edit's marks.
#include <gtest/gtest.h>

#include "Quorvane/ui/dialog_logic.h"

namespace {

TEST(ComputeDialogRect, ClampsTheSavedSizeAndKeepsTheDialogOnTheDesktop) {
  const SRect desktop{0, 0, 1600, 1200};
  const SRect parent{400, 300, 1200, 900};  // centre 800, 600
  struct Case {
    const char* name;
    SSize saved;
    SRect parent;
    SRect want;
  } cases[] = {
      {"first_open_design_size_centred", {0, 0}, parent, {600, 450, 1000, 750}},
      {"saved_size_kept", {500, 400}, parent, {550, 400, 1050, 800}},
      {"never_below_design", {100, 100}, parent, {600, 450, 1000, 750}},
      {"never_above_twice_design", {5000, 5000}, parent, {400, 300, 1200, 900}},
      {"shifted_in_at_bottom_right", {0, 0}, {1400, 1000, 1600, 1200}, {1200, 900, 1600, 1200}},
      {"shifted_in_at_top_left", {0, 0}, {-300, -300, 0, 0}, {0, 0, 400, 300}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ComputeDialogRect({400, 300}, c.saved, c.parent, desktop), c.want);
  }
  // Three quarters of a small desktop is the tighter limit.
  EXPECT_EQ(GetMaxDialogSize({400, 300}, {800, 600}), (SSize{600, 450}));
}

TEST(MessageBoxKey, FourBytesOverUtf16CodeUnits) {
  // Up to four characters touch one byte each: i * c of "ABCD" is 0, 66, 134, 204.
  EXPECT_EQ(MessageBoxKey(L"ABCD"), L"CC864200");
  EXPECT_EQ(MessageBoxKey(L""), L"0");
  // U+1F600 is the pair D83D DE00: units 1 and 2 are 0xD83D and 0xDE00.
  // byte1 = (1 * 0xD83D) & 0xFF = 0x3D; byte2 = (2 * 0xDE00) & 0xFF = 0.
  EXPECT_EQ(ToUtf16Units(L"a\U0001F600"), (std::u16string{u'a', 0xD83D, 0xDE00}));
  EXPECT_EQ(MessageBoxKey(L"a\U0001F600"), L"3D00");
  // The update notice's key is the same on every run.
  const std::wstring notice =
      L"TarnwickThere is an update for this version of software.\n\nDo you want to open the download page right now?";
  EXPECT_EQ(MessageBoxKey(notice), MessageBoxKey(notice));
}

TEST(FilteredEdit, MarksForbiddenCharactersExceptInLinks) {
  SCharFilter letters;
  letters.ranges = {{u'a', u'z'}, {u'A', u'Z'}};
  letters.allowed = u".:/";
  struct Case {
    const char* name;
    std::u16string text;
    std::vector<int> want;
  } cases[] = {
      {"hash_marked", u"ab#c", {2}},
      {"hash_in_link_kept", u"file:/a#b", {}},
      {"link_ends_at_semicolon", u"file:/a#;#", {8, 9}},
      {"link_ends_at_blank", u"file:/x# #", {8, 9}},
      {"non_bmp_units_both_marked", u"a\U0001F600", {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ForbiddenPositions(c.text, letters), c.want);
  }
  SCharFilter noHash;
  noHash.forbidden = u"#";
  EXPECT_EQ(ForbiddenPositions(u"any text # here", noHash), (std::vector<int>{9}));
}

}  // namespace
