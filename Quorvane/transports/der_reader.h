// Just enough DER to find a certificate's tbsCertificate and its public key.
// Lengths may be in the short form or the long form of one to four bytes
// (0x81 ... 0x84); every length is checked against the bytes present, so no
// read goes past them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SDerElement {
  uint8_t tag = 0;
  size_t start = 0;         // the tag's offset
  size_t contentStart = 0;  // the first content byte
  size_t end = 0;           // one past the last content byte
};

// The element at pos within data[0, limit). False when its header or content
// does not fit.
bool ReadDerElement(const uint8_t* data, size_t limit, size_t pos, SDerElement& element);

// The tbsCertificate element of a DER certificate: tag and length included.
bool FindTbsCertificate(const std::vector<uint8_t>& der, SDerElement& tbs);

// The contents of the subjectPublicKeyInfo's BIT STRING, without its
// unused-bits byte: the key bytes CryptoAPI calls the public key.
bool SubjectPublicKeyBytes(const std::vector<uint8_t>& der, std::vector<uint8_t>& key);
