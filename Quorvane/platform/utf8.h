// UTF-8 to and from wide text, independent of the locale. Below the text
// helpers of the foundation so that the stand-ins can store text too.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Strict: overlong forms, surrogates and values past U+10FFFF fail. On
// failure out holds what was converted before the fault.
bool DecodeUtf8(const char* text, size_t length, std::wstring& out);
bool EncodeUtf8(const wchar_t* text, size_t length, std::string& out);

}  // namespace platform
