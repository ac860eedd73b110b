// The conf-file reader on arbitrary bytes. Whatever it accepts must save,
// load again and save to the same bytes: a profile the program wrote itself
// is never refused at the next start.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Quorvane/config/profile.h"
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

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in = Folder() + "/in.xml";
  const std::string out = Folder() + "/out.xml";
  std::ofstream(in, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
  // A rule may name either file as its hosts file: out.xml must not exist
  // while the input is read, or the two loads would read different lists.
  std::filesystem::remove(out);

  std::wstring error;
  bool openFailed = false;
  bool checkVersion = false;
  CProfile first;
  if (!first.Load(error, openFailed, checkVersion, Utf8ToWide(in))) return 0;
  if (!first.Save(error, Utf8ToWide(out))) abort();
  const std::string saved = ReadAll(out);

  CProfile second;
  if (!second.Load(error, openFailed, checkVersion, Utf8ToWide(out))) abort();
  if (!second.Save(error, Utf8ToWide(out))) abort();
  if (ReadAll(out) != saved) abort();
  return 0;
}
