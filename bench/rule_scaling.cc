// What a query costs the engine's intake as the rule list grows: diverted
// queries through CDnsEngine::ProcessInterceptedQuery with no I/O (every
// configuration ends in a Block rule, answered in place). For each
// configuration: p50 and p99 microseconds per query, queries per second on
// one thread, the process's RSS after loading it, and its load time.
//
//   build/bench/rule_scaling [--queries N] [--out FILE]
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/engine/dns_engine.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

using bench::Ipv4;
using bench::Query;
using bench::RssBytes;

using Clock = std::chrono::steady_clock;

CRule MakeRule(const std::wstring& name, ERuleAction action, const std::wstring& list, const std::wstring& conf) {
  CRule rule;
  std::wstring error;
  // The last rule is the Default one, whose name no other rule may take.
  if (name == L"Default") rule.InitDefault();
  else if (!rule.SetName(name, error)) return rule;
  rule.action = action;
  if (!rule.SetHostnames(list, conf, error)) {
    std::fprintf(stderr, "rule_scaling: %s\n", WideToUtf8(error).c_str());
    std::exit(1);
  }
  return rule;
}

struct SResult {
  std::string name;
  double p50 = 0, p99 = 0, qps = 0, loadMs = 0;
  long rss = 0;
};

SResult Run(const std::string& name, const std::vector<std::string>& names,
            const std::function<std::vector<CRule>()>& load) {
  SResult r{name};
  const auto loadStart = Clock::now();
  CProfile::SetRules(load());
  r.loadMs = std::chrono::duration<double, std::milli>(Clock::now() - loadStart).count();
  r.rss = RssBytes();

  CDnsEngine engine;
  std::vector<double> us;
  us.reserve(names.size());
  std::vector<uint8_t> packet(kInterceptBufferSize);
  const sockaddr_storage client = Ipv4(0x0A000002, 40000), server = Ipv4(0x0A000001, 53);
  const auto all = Clock::now();
  for (size_t i = 0; i < names.size(); ++i) {
    const std::vector<uint8_t> q = Query(static_cast<uint16_t>(i), names[i]);
    std::fill(packet.begin(), packet.end(), 0);
    std::copy(q.begin(), q.end(), packet.begin());
    uint32_t length = static_cast<uint32_t>(q.size());
    const auto t0 = Clock::now();
    engine.ProcessInterceptedQuery(packet.data(), length, DatagramContext{}, client, server, L"bench", 1);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - all).count();
  std::sort(us.begin(), us.end());
  r.p50 = us[us.size() / 2];
  r.p99 = us[us.size() * 99 / 100];
  r.qps = static_cast<double>(names.size()) / seconds;
  CProfile::SetRules({});
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  size_t queries = 100000;
  const char* outPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--queries") && i + 1 < argc) queries = std::strtoul(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--out") && i + 1 < argc) outPath = argv[++i];
    else {
      std::fprintf(stderr, "usage: rule_scaling [--queries N] [--out FILE]\n");
      return 2;
    }
  }
  if (queries < 100) queries = 100;

  std::vector<std::string> distinct;
  for (size_t i = 0; i < queries; ++i) distinct.push_back("q" + std::to_string(i) + ".bench.test");

  auto neverMatching = [](size_t count) {
    return [count] {
      std::vector<CRule> rules;
      for (size_t i = 0; i < count; ++i)
        rules.push_back(MakeRule(L"r" + std::to_wstring(i), ERuleAction::Bypass,
                                 L"*.nomatch" + std::to_wstring(i) + L".invalid", L""));
      rules.push_back(MakeRule(L"Default", ERuleAction::Block, L"*", L""));
      return rules;
    };
  };

  // The hosts file: 100000 names; half the queries ask for names from it.
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("rule_scaling." + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path conf = folder / "Tarnwick.xml";
  {
    std::ofstream hosts(folder / "hosts.txt");
    for (size_t i = 0; i < 100000; ++i) hosts << "0.0.0.0 h" << i << ".hosts.test\n";
  }
  std::vector<std::string> mixed;
  for (size_t i = 0; i < queries; ++i)
    mixed.push_back(i % 2 ? "h" + std::to_string(i % 100000) + ".hosts.test" : distinct[i]);

  std::vector<SResult> results;
  results.push_back(Run("rules_1", distinct, neverMatching(1)));
  results.push_back(Run("rules_100", distinct, neverMatching(100)));
  results.push_back(Run("rules_10000", distinct, neverMatching(10000)));
  results.push_back(Run("hosts_100000", mixed, [&] {
    std::vector<CRule> rules;
    rules.push_back(MakeRule(L"hosts", ERuleAction::Block, L"file://hosts.txt", Utf8ToWide(conf.string())));
    rules.push_back(MakeRule(L"Default", ERuleAction::Bypass, L"*", L""));
    return rules;
  }));
  std::filesystem::remove_all(folder);

  std::printf("%-14s %10s %10s %12s %12s %10s\n", "config", "p50_us", "p99_us", "queries/s", "rss_bytes", "load_ms");
  std::string kv;
  for (const SResult& r : results) {
    std::printf("%-14s %10.2f %10.2f %12.0f %12ld %10.1f\n", r.name.c_str(), r.p50, r.p99, r.qps, r.rss, r.loadMs);
    char line[512];
    std::snprintf(line, sizeof line, "%s_p50_us=%.2f\n%s_p99_us=%.2f\n%s_qps=%.0f\n%s_rss_bytes=%ld\n%s_load_ms=%.1f\n",
                  r.name.c_str(), r.p50, r.name.c_str(), r.p99, r.name.c_str(), r.qps, r.name.c_str(), r.rss,
                  r.name.c_str(), r.loadMs);
    kv += line;
  }
  const double ratio = results[2].p50 / results[0].p50;
  std::printf("rules_10000 / rules_1 (p50): %.2f (target <= 1.5)\n", ratio);
  char line[64];
  std::snprintf(line, sizeof line, "ratio_10000_to_1_p50=%.2f\n", ratio);
  kv += line;
  if (outPath) std::ofstream(outPath) << kv;
  return 0;
}
