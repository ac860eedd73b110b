// The per-user autorun record, in place of the Run key's value: the XDG
// autostart entry $XDG_CONFIG_HOME/autostart/<value name>.desktop. Its Exec
// line holds the command line, each argument quoted as the Desktop Entry
// specification says; it is compared with ours after unquoting, so any
// valid quoting of the same command counts as equal. A missing file is an
// absent value; an Exec value of kMaxValueChars or more characters is
// present but different (the registry read's ERROR_MORE_DATA); an entry
// without an Exec line is present but different (ERROR_INVALID_DATA). Error
// numbers in the texts are errno values. UI thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

class CAutoRun {
 public:
  static constexpr size_t kMaxValueChars = 260;

  // The program file's path with argument (none when empty).
  CAutoRun(std::wstring valueName, std::wstring argument);

  bool Query(bool& exists, bool& equal);
  bool Set(bool enable);

  const std::wstring& CommandLine() const { return m_commandLine; }
  std::wstring TakeLastError();
  // The entry's file; no value when no configuration folder is known.
  std::optional<std::filesystem::path> EntryPath() const;

  // For tests: the program path to write instead of /proc/self/exe.
  void SetProgramForTesting(const std::filesystem::path& program);

 private:
  std::vector<std::string> Arguments() const;

  std::wstring m_commandLine;  // the Exec value we write
  std::wstring m_valueName;
  std::wstring m_lastError;
  std::wstring m_argument;
};

// Exec quoting of the Desktop Entry specification: every argument in double
// quotes, with ", `, $ and \ escaped by a backslash (and then the string
// escape of \ once more, as the key's value requires).
std::string QuoteExecLine(const std::vector<std::string>& argv);
// The reverse; no value when the quoting is broken.
std::optional<std::vector<std::string>> SplitExecLine(const std::string& value);
