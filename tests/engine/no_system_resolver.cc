// Engine tests never ask the machine's own resolver: unless a test names its
// own resolv.conf, server host names are looked up in a file that does not
// exist, which fails at once.
#include <gtest/gtest.h>

#include "Quorvane/platform/system_dns.h"

namespace {

class NoSystemResolver : public ::testing::Environment {
 public:
  void SetUp() override {
    platform::SSystemDnsConfig config;
    config.resolvConf = "/nonexistent/tarnwick-engine-tests/resolv.conf";
    platform::SetSystemDnsConfig(config);
  }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new NoSystemResolver);

}  // namespace
