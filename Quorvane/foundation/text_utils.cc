#include "Quorvane/foundation/text_utils.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <mutex>

#include "Quorvane/platform/paths.h"
#include "Quorvane/platform/utf8.h"

namespace {

using platform::DecodeUtf8;
using platform::EncodeUtf8;

// The locale's codeset, or empty when it is UTF-8 or plain ASCII (both are
// handled by the UTF-8 codec; ASCII is a subset).
std::string AnsiCodeset() {
  const char* name = nl_langinfo(CODESET);
  std::string value = name ? name : "";
  if (value == "UTF-8" || value == "utf8" || value == "ANSI_X3.4-1968") value.clear();
  return value;
}

// One iconv conversion; false with errno set on failure.
bool IconvConvert(const char* from, const char* to, const char* in, size_t inLength, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.resize(inLength * 4 + 16);
  char* inPtr = const_cast<char*>(in);
  size_t inLeft = inLength;
  char* outPtr = out.data();
  size_t outLeft = out.size();
  bool ok = true;
  while (inLeft > 0) {
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) continue;
    if (errno != E2BIG) {
      ok = false;
      break;
    }
    size_t used = outPtr - out.data();
    out.resize(out.size() * 2);
    outPtr = out.data() + used;
    outLeft = out.size() - used;
  }
  int saved = errno;
  if (ok && iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) ok = false, saved = errno;
  out.resize(outPtr - out.data());
  iconv_close(cd);
  errno = saved;
  return ok;
}

template <class Char>
bool SplitServerAddressImpl(const std::basic_string<Char>& address, std::basic_string<Char>& scheme,
                            std::basic_string<Char>& host, unsigned short& port, std::basic_string<Char>& path,
                            std::basic_string<Char>& error) {
  using String = std::basic_string<Char>;
  auto lit = [](const char* s) {
    String r;
    while (*s) r.push_back(static_cast<Char>(*s++));
    return r;
  };
  scheme.clear();
  path.clear();
  error.clear();
  port = 0;
  host = address;
  const String separator = lit("://");
  if (auto pos = address.find(separator); pos != String::npos) {
    scheme = address.substr(0, pos + separator.size());
    host = address.substr(pos + separator.size());
  }
  if (host.empty()) {
    error = lit("Empty address");
    return false;
  }
  if (auto slash = host.find(Char('/')); slash != String::npos) {
    path = host.substr(slash);
    host.erase(slash);
  }
  String portText;
  if (!host.empty() && host[0] == Char('[')) {
    auto close = host.find(Char(']'));
    if (close == String::npos) return true;
    if (close + 1 < host.size() && host[close + 1] == Char(':')) portText = host.substr(close + 2);
    host = host.substr(1, close - 1);
  } else {
    auto first = host.find(Char(':'));
    if (first == String::npos) return true;
    if (host.find(Char(':'), first + 1) != String::npos) return true;  // bare IPv6
    portText = host.substr(first + 1);
    host.erase(first);
  }
  if (portText.empty()) return true;
  unsigned long value = 0;
  for (Char c : portText) {
    if (c < Char('0') || c > Char('9')) break;
    value = value * 10 + static_cast<unsigned long>(c - Char('0'));
    if (value > 65535) break;  // already out of range; stop before it can wrap
  }
  if (value < 1 || value > 65535) {
    error = lit("Incorrect port number");
    return false;
  }
  port = static_cast<unsigned short>(value);
  return true;
}

}  // namespace

void InitTextLocale() { std::setlocale(LC_CTYPE, ""); }

std::wstring ToWide(const char* text, size_t length, bool utf8) {
  std::wstring result;
  if (length == 0) return result;
  int error = 0;
  const std::string codeset = utf8 ? std::string() : AnsiCodeset();
  if (codeset.empty()) {
    if (DecodeUtf8(text, length, result)) return result;
    error = EILSEQ;
  } else {
    std::string bytes;
    if (IconvConvert(codeset.c_str(), "WCHAR_T", text, length, bytes)) {
      result.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
      return result;
    }
    error = errno;
  }
  return L"Error: Cannot convert from " + std::wstring(utf8 ? L"UTF-8" : L"ANSI") + L", error " +
         std::to_wstring(error);
}

std::string ToNarrow(const wchar_t* text, size_t length, bool utf8) {
  std::string result;
  if (length == 0) return result;
  int error = 0;
  const std::string codeset = utf8 ? std::string() : AnsiCodeset();
  if (codeset.empty()) {
    if (EncodeUtf8(text, length, result)) return result;
    error = EILSEQ;
  } else {
    if (IconvConvert("WCHAR_T", codeset.c_str(), reinterpret_cast<const char*>(text), length * sizeof(wchar_t),
                     result))
      return result;
    error = errno;
  }
  return "Error: Cannot convert to " + std::string(utf8 ? "UTF-8" : "ANSI") + ", error " + std::to_string(error);
}

const char g_Base64UrlAlphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string Base64UrlEncode(const uint8_t* bytes, size_t length) {
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(g_Base64UrlAlphabet[(v >> shift) & 0x3F]);
  }
  size_t tail = length - i;
  if (tail == 1) {
    uint32_t v = bytes[i] << 16;
    out.push_back(g_Base64UrlAlphabet[(v >> 18) & 0x3F]);
    out.push_back(g_Base64UrlAlphabet[(v >> 12) & 0x3F]);
  } else if (tail == 2) {
    uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8);
    out.push_back(g_Base64UrlAlphabet[(v >> 18) & 0x3F]);
    out.push_back(g_Base64UrlAlphabet[(v >> 12) & 0x3F]);
    out.push_back(g_Base64UrlAlphabet[(v >> 6) & 0x3F]);
  }
  return out;
}

std::string Base64UrlDecode(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() * 3 / 4);
  uint32_t group = 0;
  int count = 0;
  for (char c : text) {
    int v = value(c);
    if (v < 0) break;
    group = (group << 6) | static_cast<uint32_t>(v);
    if (++count == 4) {
      out.push_back(static_cast<char>(group >> 16));
      out.push_back(static_cast<char>(group >> 8));
      out.push_back(static_cast<char>(group));
      group = 0;
      count = 0;
    }
  }
  if (count == 2) {
    out.push_back(static_cast<char>(group >> 4));
  } else if (count == 3) {
    out.push_back(static_cast<char>(group >> 10));
    out.push_back(static_cast<char>(group >> 2));
  }
  return out;
}

std::string BytesToHex(const std::vector<uint8_t>& bytes, bool separate, unsigned group) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0x0F]);
    if (separate && group != 0 && (i + 1) % group == 0 && i + 1 < bytes.size()) out.push_back(':');
  }
  return out;
}

bool HexToBytes(const std::string& text, std::vector<uint8_t>& bytes) {
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      return false;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<uint8_t>((high << 4) | v));
      high = -1;
    }
  }
  return high < 0;
}

std::wstring GuidToText(const GUID& guid) {
  wchar_t buffer[40];
  swprintf(buffer, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2, guid.Data3,
           guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
           guid.Data4[7]);
  return buffer;
}

void TrimRight(std::wstring& text) {
  auto pos = text.find_last_not_of(L' ');
  text.erase(pos == std::wstring::npos ? 0 : pos + 1);
}

void TrimLeft(std::wstring& text) { text.erase(0, std::min(text.find_first_not_of(L' '), text.size())); }

void TrimLeft(std::string& text) { text.erase(0, std::min(text.find_first_not_of(' '), text.size())); }

void TrimRight(std::string& text, char c) {
  auto pos = text.find_last_not_of(c);
  text.erase(pos == std::string::npos ? 0 : pos + 1);
}

void NormalizeListSeparators(std::wstring& text) {
  // One pass removes every blank run touching a ";", which is what repeating
  // the two replacements until neither matches leaves.
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L';') {
      while (!out.empty() && out.back() == L' ') out.pop_back();
      out.push_back(L';');
      while (i + 1 < text.size() && text[i + 1] == L' ') ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  text.swap(out);
}

bool SplitServerAddress(const std::wstring& address, std::wstring& scheme, std::wstring& host, unsigned short& port,
                        std::wstring& path, std::wstring& error) {
  return SplitServerAddressImpl(address, scheme, host, port, path, error);
}

bool SplitServerAddress(const std::string& address, std::string& scheme, std::string& host, unsigned short& port,
                        std::string& path, std::string& error) {
  return SplitServerAddressImpl(address, scheme, host, port, path, error);
}

std::wstring GetExeDirectory() {
  static std::mutex mutex;
  static std::wstring cached;
  std::lock_guard lock(mutex);
  if (!cached.empty()) return cached;
  std::string path = platform::ModuleFilePath().string();
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  cached = Utf8ToWide(path.substr(0, slash + 1));
  return cached;
}
