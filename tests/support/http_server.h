// A loopback HTTP or HTTPS listener on a free port for tests: each
// connection's request head is recorded and answered with a fixed 200 and a
// short body, then closed. HTTPS uses the certificate and key given (from
// CTestCa). Every read and the accept loop are bounded in time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct SHttpServerOptions {
  std::string certificatePem;  // empty: plain HTTP
  std::string keyPem;
  std::string body = "ok";
};

class CHttpServer {
 public:
  explicit CHttpServer(SHttpServerOptions options = {});
  ~CHttpServer();
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  uint16_t Port() const { return m_port; }
  // The request heads received so far (request line and headers).
  std::vector<std::string> Requests();
  // Bounded wait for count request heads.
  bool WaitForRequests(size_t count, int timeoutMs = 10000);
  // Connections that failed before a request head arrived (TLS refused...).
  int FailedConnections() const { return m_failed.load(); }

 private:
  void Serve();
  void Handle(int fd);

  SHttpServerOptions m_options;
  struct STls;
  STls* m_tls = nullptr;
  int m_listener = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_failed{0};
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_requests;  // under m_mutex
  std::thread m_thread;
};

}  // namespace testsupport
