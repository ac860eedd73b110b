// What an unanswered query costs the engine while it waits: the started
// engine, answers going to a sink that drops them, and one plain server on
// loopback that never reads (a black hole). For N distinct diverted queries
// at once (1000, 10000, 50000 by default) it prints RSS bytes and
// descriptors per pending query, and the time of the housekeeping pass that
// expires them all (taken on this thread once the worker has stopped).
//
//   build/bench/pending_cost [--counts N,N,...] [--out FILE]
// It raises the descriptor limit to the largest N (root with
// CAP_SYS_RESOURCE); a count that does not fit under the limit is skipped.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/engine/dns_pending_requests.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/platform/clock.h"

namespace {

using bench::Ipv4;
using bench::Query;
using bench::RssBytes;

using Clock = std::chrono::steady_clock;

long Descriptors() {
  long count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count - 1;  // the directory's own
}

struct SResult {
  size_t n = 0;
  size_t pending = 0;
  double rssPerQuery = 0, fdsPerQuery = 0, expireMs = 0;
  size_t left = 0;  // pending requests after the pass
};

SResult Run(size_t n) {
  SResult r;
  r.n = n;
  CDnsEngine engine;
  engine.SetInjectorForTesting([](const uint8_t*, uint32_t, const sockaddr_storage&, const sockaddr_storage&,
                                  const DatagramContext&, bool) {});
  if (!engine.Start()) {
    std::fprintf(stderr, "pending_cost: the engine did not start\n");
    std::exit(1);
  }
  const long rss0 = RssBytes(), fds0 = Descriptors();
  std::vector<uint8_t> packet(kInterceptBufferSize);
  const sockaddr_storage server = Ipv4(0x0A000001, 53);
  for (size_t i = 0; i < n; ++i) {
    const std::vector<uint8_t> q = Query(static_cast<uint16_t>(i), "p" + std::to_string(i) + ".pending.test");
    std::copy(q.begin(), q.end(), packet.begin());
    uint32_t length = static_cast<uint32_t>(q.size());
    // A client port of its own per query, so no two are one request.
    const sockaddr_storage client = Ipv4(0x0A000002 + static_cast<uint32_t>(i / 60000), 1024 + i % 60000);
    engine.ProcessInterceptedQuery(packet.data(), length, DatagramContext{}, client, server, L"bench", 1);
  }
  const CDnsEngine::STableSizes sizes = engine.TableSizes();
  r.pending = sizes.pending;
  r.rssPerQuery = static_cast<double>(RssBytes() - rss0) / static_cast<double>(n);
  r.fdsPerQuery = static_cast<double>(Descriptors() - fds0) / static_cast<double>(n);

  engine.Stop();
  const int64_t past = platform::TickSeconds() + CDnsPendingRequests::kTimeoutSeconds + 1;
  const auto t0 = Clock::now();
  engine.Housekeeping(past);
  r.expireMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  r.left = engine.TableSizes().pending;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> counts = {1000, 10000, 50000};
  const char* outPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--counts") && i + 1 < argc) {
      counts.clear();
      std::stringstream list(argv[++i]);
      for (std::string item; std::getline(list, item, ',');) counts.push_back(std::strtoul(item.c_str(), nullptr, 10));
    } else if (!std::strcmp(argv[i], "--out") && i + 1 < argc) {
      outPath = argv[++i];
    } else {
      std::fprintf(stderr, "usage: pending_cost [--counts N,N,...] [--out FILE]\n");
      return 2;
    }
  }
  size_t largest = 0;
  for (size_t n : counts) largest = std::max(largest, n);

  // One socket per pending UDP query, and the engine raises its soft limit
  // to the hard one: the hard one must hold the largest N.
  // Where the limit cannot be raised (no CAP_SYS_RESOURCE), the counts that
  // do not fit are skipped and said so.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_max < largest + 1024) {
    rlimit raised = limit;
    raised.rlim_max = raised.rlim_cur = largest + 1024;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  std::vector<size_t> skipped;
  std::erase_if(counts, [&](size_t n) {
    const bool fits = n + 1024 <= limit.rlim_max;
    if (!fits) skipped.push_back(n);
    return !fits;
  });

  // The black hole: bound, never read.
  const int hole = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_storage any = Ipv4(0x7F000001, 0);
  socklen_t anyLength = sizeof(sockaddr_in);
  if (hole < 0 || bind(hole, reinterpret_cast<sockaddr*>(&any), anyLength) != 0 ||
      getsockname(hole, reinterpret_cast<sockaddr*>(&any), &anyLength) != 0) {
    std::perror("pending_cost: black hole");
    return 1;
  }
  const uint16_t port = ntohs(reinterpret_cast<sockaddr_in*>(&any)->sin_port);

  CDnsServer server;
  server.id = 1;
  server.name = L"Hole";
  server.protocol = EDnsProtocol::Plain;
  server.port = port;
  int family = 0;
  if (TextToAddress("127.0.0.1", family, server.address)) server.family = family;
  server.addressKnown = true;
  CRule rule;
  rule.InitDefault();
  rule.action = ERuleAction::ProcessServer;
  rule.action_id = 1;
  CProfile::SetServers({server});
  CProfile::SetRules({rule});

  std::vector<SResult> results;
  for (size_t n : counts) results.push_back(Run(n));
  close(hole);

  std::printf("%8s %8s %16s %16s %12s\n", "N", "pending", "rss_bytes/query", "fds/query", "expire_ms");
  std::string kv;
  bool drained = true;
  for (const SResult& r : results) {
    std::printf("%8zu %8zu %16.0f %16.3f %12.2f\n", r.n, r.pending, r.rssPerQuery, r.fdsPerQuery, r.expireMs);
    char line[256];
    std::snprintf(line, sizeof line, "n%zu_pending=%zu\nn%zu_rss_bytes_per_query=%.0f\nn%zu_fds_per_query=%.3f\nn%zu_expire_ms=%.2f\n",
                  r.n, r.pending, r.n, r.rssPerQuery, r.n, r.fdsPerQuery, r.n, r.expireMs);
    kv += line;
    if (r.left != 0 || r.pending != r.n) drained = false;
  }
  for (size_t n : skipped) {
    std::printf("%8zu skipped: the descriptor limit is %llu and cannot be raised here\n", n,
                static_cast<unsigned long long>(limit.rlim_max));
    kv += "n" + std::to_string(n) + "_skipped=1\n";
  }
  std::printf("targets: at most 2048 RSS bytes and 1 descriptor per pending query\n");
  if (outPath) std::ofstream(outPath) << kv;
  if (!drained) {
    std::fprintf(stderr, "pending_cost: not every query was pending, or the pass left some\n");
    return 1;
  }
  return 0;
}
