#include "Quorvane/platform/http_get.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "Quorvane/platform/cert_verify.h"

namespace platform {
namespace {

// curl over GnuTLS 7.88 takes extra CAs only as a file, and a CA file
// replaces the system bundle, so the file holds both. Empty when the hook
// added nothing: curl's own default then applies.
std::string CaFileWithAddedCertificates() {
  static std::mutex mutex;
  static std::string writtenFor;
  static std::string path;
  const std::string added = AddedTrustedCertificatesPem();
  if (added.empty()) return {};
  std::lock_guard lock(mutex);
  if (added == writtenFor) return path;
  std::string bundle;
  if (const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW); info && info->cainfo) {
    std::ifstream in(info->cainfo, std::ios::binary);
    bundle.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string name = (std::filesystem::temp_directory_path() / "tarnwick-http-ca-XXXXXX").string();
  const int fd = mkstemp(name.data());
  if (fd < 0) return {};
  close(fd);
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << bundle << "\n" << added;
  out.close();
  if (!out) return {};
  if (!path.empty()) std::filesystem::remove(path);
  path = name;
  writtenFor = added;
  return path;
}

// Nothing is read: the first body bytes end the transfer.
size_t StopAtBody(char*, size_t, size_t, void* stopped) {
  *static_cast<bool*>(stopped) = true;
  return 0;
}

struct SBodySink {
  std::string* body;
  size_t limit;
  bool full = false;
};

size_t KeepUpToLimit(char* data, size_t size, size_t count, void* context) {
  auto* sink = static_cast<SBodySink*>(context);
  const size_t length = size * count;
  const size_t room = sink->limit - sink->body->size();
  if (length > room) {
    sink->body->append(data, room);
    sink->full = true;
    return 0;  // ends the transfer
  }
  sink->body->append(data, length);
  return length;
}

// One easy handle with the settings every GET shares: no cache anywhere, a
// fresh connection, http and https only, curl's error text kept.
class CCurlGet {
 public:
  explicit CCurlGet(const std::string& url) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_curl = curl_easy_init();
    if (!m_curl) return;
    m_headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    m_headers = curl_slist_append(m_headers, "Pragma: no-cache");
    curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(m_curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(m_curl, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(m_curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, m_errorText);
    const std::string caFile = CaFileWithAddedCertificates();
    if (!caFile.empty()) curl_easy_setopt(m_curl, CURLOPT_CAINFO, caFile.c_str());
  }
  ~CCurlGet() {
    curl_slist_free_all(m_headers);
    if (m_curl) curl_easy_cleanup(m_curl);
  }
  CCurlGet(const CCurlGet&) = delete;
  CCurlGet& operator=(const CCurlGet&) = delete;

  CURL* Handle() const { return m_curl; }  // null when libcurl could not make one

  // Runs the transfer. True when the server answered (code OK, or one that
  // answered tells): its status is in result; else result's error fields.
  template <class Answered>
  bool Perform(SHttpGetResult& result, Answered answered) const {
    const CURLcode code = m_curl ? curl_easy_perform(m_curl) : CURLE_FAILED_INIT;
    if (m_curl && (code == CURLE_OK || answered(code))) {
      curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &result.status);
      return true;
    }
    SetError(code, result);
    return false;
  }

 private:
  void SetError(CURLcode code, SHttpGetResult& result) const {
    result.error = code;
    result.text = m_errorText[0] ? m_errorText : curl_easy_strerror(code);
    std::string& text = result.text;
    while (!text.empty() && (text.back() == '.' || text.back() == '\r' || text.back() == '\n')) text.pop_back();
  }

  CURL* m_curl = nullptr;
  curl_slist* m_headers = nullptr;
  char m_errorText[CURL_ERROR_SIZE] = {};
};

}  // namespace

SHttpBodyResult HttpGet(const std::string& url, const SHttpGetOptions& options) {
  SHttpBodyResult result;
  CCurlGet get(url);
  // Options on a handle libcurl could not make are refused; Perform says so.
  CURL* curl = get.Handle();
  SBodySink sink{&result.body, options.maxBody};
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeoutMs));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalTimeoutMs));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, KeepUpToLimit);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);

  const bool answered = get.Perform(result, [&sink](CURLcode code) {
    return code == CURLE_PARTIAL_FILE || (code == CURLE_WRITE_ERROR && sink.full);
  });
  if (!answered) {
    result.body.clear();
    return result;
  }
  curl_off_t length = -1;
  if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0)
    result.contentLength = length;
  return result;
}

bool IsUnsupportedScheme(int error) {
  return error == CURLE_UNSUPPORTED_PROTOCOL || error == CURLE_URL_MALFORMAT;
}

SHttpGetResult HttpGetNoBody(const std::string& url, uint32_t timeoutMs) {
  SHttpGetResult result;
  CCurlGet get(url);
  CURL* curl = get.Handle();
  bool stopped = false;
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, StopAtBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &stopped);
  get.Perform(result, [&stopped](CURLcode code) { return code == CURLE_WRITE_ERROR && stopped; });
  return result;
}

}  // namespace platform
