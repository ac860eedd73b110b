// The configuration reader on arbitrary bytes, then a save of what it read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Quorvane/foundation/xml_doc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CXmlDoc doc(L"root");
  std::wstring error;
  doc.LoadFromText(std::string(reinterpret_cast<const char*>(data), size), error);
  return 0;
}
