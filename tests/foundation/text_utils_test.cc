#include "Quorvane/foundation/text_utils.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

TEST(Encoding, Utf8RoundTripAndStrictness) {
  const std::string utf8 = "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80";
  std::wstring wide = Utf8ToWide(utf8);
  EXPECT_EQ(wide, L"gr\u00FC\u00DF \u20AC \U0001F600");
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(Utf8ToWide(""), L"");

  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\xFF"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Utf8ToWide(bad), L"Error: Cannot convert from UTF-8, error 84");
  }
  std::wstring surrogate(1, static_cast<wchar_t>(0xD800));
  EXPECT_EQ(WideToUtf8(surrogate), "Error: Cannot convert to UTF-8, error 84");
}

TEST(Encoding, AnsiFollowsTheLocaleCodeset) {
  // Under the C locale the "ANSI" side is UTF-8.
  std::setlocale(LC_CTYPE, "C");
  EXPECT_EQ(ToWide("\xC3\xA9", 2, false), L"\u00E9");
  EXPECT_EQ(ToWide("\xE9", 1, false), L"Error: Cannot convert from ANSI, error 84");
  if (std::setlocale(LC_CTYPE, "C.UTF-8")) {
    EXPECT_EQ(ToNarrow(L"\u00E9", 1, false), "\xC3\xA9");
  }
  std::setlocale(LC_CTYPE, "C");
}

TEST(Base64Url, EncodesWithoutPaddingAndDecodesBack) {
  struct Case { std::string bytes, text; };
  for (const auto& c : {Case{"", ""}, Case{"\x01", "AQ"}, Case{"\xfb\xff", "-_8"}, Case{"abc", "YWJj"},
                        Case{"abcd", "YWJjZA"}}) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Base64UrlEncode(c.bytes), c.text);
    EXPECT_EQ(Base64UrlDecode(c.text), c.bytes);
  }
  EXPECT_EQ(Base64UrlDecode("YWJj=ZA"), "abc");     // stops at "="
  EXPECT_EQ(Base64UrlDecode("YWJj+/8"), "abc");     // standard alphabet stops at "+"
  EXPECT_EQ(Base64UrlDecode("YWJjZ"), "abc");       // a single leftover gives nothing
}

TEST(Hex, FormatsGroupsAndParsesSeparators) {
  std::vector<uint8_t> bytes{0x0a, 0xbc, 0xff};
  EXPECT_EQ(BytesToHex(bytes, false, 1), "0ABCFF");
  EXPECT_EQ(BytesToHex(bytes, true, 1), "0A:BC:FF");
  EXPECT_EQ(BytesToHex(bytes, true, 2), "0ABC:FF");
  EXPECT_EQ(BytesToHex({}, true, 1), "");

  std::vector<uint8_t> out;
  EXPECT_TRUE(HexToBytes("0a:B c:f f", out));
  EXPECT_EQ(out, bytes);
  out.clear();
  EXPECT_TRUE(HexToBytes("", out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(HexToBytes("0ab", out));
  out.clear();
  EXPECT_FALSE(HexToBytes("0a-bc", out));
  EXPECT_EQ(out, std::vector<uint8_t>{0x0a});  // bytes read so far stay
}

TEST(Guid, IsUpperCaseAndZeroFilled) {
  GUID g{0x1a, 0x2b, 0x3c, {0x01, 0x02, 0xa0, 0xb0, 0xc0, 0xd0, 0xe0, 0xf0}};
  EXPECT_EQ(GuidToText(g), L"{0000001A-002B-003C-0102-A0B0C0D0E0F0}");
}

TEST(Blanks, TrimAndNormalizeSeparators) {
  std::wstring w = L"  a b  ";
  TrimRight(w);
  EXPECT_EQ(w, L"  a b");
  TrimLeft(w);
  EXPECT_EQ(w, L"a b");
  std::wstring blanks = L"   ";
  TrimRight(blanks);
  EXPECT_EQ(blanks, L"");
  std::string n = "example.com..";
  TrimRight(n, '.');
  EXPECT_EQ(n, "example.com");
  std::string left = "\t x";
  TrimLeft(left);
  EXPECT_EQ(left, "\t x");  // a blank is " " only

  std::wstring list = L"a  ;  b ; ;c ;";
  NormalizeListSeparators(list);
  EXPECT_EQ(list, L"a;b;;c;");
}

struct SplitCase {
  const char* name;
  std::wstring address;
  bool ok;
  std::wstring scheme, host;
  unsigned short port;
  std::wstring path, error;
};

class Split : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Split, ServerAddress) {
  const auto& c = GetParam();
  std::wstring scheme = L"x", host, path = L"x", error = L"x";
  unsigned short port = 7;
  EXPECT_EQ(SplitServerAddress(c.address, scheme, host, port, path, error), c.ok);
  EXPECT_EQ(scheme, c.scheme);
  EXPECT_EQ(host, c.host);
  EXPECT_EQ(port, c.port);
  EXPECT_EQ(path, c.path);
  EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, Split,
    ::testing::Values(
        SplitCase{"all_parts", L"https://[2001:db8::1]:8443/dns-query", true, L"https://", L"2001:db8::1", 8443,
                  L"/dns-query", L""},
        SplitCase{"bare_ipv6", L"2001:db8::1", true, L"", L"2001:db8::1", 0, L"", L""},
        SplitCase{"v4_port", L"1.2.3.4:53", true, L"", L"1.2.3.4", 53, L"", L""},
        SplitCase{"no_bracket_close", L"[::1", true, L"", L"[::1", 0, L"", L""},
        SplitCase{"bracket_no_port", L"[::1]", true, L"", L"::1", 0, L"", L""},
        SplitCase{"port_zero", L"host:0", false, L"", L"host", 0, L"", L"Incorrect port number"},
        SplitCase{"port_too_big", L"host:65536", false, L"", L"host", 0, L"", L"Incorrect port number"},
        SplitCase{"port_huge", L"host:99999999999999999999", false, L"", L"host", 0, L"", L"Incorrect port number"},
        SplitCase{"port_digits_then_text", L"host:80x", true, L"", L"host", 80, L"", L""},
        SplitCase{"empty_after_scheme", L"tls://", false, L"tls://", L"", 0, L"", L"Empty address"},
        SplitCase{"only_path", L"/path", true, L"", L"", 0, L"/path", L""}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(Split, NarrowTextBehavesTheSame) {
  std::string scheme, host, path, error;
  unsigned short port = 0;
  EXPECT_TRUE(SplitServerAddress(std::string("quic://dns.example:784"), scheme, host, port, path, error));
  EXPECT_EQ(scheme, "quic://");
  EXPECT_EQ(host, "dns.example");
  EXPECT_EQ(port, 784);
}

TEST(ExeDirectory, EndsWithSlash) {
  std::wstring dir = GetExeDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), L'/');
  EXPECT_EQ(GetExeDirectory(), dir);
}

}  // namespace
