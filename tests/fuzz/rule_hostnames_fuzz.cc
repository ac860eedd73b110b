// A rule's hostname list naming a hosts file, both from the input: the bytes
// before the first NUL are the list, the rest is the file. Matching then runs
// over names taken from the same input.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "Quorvane/config/rule.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/paths.h"

namespace {

// Made once and removed at exit; never destroyed before the exit handler runs.
const std::string& Folder() {
  static const std::string* folder = [] {
    std::string pattern = (platform::TempFolder() / "tarnwick-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) abort();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(Folder(), ignored);
    });
    return new std::string(pattern);
  }();
  return *folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string list = input.substr(0, split);
  const std::string file = split == std::string::npos ? std::string() : input.substr(split + 1);
  std::ofstream(Folder() + "/hosts", std::ios::binary | std::ios::trunc) << file;

  CRule rule;
  std::wstring error;
  const std::wstring conf = Utf8ToWide(Folder() + "/fuzz.conf");
  rule.SetHostnames(L"file://hosts;" + Utf8ToWide(list), conf, error);
  rule.SetHostnames(Utf8ToWide(list), conf, error);
  // Every line of the file is also tried as a query name.
  size_t start = 0;
  for (int lines = 0; start <= file.size() && lines < 64; ++lines) {
    size_t end = file.find('\n', start);
    if (end == std::string::npos) end = file.size();
    rule.Match(file.substr(start, end - start));
    start = end + 1;
  }
  return 0;
}
