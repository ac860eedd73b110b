#include "tests/support/http_server.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace testsupport {

struct CHttpServer::STls {
  gnutls_certificate_credentials_t credentials = nullptr;
};

namespace {

constexpr int kReadTimeoutMs = 5000;
constexpr size_t kMaxHead = 16384;

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

CHttpServer::CHttpServer(SHttpServerOptions options) : m_options(std::move(options)) {
  if (!m_options.certificatePem.empty()) {
    m_tls = new STls;
    gnutls_certificate_allocate_credentials(&m_tls->credentials);
    gnutls_datum_t cert{reinterpret_cast<unsigned char*>(m_options.certificatePem.data()),
                        static_cast<unsigned>(m_options.certificatePem.size())};
    gnutls_datum_t key{reinterpret_cast<unsigned char*>(m_options.keyPem.data()),
                       static_cast<unsigned>(m_options.keyPem.size())};
    if (gnutls_certificate_set_x509_key_mem(m_tls->credentials, &cert, &key, GNUTLS_X509_FMT_PEM) < 0)
      throw std::runtime_error("http server: bad certificate or key");
  }
  m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(m_listener, 8) != 0 || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("http server: cannot listen on loopback");
  m_port = ntohs(address.sin_port);
  m_thread = std::thread([this] { Serve(); });
}

CHttpServer::~CHttpServer() {
  m_stop = true;
  m_thread.join();
  close(m_listener);
  if (m_tls) {
    gnutls_certificate_free_credentials(m_tls->credentials);
    delete m_tls;
  }
}

std::vector<std::string> CHttpServer::Requests() {
  std::lock_guard lock(m_mutex);
  return m_requests;
}

bool CHttpServer::WaitForRequests(size_t count, int timeoutMs) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_requests.size() >= count; });
}

void CHttpServer::Serve() {
  while (!m_stop) {
    if (!WaitReadable(m_listener, 100)) continue;
    const int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    m_connections.emplace_back([this, fd] {
      Handle(fd);
      close(fd);
    });
  }
  for (std::thread& connection : m_connections) connection.join();
}

std::string CHttpServer::Origin() const {
  return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port);
}

void CHttpServer::SetRoute(const std::string& path, SHttpRoute route) {
  std::lock_guard lock(m_mutex);
  m_routes.emplace_back(path, std::move(route));
}

std::string CHttpServer::Reply(const std::string& head) {
  const size_t start = head.find(' ') + 1;
  const std::string path = head.substr(start, head.find(' ', start) - start);
  SHttpRoute route;
  route.body = m_options.body;
  {
    std::lock_guard lock(m_mutex);
    for (auto it = m_routes.rbegin(); it != m_routes.rend(); ++it)
      if (it->first == path) {
        route = it->second;
        break;
      }
  }
  for (int waited = 0; waited < route.delayMs && !m_stop; waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::string reply = "HTTP/1.1 " + std::to_string(route.status) + " Scripted\r\nConnection: close\r\n";
  if (!route.location.empty()) reply += "Location: " + route.location + "\r\n";
  if (route.chunked) {
    reply += "Transfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < route.body.size(); at += 1000) {
      const std::string piece = route.body.substr(at, 1000);
      char size[16];
      snprintf(size, sizeof(size), "%zx\r\n", piece.size());
      reply += size + piece + "\r\n";
    }
    return reply + "0\r\n\r\n";
  }
  if (!route.noLength) reply += "Content-Length: " + std::to_string(route.body.size() + route.shortBy) + "\r\n";
  return reply + "\r\n" + route.body;
}

void CHttpServer::Handle(int fd) {
  gnutls_session_t session = nullptr;
  if (m_tls) {
    gnutls_init(&session, GNUTLS_SERVER);
    gnutls_set_default_priority(session);
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, m_tls->credentials);
    gnutls_transport_set_int(session, fd);
    gnutls_handshake_set_timeout(session, kReadTimeoutMs);
    int rc;
    do {
      rc = gnutls_handshake(session);
    } while (rc < 0 && !gnutls_error_is_fatal(rc));
    if (rc < 0) {
      ++m_failed;
      gnutls_deinit(session);
      return;
    }
  }
  std::string head;
  char buffer[2048];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHead) {
    if (!(session && gnutls_record_check_pending(session) > 0) && !WaitReadable(fd, kReadTimeoutMs)) break;
    const ssize_t n = session ? gnutls_record_recv(session, buffer, sizeof(buffer)) : recv(fd, buffer, sizeof(buffer), 0);
    if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
    if (n <= 0) break;
    head.append(buffer, static_cast<size_t>(n));
  }
  const size_t end = head.find("\r\n\r\n");
  if (end == std::string::npos) {
    ++m_failed;
  } else {
    {
      std::lock_guard lock(m_mutex);
      m_requests.push_back(head.substr(0, end));
    }
    m_changed.notify_all();
    const std::string reply = Reply(head.substr(0, end));
    if (session) {
      for (size_t at = 0; at < reply.size();) {
        const ssize_t n = gnutls_record_send(session, reply.data() + at, reply.size() - at);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
      gnutls_bye(session, GNUTLS_SHUT_WR);
    } else {
      for (size_t at = 0; at < reply.size();) {
        const ssize_t n = send(fd, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
    }
  }
  if (session) gnutls_deinit(session);
}

}  // namespace testsupport
