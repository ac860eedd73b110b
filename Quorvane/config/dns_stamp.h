// The "sdns://" exchange form of one upstream server: base64url over a small
// binary record (protocol byte, 8 property bytes except for relays, then
// length-prefixed fields). Lengths are 7-bit; trailing bytes are ignored.
// Reads never go past the decoded bytes.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Quorvane/config/dns_server.h"

class CDnsStamp {
 public:
  // Thrown inside the codec only; Parse and Build turn it into their error text.
  class ParseExc : public std::runtime_error {
   public:
    explicit ParseExc(const std::string& message) : std::runtime_error(message) {}
  };

  uint32_t family = 0;  // 0, AF_INET or AF_INET6 (native values)
  ByteString address;
  uint16_t port = 0;  // of the address field, else the protocol's default
  EDnsProtocol protocol = EDnsProtocol::Unspec;
  bool dnssec = false;    // property bit 0
  bool noLogs = false;    // property bit 1
  bool noFilter = false;  // property bit 2
  ByteString publicKey;
  std::string providerName;
  std::string dohHostName;  // as read: may end in ":port"
  std::string dohPath;
  HashList dohHashes;
  std::vector<std::string> dohBootstrap;
  std::string dotHostName;  // as read: may end in ":port"
  HashList dotHashes;
  std::string doqHostName;  // as read: may end in ":port"
  HashList doqHashes;
  // The address field carried its own port (so port is not a default).
  bool addressHasPort = false;

  // Optional "sdns://"; blanks and line breaks anywhere are ignored. On
  // failure the record is unchanged and error holds the reason.
  bool Parse(const std::string& text, std::string& error);
  bool Build(std::string& text, std::string& error) const;

  // A single field's length byte is its whole length (0-255); only the
  // elements of a chained set use 0x80 for "another element follows" and
  // the low 7 bits as the length. Readers consume from the front of rest and
  // throw ParseExc; writers throw ParseExc for a field too long for its byte.
  static void ReadLp(std::string_view& rest, std::string& field);
  // Returns whether another element follows.
  static bool ReadVlpElement(std::string_view& rest, std::string& field);
  // Empty elements are dropped.
  static void ReadVlpSet(std::string_view& rest, std::vector<std::string>& list);
  static void WriteLp(std::string& bytes, std::string_view field);
  static void WriteVlpElement(std::string& bytes, std::string_view field, bool last);
  static void WriteVlpSet(std::string& bytes, const std::vector<std::string>& list);
};
