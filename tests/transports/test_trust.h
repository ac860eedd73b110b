// One test CA for the whole test binary, added to the process-wide trust
// list on first use, and helpers that turn issued certificates into the
// contexts the verification takes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Quorvane/transports/server_certificate.h"
#include "tests/support/test_ca.h"

namespace testsupport {

inline CTestCa& TrustedCa() {
  static CTestCa* ca = [] {
    auto* made = new CTestCa("Tarnwick Trusted Test CA");
    std::string error;
    EXPECT_TRUE(platform::AddTrustedCertificates(made->Certificate().certificatePem, error)) << error;
    return made;
  }();
  return *ca;
}

// The context of leaf with the further certificates as the server sent them.
inline PCertificateContext ContextOf(const SIssued& leaf, const std::vector<const SIssued*>& sent = {}) {
  std::vector<std::vector<uint8_t>> list{leaf.der};
  for (const SIssued* other : sent) list.push_back(other->der);
  return LoadPeerCertificates(list);
}

inline SLeafOptions LeafFor(std::vector<std::string> dnsNames, std::vector<std::string> ips = {}) {
  SLeafOptions options;
  options.dnsNames = std::move(dnsNames);
  options.ipAddresses = std::move(ips);
  return options;
}

}  // namespace testsupport
