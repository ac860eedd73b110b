#include "Quorvane/transports/processing_result.h"

#include <cwchar>

#include "Quorvane/platform/system_errors.h"

CProcessingResultCode MakeErrorResult(const std::wstring& text) {
  return CProcessingResultCode(CProcessingResultCode::Error, text);
}

CProcessingResultCode MakeSystemErrorResult(const std::wstring& text, uint32_t code) {
  return CProcessingResultCode(CProcessingResultCode::Error, text + FormatSystemError(code));
}

std::wstring FormatSystemError(uint32_t code) {
  wchar_t hex[16];
  std::swprintf(hex, 16, L"%x", code);
  std::wstring text = hex;
  std::wstring message = platform::SystemErrorMessage(code);
  if (!message.empty()) text += L" (" + message + L")";
  return text;
}
