// A DoQ client probe for shell tests: trusts the given CA, then asks the
// server one A query per attempt, each on a new connection, and prints
// "answered" or "failed" for each. Exit code 0 when the last one was answered.
//   doq_probe --ca FILE --server IP --port PORT --host NAME --name QNAME [--attempts N]
#include <arpa/inet.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "Quorvane/foundation/dns_codec.h"
#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/ngtcp2/quic_client.h"
#include "Quorvane/platform/cert_verify.h"
#include "Quorvane/transports/dns_plain_protocol_processor.h"
#include "Quorvane/transports/engine_sink.h"
#include "tests/ngtcp2/udp_shadow_socket.h"

namespace {

class CProbeSink : public CEngineSink {
 public:
  bool OnUpstreamAnswer(const std::vector<uint8_t>& answer, uint64_t) override {
    Finish(true, "answer of " + std::to_string(answer.size()) + " bytes");
    return true;
  }
  void OnRequestError(uint64_t, const std::wstring&, const std::wstring& text) override { Finish(false, WideToUtf8(text)); }
  void RemoveRequestProcessor(uint64_t) override {}
  void OnPendingRequestError(uint64_t, const std::wstring&, const std::wstring& text) override {
    Finish(false, WideToUtf8(text));
  }
  // True when answered within timeoutMs.
  bool Wait(int timeoutMs, std::string& detail) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_done; });
    detail = m_done ? m_detail : "no answer in time";
    bool answered = m_done && m_answered;
    m_done = m_answered = false;
    return answered;
  }

 private:
  void Finish(bool answered, std::string detail) {
    std::lock_guard lock(m_mutex);
    m_done = true;
    m_answered = answered;
    m_detail = std::move(detail);
    m_changed.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_done = false, m_answered = false;
  std::string m_detail;
};

void PrintLog() {
  std::list<SLogLine> lines;
  SwapLogQueue(lines, true);
  for (const SLogLine& line : lines) std::printf("log: %s\n", WideToUtf8(line.text).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string ca, server = "127.0.0.1", host, name = "probe.test";
  int port = 853, attempts = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--ca") ca = value;
    else if (flag == "--server") server = value;
    else if (flag == "--port") port = std::stoi(value);
    else if (flag == "--host") host = value;
    else if (flag == "--name") name = value;
    else if (flag == "--attempts") attempts = std::stoi(value);
    else {
      std::fprintf(stderr, "unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  std::string error;
  if (!ca.empty() && !platform::AddTrustedCertificatesFile(ca, error)) {
    std::fprintf(stderr, "CA: %s\n", error.c_str());
    return 2;
  }
  sockaddr_storage address{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  if (inet_pton(AF_INET, server.c_str(), &v4->sin_addr) != 1) {
    std::fprintf(stderr, "bad server address %s\n", server.c_str());
    return 2;
  }
  v4->sin_family = AF_INET;
  v4->sin_port = htons(static_cast<uint16_t>(port));
  if (host.empty()) host = server;
  g_LogLevelScreen = LogVerbose;
  CProbeSink sink;
  SetEngineSink(&sink);
  bool answered = false;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    auto socket = CUdpShadowSocket::Create(address, Utf8ToWide(host + " (" + server + ")"));
    if (!socket) return 1;
    auto client = CQuicClient::Create(socket->Socket(), socket, Utf8ToWide(host), address);
    std::string detail = "no client";
    answered = false;
    if (client) {
      socket->Attach(client);
      socket->Receive();
      uint8_t query[kDnsPacketBufferSize];
      int length = ComposeDnsRequestPacket(name, query);
      auto handler = std::make_shared<CDnsPlainProtocolProcessor>(true);
      handler->m_requestId = static_cast<uint64_t>(attempt);
      handler->m_name = Utf8ToWide(name);
      if (length > 0 && client->SendRequest(std::vector<uint8_t>(query, query + length), handler)) {
        client->SendPending();
        // A closed connection carries no answer: no need to wait it out.
        for (int waited = 0; waited < 5000 && !answered && !socket->IsShutDown(); waited += 50) {
          answered = sink.Wait(50, detail);
        }
      }
      if (!answered && socket->IsShutDown()) detail = "connection closed";
      client->Close();
      socket->Detach();
    }
    // The background certificate check ends before the next attempt.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    PrintLog();
    std::printf("attempt %d: %s (%s)\n", attempt, answered ? "answered" : "failed", detail.c_str());
    std::fflush(stdout);
  }
  SetEngineSink(nullptr);
  return answered ? 0 : 1;
}
