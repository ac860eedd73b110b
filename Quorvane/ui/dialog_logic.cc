#include "Quorvane/ui/dialog_logic.h"

#include <algorithm>
#include <cwctype>

SSize GetMaxDialogSize(SSize design, SSize desktop) {
  return {std::min(desktop.width * 3 / 4, 2 * design.width), std::min(desktop.height * 3 / 4, 2 * design.height)};
}

SRect ComputeDialogRect(SSize design, SSize saved, const SRect& parent, const SRect& desktop) {
  const SSize max = GetMaxDialogSize(design, {desktop.Width(), desktop.Height()});
  const int width = std::max(design.width, std::min(max.width, saved.width));
  const int height = std::max(design.height, std::min(max.height, saved.height));
  int left = (parent.left + parent.right) / 2 - width / 2;
  int top = (parent.top + parent.bottom) / 2 - height / 2;
  left = std::max(left, desktop.left);
  top = std::max(top, desktop.top);
  if (left + width > desktop.right) left = desktop.right - width;
  if (top + height > desktop.bottom) top = desktop.bottom - height;
  return {left, top, left + width, top + height};
}

std::u16string ToUtf16Units(const std::wstring& text) {
  std::u16string units;
  for (wchar_t wc : text) {
    const uint32_t c = static_cast<uint32_t>(wc);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(c));
    }
  }
  return units;
}

std::wstring MessageBoxKey(const std::wstring& captionAndMessage) {
  uint8_t bytes[4] = {};
  const std::u16string units = ToUtf16Units(captionAndMessage);
  for (size_t i = 0; i < units.size(); ++i) bytes[i % 4] += static_cast<uint8_t>((i * units[i]) & 0xFF);
  const uint32_t value = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24;
  wchar_t text[16] = {};
  swprintf(text, 16, L"%X", value);
  return text;
}

bool SCharFilter::IsAllowed(char16_t c) const {
  if (forbidden.find(c) != std::u16string::npos) return false;
  if (allowed.empty() || allowed.find(c) != std::u16string::npos) return true;
  return std::any_of(ranges.begin(), ranges.end(), [c](const auto& r) { return c >= r.first && c <= r.second; });
}

std::vector<std::pair<int, int>> FindLinks(const std::u16string& text) {
  std::vector<std::pair<int, int>> links;
  const std::u16string scheme = u"file:";
  size_t pos = 0;
  while ((pos = text.find(scheme, pos)) != std::u16string::npos) {
    size_t end = pos + scheme.size();
    while (end < text.size() && text[end] != u';' && !std::iswspace(text[end])) ++end;
    links.emplace_back(int(pos), int(end));
    pos = end;
  }
  return links;
}

std::vector<int> ForbiddenPositions(const std::u16string& text, const SCharFilter& filter) {
  const auto links = FindLinks(text);
  std::vector<int> marked;
  for (int i = 0; i < int(text.size()); ++i) {
    if (filter.IsAllowed(text[i])) continue;
    const bool inLink = std::any_of(links.begin(), links.end(), [i](const auto& l) { return i >= l.first && i < l.second; });
    if (!inLink) marked.push_back(i);
  }
  return marked;
}
