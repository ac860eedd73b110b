// The conf-file reader on arbitrary bytes, in memory. Whatever it accepts
// must save, load again and save to the same text: a profile the program
// wrote itself is never refused at the next start.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Quorvane/config/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A folder that cannot exist: a rule's relative hosts file is never found,
  // the same way at both loads.
  static const std::wstring file = L"/nonexistent/tarnwick-fuzz/Tarnwick.xml";
  const std::string in(reinterpret_cast<const char*>(data), size);
  std::wstring error;
  bool checkVersion = false;
  CProfile first;
  if (!first.LoadFromText(error, checkVersion, in, file)) return 0;
  std::string saved;
  if (!first.SaveToText(error, saved)) abort();

  CProfile second;
  if (!second.LoadFromText(error, checkVersion, saved, file)) abort();
  std::string again;
  if (!second.SaveToText(error, again)) abort();
  if (again != saved) abort();
  return 0;
}
