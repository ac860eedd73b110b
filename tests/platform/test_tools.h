// Socket addresses as text for assertions, and fake tools for the platform tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace testing_tools {

// "1.2.3.4:53", "[2001:db8::1]:53", "[fe80::1%2]:53".
inline std::string AddressText(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET) {
    const auto* s = reinterpret_cast<const sockaddr_in*>(&a);
    inet_ntop(AF_INET, &s->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(s->sin_port));
  }
  if (a.ss_family == AF_INET6) {
    const auto* s = reinterpret_cast<const sockaddr_in6*>(&a);
    inet_ntop(AF_INET6, &s->sin6_addr, text, sizeof text);
    std::string scope = s->sin6_scope_id ? "%" + std::to_string(s->sin6_scope_id) : "";
    return "[" + std::string(text) + scope + "]:" + std::to_string(ntohs(s->sin6_port));
  }
  return "family " + std::to_string(a.ss_family);
}

inline std::vector<std::string> AddressTexts(const std::vector<sockaddr_storage>& list) {
  std::vector<std::string> out;
  for (const auto& a : list) out.push_back(AddressText(a));
  return out;
}

// An executable /bin/sh script at path.
inline std::filesystem::path WriteScript(const std::filesystem::path& path, const std::string& body) {
  testsupport::WriteBytes(path, "#!/bin/sh\n" + body + "\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

}  // namespace testing_tools
