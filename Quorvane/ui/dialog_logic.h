// The dialog base's and the custom controls' arithmetic, apart from Qt: where
// a resizable dialog opens, the key a message box's answer is kept under,
// and which characters a filtered edit marks. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct SRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool operator==(const SRect&) const = default;
};

struct SSize {
  int width = 0, height = 0;
  bool operator==(const SSize&) const = default;
};

// Per dimension the smaller of three quarters of the desktop and twice the
// design size.
SSize GetMaxDialogSize(SSize design, SSize desktop);

// A dialog of design size whose saved size (0 when absent) is clamped into
// [design, max], centred on parent, then shifted into the desktop.
SRect ComputeDialogRect(SSize design, SSize saved, const SRect& parent, const SRect& desktop);

// The key of a message box: over the UTF-16 code units of caption + message,
// byte (i mod 4) of a 32-bit accumulator gains the low 8 bits of i * unit;
// "%X" of the result.
std::wstring MessageBoxKey(const std::wstring& captionAndMessage);

// UTF-16 code units of a wide text (surrogate pairs beyond the BMP).
std::u16string ToUtf16Units(const std::wstring& text);

struct SCharFilter {
  std::u16string allowed;    // empty: every character not forbidden
  std::u16string forbidden;
  std::vector<std::pair<char16_t, char16_t>> ranges;  // low, high, inclusive

  bool IsAllowed(char16_t c) const;
};

// Links: from "file:" up to the first ";" or white space, [start, end).
std::vector<std::pair<int, int>> FindLinks(const std::u16string& text);
// Positions of characters the filter refuses, those inside a link left out.
std::vector<int> ForbiddenPositions(const std::u16string& text, const SCharFilter& filter);
