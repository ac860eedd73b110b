// A loopback HTTP or HTTPS listener on a free port for tests: each
// connection's request head is recorded and answered, then closed; paths
// given a route get its scripted answer, the rest a fixed 200 with a short
// body. Connections are served in parallel, so one delayed path holds up
// no other. HTTPS uses the certificate and key given (from
// CTestCa). Every read and the accept loop are bounded in time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

struct SHttpServerOptions {
  std::string certificatePem;  // empty: plain HTTP
  std::string keyPem;
  std::string body = "ok";
};

// A scripted answer for one path.
struct SHttpRoute {
  int status = 200;
  std::string body;
  bool noLength = false;  // no Content-Length: the body ends with the connection
  bool chunked = false;
  size_t shortBy = 0;     // announce this many bytes more than are sent
  int delayMs = 0;        // before the answer
  std::string location;   // a Location header (for 3xx)
};

class CHttpServer {
 public:
  explicit CHttpServer(SHttpServerOptions options = {});
  ~CHttpServer();
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  uint16_t Port() const { return m_port; }
  // "http://127.0.0.1:port" or "https://127.0.0.1:port"; no trailing "/".
  std::string Origin() const;
  void SetRoute(const std::string& path, SHttpRoute route);
  // The request heads received so far (request line and headers).
  std::vector<std::string> Requests();
  // Bounded wait for count request heads.
  bool WaitForRequests(size_t count, int timeoutMs = 10000);
  // Connections that failed before a request head arrived (TLS refused...).
  int FailedConnections() const { return m_failed.load(); }

 private:
  void Serve();
  void Handle(int fd);
  std::string Reply(const std::string& head);

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
  std::vector<std::pair<std::string, SHttpRoute>> m_routes;  // under m_mutex
  std::vector<std::thread> m_connections;  // Serve's own; joined at the end
  std::thread m_thread;
};

}  // namespace testsupport
