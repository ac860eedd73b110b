// Writes a fresh test CA and one leaf it signed as PEM files, for shell
// tests: OUTDIR/ca.pem, OUTDIR/leaf.pem, OUTDIR/leaf.key.
//   test_ca_tool OUTDIR [--dns NAME]... [--ip ADDRESS]...
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>

#include "tests/support/test_ca.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTDIR [--dns NAME]... [--ip ADDRESS]...\n", argv[0]);
    return 2;
  }
  testsupport::SLeafOptions options;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--dns") {
      options.dnsNames.push_back(argv[i + 1]);
    } else if (flag == "--ip") {
      options.ipAddresses.push_back(argv[i + 1]);
    } else {
      std::fprintf(stderr, "unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  try {
    testsupport::CTestCa ca("Tarnwick Test CA");
    testsupport::SIssued leaf = ca.IssueLeaf(options);
    const std::string dir = argv[1];
    auto write = [&](const std::string& name, const std::string& text) {
      std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
      out << text;
      return static_cast<bool>(out);
    };
    if (!write("ca.pem", ca.Certificate().certificatePem) || !write("leaf.pem", leaf.certificatePem) ||
        !write("leaf.key", leaf.keyPem)) {
      std::fprintf(stderr, "cannot write into %s\n", dir.c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
