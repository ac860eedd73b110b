// The result of every protocol-layer operation, and the builders of its
// failures.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CProcessingResultCode {
 public:
  enum Code : int { Ok = 0, Error = 1, NeedMoreData = 2, LongTask = 3 };
  // Runs off the event thread; the connection continues with what it returns.
  using Task = std::function<CProcessingResultCode()>;

  CProcessingResultCode() = default;
  CProcessingResultCode(Code code, std::wstring message, std::shared_ptr<Task> task = nullptr)
      : code(code), message(std::move(message)), task(std::move(task)) {}
  // Results are handed on between layers, never duplicated.
  CProcessingResultCode(const CProcessingResultCode&) = delete;
  CProcessingResultCode& operator=(const CProcessingResultCode&) = delete;
  CProcessingResultCode(CProcessingResultCode&&) = default;
  CProcessingResultCode& operator=(CProcessingResultCode&&) = default;

  Code code = Ok;
  std::wstring message;        // the error text for Error, the task's name for LongTask
  std::shared_ptr<Task> task;  // only for LongTask
};

CProcessingResultCode MakeErrorResult(const std::wstring& text);
// text + FormatSystemError(code).
CProcessingResultCode MakeSystemErrorResult(const std::wstring& text, uint32_t code);
// The code in lower-case hexadecimal without prefix, then " (" + the system's
// message + ")" when there is one: "274d (Connection refused)".
std::wstring FormatSystemError(uint32_t code);
