// Text between the program's three encodings (wide strings in the user
// interface and configuration, UTF-8 in files and on the network, the
// locale's codeset for system and log text), bytes as base64url and hex,
// blanks and list separators, server addresses typed by users.
// No function here throws for bad input; none keeps state except
// GetExeDirectory, which computes its answer once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A 128-bit identifier in the layout the conf-file's interface ids use.
struct GUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};
};

// Must run once at start-up, before any thread converts "ANSI" text: selects
// the environment's locale for LC_CTYPE, whose codeset stands for the ANSI
// code page (UTF-8 under the plain C/POSIX locale).
void InitTextLocale();

// utf8: decode UTF-8, else the locale's codeset. A failed conversion gives
// "Error: Cannot convert from UTF-8|ANSI, error N" (N: errno) as the result.
std::wstring ToWide(const char* text, size_t length, bool utf8);
inline std::wstring ToWide(std::string_view text, bool utf8) { return ToWide(text.data(), text.size(), utf8); }
// Failure text "Error: Cannot convert to UTF-8|ANSI, error N".
std::string ToNarrow(const wchar_t* text, size_t length, bool utf8);
inline std::string ToNarrow(std::wstring_view text, bool utf8) { return ToNarrow(text.data(), text.size(), utf8); }
inline std::wstring Utf8ToWide(std::string_view text) { return ToWide(text, true); }
inline std::string WideToUtf8(std::wstring_view text) { return ToNarrow(text, true); }

extern const char g_Base64UrlAlphabet[65];
// URL-safe alphabet, no "=" padding.
std::string Base64UrlEncode(const uint8_t* bytes, size_t length);
inline std::string Base64UrlEncode(std::string_view bytes) {
  return Base64UrlEncode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
// Stops at the first "=" or character outside the alphabet; never fails.
std::string Base64UrlDecode(const std::string& text);

// Upper-case digits; with separate, ":" after every group-th byte but the last.
// A group of 0 puts no separators.
std::string BytesToHex(const std::vector<uint8_t>& bytes, bool separate, unsigned group);
// Skips blanks and ":" anywhere; false on any other non-digit or an odd digit
// left over (bytes read so far stay appended).
bool HexToBytes(const std::string& text, std::vector<uint8_t>& bytes);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::wstring GuidToText(const GUID& guid);

// A blank is " " only.
void TrimRight(std::wstring& text);
void TrimLeft(std::wstring& text);
void TrimLeft(std::string& text);
void TrimRight(std::string& text, char c);
// Removes every blank before and after each ";".
void NormalizeListSeparators(std::wstring& text);

// Splits "scheme://host:port/path" (host may be "[v6]" or a bare IPv6
// address). On failure error is "Empty address" or "Incorrect port number".
bool SplitServerAddress(const std::wstring& address, std::wstring& scheme, std::wstring& host,
                        unsigned short& port, std::wstring& path, std::wstring& error);
bool SplitServerAddress(const std::string& address, std::string& scheme, std::string& host,
                        unsigned short& port, std::string& path, std::string& error);

// The program's folder with its trailing "/"; empty when unknown.
std::wstring GetExeDirectory();
