#include "Quorvane/transports/server_address.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>

sockaddr_storage ServerSocketAddress(const CDnsServer& server) {
  sockaddr_storage target{};
  target.ss_family = static_cast<sa_family_t>(server.family);
  if (server.family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&target);
    v6->sin6_port = htons(server.port);
    std::memcpy(&v6->sin6_addr, server.address.data(), std::min<size_t>(server.address.size(), 16));
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&target);
    v4->sin_port = htons(server.port);
    std::memcpy(&v4->sin_addr, server.address.data(), std::min<size_t>(server.address.size(), 4));
  }
  return target;
}
