// Helpers shared by the platform tests: socket addresses as text, fixture
// files, and a scratch folder with executable fake tools.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Quorvane/platform/paths.h"

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

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A folder under the temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (platform::TempFolder() / "tarnwick-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) m_path = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  const std::filesystem::path& path() const { return m_path; }

  std::filesystem::path Write(const std::string& name, const std::string& text) const {
    auto file = m_path / name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }
  // An executable /bin/sh script.
  std::filesystem::path Script(const std::string& name, const std::string& body) const {
    auto file = Write(name, "#!/bin/sh\n" + body + "\n");
    chmod(file.c_str(), 0755);
    return file;
  }

 private:
  std::filesystem::path m_path;
};

}  // namespace testing_tools
