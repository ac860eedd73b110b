// What the engine benchmarks share: the process's resident bytes, a plain
// A query for a name, an IPv4 socket address.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

inline long RssBytes() {
  std::ifstream in("/proc/self/statm");
  long pages = 0, resident = 0;
  in >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

inline std::vector<uint8_t> Query(uint16_t id, const std::string& name) {
  std::vector<uint8_t> q = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    q.push_back(static_cast<uint8_t>(dot - start));
    q.insert(q.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  q.insert(q.end(), {0, 0, 1, 0, 1});
  return q;
}

inline sockaddr_storage Ipv4(uint32_t address, uint16_t port) {
  sockaddr_storage out{};
  auto* in = reinterpret_cast<sockaddr_in*>(&out);
  in->sin_family = AF_INET;
  in->sin_port = htons(port);
  in->sin_addr.s_addr = htonl(address);
  return out;
}

}  // namespace bench
