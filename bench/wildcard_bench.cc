// Masks are tried against every query name, so a hostile or careless mask
// must not cost more than name length x mask length. Runs each pattern a
// bounded number of times, prints time and steps per match, and exits 1 when
// a step count passes the bound.
//
//   build/bench/wildcard_bench [repetitions]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Quorvane/config/hostname_match.h"

namespace {

struct SCase {
  const char* name;
  std::string pattern;
  std::string text;
};

std::string Repeat(const std::string& unit, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  long repetitions = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200;
  if (repetitions < 1 || repetitions > 100000) repetitions = 200;

  const std::string longName = Repeat("a", 253);  // the longest DNS name
  const std::vector<SCase> cases = {
      {"many_stars_no_match", Repeat("*a", 60) + "b", longName},
      {"many_stars_match", Repeat("*a", 60), longName},
      {"star_long_literal", "*" + Repeat("a", 60) + "b", longName},  // rescans after every shift
      {"star_question_runs", Repeat("*?", 60) + "b", longName},
      {"long_text_64k", Repeat("*a", 30) + "*b", Repeat("a", 65536)},
      {"typical_mask", "*.ads.example.com", "x.y.z.tracker.ads.example.com"},
  };

  int failures = 0;
  std::printf("%-22s %10s %12s %14s %12s\n", "case", "ns/match", "steps", "bound", "result");
  for (const auto& c : cases) {
    uint64_t steps = 0;
    bool result = hostname_match_detail::WildcardMatchCounted(c.pattern, c.text, steps);
    const uint64_t bound = static_cast<uint64_t>(c.text.size() + 1) * (c.pattern.size() + 1);
    auto start = std::chrono::steady_clock::now();
    volatile bool sink = false;
    for (long i = 0; i < repetitions; ++i) sink = WildcardMatch(c.pattern, c.text);
    (void)sink;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-22s %10lld %12llu %14llu %12s\n", c.name, static_cast<long long>(ns / repetitions),
                static_cast<unsigned long long>(steps), static_cast<unsigned long long>(bound),
                result ? "match" : "no match");
    if (steps > bound) {
      std::printf("  FAIL: %s took more steps than name length x mask length\n", c.name);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
