#include "Quorvane/platform/utf8.h"

#include <cstdint>

namespace platform {

bool DecodeUtf8(const char* text, size_t length, std::wstring& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const auto* end = p + length;
  out.reserve(length);
  while (p < end) {
    uint32_t c = *p++;
    if (c < 0x80) {
      out.push_back(static_cast<wchar_t>(c));
      continue;
    }
    int more;
    uint32_t min;
    if ((c & 0xE0) == 0xC0) {
      more = 1, c &= 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, c &= 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, c &= 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (end - p < more) return false;
    for (int i = 0; i < more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i] & 0x3F);
    }
    p += more;
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out.push_back(static_cast<wchar_t>(c));
  }
  return true;
}

bool EncodeUtf8(const wchar_t* text, size_t length, std::string& out) {
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    auto c = static_cast<uint32_t>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return false;
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c <= 0x10FFFF) {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace platform
