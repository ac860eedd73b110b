// One query outstanding at a time over UDP: sends a query, waits for its
// answer, sends the next, and prints the round trips' percentiles.
//
//   latency_client SERVER PORT QUERIES SECONDS [NAME]
//
// Bounded by QUERIES and by SECONDS, whichever comes first; a query with no
// answer within a second counts as lost and is not timed. Alternates A and
// AAAA for NAME (www.example.test). Output, one line:
//   queries N lost N p50_us X p90_us X p99_us X
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

uint64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

std::vector<uint8_t> Query(uint16_t id, const std::string& name, uint16_t type) {
  std::vector<uint8_t> m = {uint8_t(id >> 8), uint8_t(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    m.push_back(uint8_t(dot - start));
    m.insert(m.end(), name.begin() + long(start), name.begin() + long(dot));
    start = dot + 1;
  }
  m.push_back(0);
  m.insert(m.end(), {uint8_t(type >> 8), uint8_t(type), 0, 1});
  return m;
}

double Percentile(const std::vector<uint64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t index = std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5));
  return double(sorted[index]) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: latency_client SERVER PORT QUERIES SECONDS [NAME]\n");
    return 2;
  }
  const char* server = argv[1];
  long port = std::strtol(argv[2], nullptr, 10);
  long queries = std::strtol(argv[3], nullptr, 10);
  double seconds = std::strtod(argv[4], nullptr);
  std::string name = argc > 5 ? argv[5] : "www.example.test";
  sockaddr_storage address{};
  socklen_t length;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, server, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(uint16_t(port));
    length = sizeof(*v4);
  } else if (inet_pton(AF_INET6, server, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(uint16_t(port));
    length = sizeof(*v6);
  } else {
    std::fprintf(stderr, "latency_client: not an address: %s\n", server);
    return 2;
  }
  int fd = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    std::perror("latency_client: socket");
    return 1;
  }
  std::vector<uint64_t> times;
  times.reserve(size_t(std::max(queries, 0L)));
  long lost = 0;
  const uint64_t end = NowNs() + uint64_t(seconds * 1e9);
  uint8_t answer[4096];
  for (long i = 0; i < queries && NowNs() < end; ++i) {
    uint16_t id = uint16_t(i * 7919 + 1);
    std::vector<uint8_t> query = Query(id, name, i % 2 ? 28 : 1);
    uint64_t sent = NowNs();
    if (send(fd, query.data(), query.size(), 0) < 0) {
      ++lost;
      continue;
    }
    bool answered = false;
    for (;;) {
      int64_t left = int64_t(sent + 1000000000u) - int64_t(NowNs());
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, int(left / 1000000) + 1) <= 0) break;
      ssize_t n = recv(fd, answer, sizeof answer, 0);
      if (n >= 2 && answer[0] == query[0] && answer[1] == query[1]) {
        answered = true;
        break;
      }
    }
    if (answered)
      times.push_back(NowNs() - sent);
    else
      ++lost;
  }
  std::sort(times.begin(), times.end());
  std::printf("queries %zu lost %ld p50_us %.1f p90_us %.1f p99_us %.1f\n", times.size(), lost,
              Percentile(times, 0.50), Percentile(times, 0.90), Percentile(times, 0.99));
  return 0;
}
