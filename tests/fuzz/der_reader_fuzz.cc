// Certificates from a server: whatever the bytes, the DER reader stays
// within them, and what it finds lies inside the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Quorvane/transports/der_reader.h"
#include "Quorvane/transports/tls_protocol_processor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> der(data, data + size);
  SDerElement tbs;
  if (FindTbsCertificate(der, tbs)) {
    if (tbs.start >= tbs.contentStart || tbs.contentStart > tbs.end || tbs.end > size) __builtin_trap();
  }
  std::vector<uint8_t> key;
  if (SubjectPublicKeyBytes(der, key) && key.size() >= size) __builtin_trap();
  CTlsProtocolProcessor::HashTbsCertificate(der, {std::string(32, '\0')});
  return 0;
}
