#include "Quorvane/transports/der_reader.h"

namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kVersionTag = 0xA0;

bool ReadTagged(const uint8_t* data, size_t limit, size_t pos, uint8_t tag, SDerElement& element) {
  return ReadDerElement(data, limit, pos, element) && element.tag == tag;
}

}  // namespace

bool ReadDerElement(const uint8_t* data, size_t limit, size_t pos, SDerElement& element) {
  if (pos >= limit || limit - pos < 2) return false;
  element.tag = data[pos];
  element.start = pos;
  size_t at = pos + 1;
  const uint8_t first = data[at++];
  size_t length = 0;
  if (first < 0x80) {
    length = first;
  } else {
    const size_t count = first & 0x7f;
    if (count == 0 || count > 4 || limit - at < count) return false;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | data[at++];
  }
  if (limit - at < length) return false;
  element.contentStart = at;
  element.end = at + length;
  return true;
}

bool FindTbsCertificate(const std::vector<uint8_t>& der, SDerElement& tbs) {
  SDerElement certificate;
  return ReadTagged(der.data(), der.size(), 0, kSequence, certificate) &&
         ReadTagged(der.data(), certificate.end, certificate.contentStart, kSequence, tbs);
}

bool SubjectPublicKeyBytes(const std::vector<uint8_t>& der, std::vector<uint8_t>& key) {
  SDerElement tbs;
  if (!FindTbsCertificate(der, tbs)) return false;
  const uint8_t* data = der.data();
  SDerElement field;
  size_t pos = tbs.contentStart;
  if (!ReadDerElement(data, tbs.end, pos, field)) return false;
  if (field.tag == kVersionTag) {
    pos = field.end;
    if (!ReadDerElement(data, tbs.end, pos, field)) return false;
  }
  // serial, signature, issuer, validity, subject: then the key's SEQUENCE.
  for (int i = 0; i < 5; ++i) {
    pos = field.end;
    if (!ReadDerElement(data, tbs.end, pos, field)) return false;
  }
  if (field.tag != kSequence) return false;
  SDerElement algorithm, bits;
  if (!ReadTagged(data, field.end, field.contentStart, kSequence, algorithm) ||
      !ReadTagged(data, field.end, algorithm.end, kBitString, bits) || bits.end == bits.contentStart) {
    return false;
  }
  key.assign(data + bits.contentStart + 1, data + bits.end);
  return true;
}
