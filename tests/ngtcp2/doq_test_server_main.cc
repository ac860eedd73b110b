// The DoQ test server as a program, for shell tests: makes a test CA and a
// leaf for the given names and addresses, writes the CA, and serves until
// SIGTERM or SIGINT.
//   doq_test_server --listen ADDRESS --port PORT --write-ca FILE
//       [--leaf-name NAME]... [--leaf-address IP]... [--answer-a IP]
//       [--alpn doq|none|h3] [--groups GNUTLS-GROUPS] [--chunks N] [--delay-ms N]
//       [--raw] [--missing] [--short N] [--reset CODE] [--credit N] [--drop N]
#include <arpa/inet.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "tests/ngtcp2/doq_test_server.h"
#include "tests/support/test_ca.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

// The query's header and question, QR set, and one A record for address.
std::vector<uint8_t> AnswerWithA(const std::vector<uint8_t>& query, const in_addr& address) {
  std::vector<uint8_t> answer = query;
  if (answer.size() < 12) return answer;
  answer[2] |= 0x80;
  answer[7] = 1;                     // ANCOUNT
  answer[10] = answer[11] = 0;       // no additional records
  size_t end = 12;
  while (end < answer.size() && answer[end] != 0) end += answer[end] + 1;
  end += 5;                          // root label, type, class
  if (end > answer.size()) return query;
  answer.resize(end);
  const uint8_t record[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
  answer.insert(answer.end(), record, record + sizeof(record));
  const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
  answer.insert(answer.end(), bytes, bytes + 4);
  return answer;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen = "127.0.0.1", caFile;
  uint16_t port = 853;
  testsupport::SLeafOptions leaf;
  testsupport::SDoqServerOptions options;
  in_addr answerA{};
  bool haveAnswer = false;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", flag.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (flag == "--listen") listen = value();
    else if (flag == "--port") port = static_cast<uint16_t>(std::stoi(value()));
    else if (flag == "--write-ca") caFile = value();
    else if (flag == "--leaf-name") leaf.dnsNames.push_back(value());
    else if (flag == "--leaf-address") leaf.ipAddresses.push_back(value());
    else if (flag == "--answer-a") haveAnswer = inet_pton(AF_INET, value().c_str(), &answerA) == 1;
    else if (flag == "--alpn") { options.alpn = value(); if (options.alpn == "none") options.alpn.clear(); }
    else if (flag == "--groups") options.groups = value();
    else if (flag == "--chunks") options.answerChunks = std::stoul(value());
    else if (flag == "--delay-ms") options.answerDelayMs = std::stoi(value());
    else if (flag == "--raw") options.rawAnswers = true;
    else if (flag == "--missing") options.missingAnswers = true;
    else if (flag == "--short") options.shortAnswerBy = std::stoul(value());
    else if (flag == "--reset") options.resetCode = std::stoull(value());
    else if (flag == "--credit") options.streamCredit = std::stoull(value());
    else if (flag == "--drop") options.dropFirst = std::stoul(value());
    else {
      std::fprintf(stderr, "unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  if (caFile.empty()) {
    std::fprintf(stderr, "--write-ca FILE is required\n");
    return 2;
  }
  try {
    testsupport::CTestCa ca("Tarnwick DoQ Test CA");
    testsupport::SIssued issued = ca.IssueLeaf(leaf);
    std::ofstream out(caFile, std::ios::binary | std::ios::trunc);
    out << ca.Certificate().certificatePem;
    if (!out.flush()) {
      std::fprintf(stderr, "cannot write %s\n", caFile.c_str());
      return 1;
    }
    options.certificatePem = issued.certificatePem + ca.Certificate().certificatePem;
    options.keyPem = issued.keyPem;
    if (haveAnswer) options.answer = [answerA](const std::vector<uint8_t>& q) { return AnswerWithA(q, answerA); };
    testsupport::CDoqTestServer server(options);
    std::string error;
    if (!server.Start(listen, port, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    std::printf("listening on %s port %u\n", listen.c_str(), server.Port());
    std::fflush(stdout);
    while (!g_stop) pause();
    server.Stop();
    auto records = server.Records();
    std::printf("connections %zu handshakes %zu streams %zu\n", records.connections, records.handshakes,
                records.streams.size());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
