// A DNS-over-QUIC server for the client's tests, on ngtcp2's server API and
// GnuTLS, on one UDP socket and one thread of its own. Its knobs make it
// misbehave in the ways a real server can; its records say what it saw.
#pragma once

#include <netinet/in.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct SDoqServerOptions {
  std::string certificatePem;  // the leaf, then its chain
  std::string keyPem;
  // "doq", "" (no ALPN: the handshake completes without one) or another
  // protocol the server insists on ("h3": the handshake fails).
  std::string alpn = "doq";
  // GnuTLS groups for the priority string, e.g. "+GROUP-FFDHE2048"; empty
  // keeps GnuTLS's defaults.
  std::string groups;
  size_t answerChunks = 1;     // the answer in that many STREAM frames, one per packet
  int answerDelayMs = 0;
  bool rawAnswers = false;     // no 2-byte length prefix
  bool missingAnswers = false; // FIN without any byte
  size_t shortAnswerBy = 0;    // bytes left off the end of each framed answer
  uint64_t resetCode = 0;      // non-zero: reset each query stream with it instead of answering
  uint64_t streamCredit = 100; // bidirectional streams the client may open at first
  bool grantStreams = true;    // one more stream for each closed one
  size_t dropFirst = 0;        // received datagrams ignored before the first one read
  bool badSignature = false;   // a flipped byte in the server's CertificateVerify
  // The answer to a query (without framing); empty: a copy of the query with
  // QR set and no records.
  std::function<std::vector<uint8_t>(const std::vector<uint8_t>& query)> answer;
};

struct SDoqStream {
  std::vector<uint8_t> bytes;  // everything the client sent on the stream
  bool fin = false;
};

struct SDoqRecords {
  size_t connections = 0;             // connections accepted
  size_t handshakes = 0;              // handshakes completed
  std::vector<std::string> sni;       // per completed handshake
  std::vector<std::string> alpn;      // per completed handshake
  std::vector<SDoqStream> streams;    // per finished query stream, in order
  std::vector<uint64_t> closeCodes;   // CONNECTION_CLOSE error codes received
  size_t keyUpdates = 0;              // key updates the server installed
  size_t datagrams = 0;               // datagrams received, dropped ones included
};

class CDoqTestServer {
 public:
  explicit CDoqTestServer(SDoqServerOptions options);
  ~CDoqTestServer();
  CDoqTestServer(const CDoqTestServer&) = delete;
  CDoqTestServer& operator=(const CDoqTestServer&) = delete;

  // Binds address:port (0: a free port) and starts the thread; false with
  // the reason in error.
  bool Start(const std::string& address, uint16_t port, std::string& error);
  void Stop();
  uint16_t Port() const { return m_port; }
  sockaddr_storage Address() const { return m_address; }

  SDoqRecords Records();
  // Waits, at most timeoutMs, until done holds for the records.
  bool WaitFor(const std::function<bool(const SDoqRecords&)>& done, int timeoutMs = 5000);

  struct SState;

 private:
  std::shared_ptr<SState> m_state;
  std::thread m_thread;
  uint16_t m_port = 0;
  sockaddr_storage m_address{};
};

}  // namespace testsupport
