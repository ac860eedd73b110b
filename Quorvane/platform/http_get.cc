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

std::once_flag g_curlInit;

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

// The settings every GET shares: no cache anywhere, a fresh connection.
// The caller frees the returned header list after the transfer.
curl_slist* PrepareGet(CURL* curl, const std::string& url) {
  curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  const std::string caFile = CaFileWithAddedCertificates();
  if (!caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  return headers;
}

std::string ErrorText(CURLcode code, const char* buffer) {
  std::string text = buffer[0] ? buffer : curl_easy_strerror(code);
  while (!text.empty() && (text.back() == '.' || text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

}  // namespace

SHttpBodyResult HttpGet(const std::string& url, const SHttpGetOptions& options) {
  std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  SHttpBodyResult result;
  CURL* curl = curl_easy_init();
  if (!curl) {
    result.error = CURLE_FAILED_INIT;
    result.text = curl_easy_strerror(CURLE_FAILED_INIT);
    return result;
  }
  char errorText[CURL_ERROR_SIZE] = {};
  SBodySink sink{&result.body, options.maxBody};
  curl_slist* headers = PrepareGet(curl, url);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeoutMs));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalTimeoutMs));
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, KeepUpToLimit);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);

  const CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK || code == CURLE_PARTIAL_FILE || (code == CURLE_WRITE_ERROR && sink.full)) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    curl_off_t length = -1;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0)
      result.contentLength = length;
  } else {
    result.error = code;
    result.text = ErrorText(code, errorText);
    result.body.clear();
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return result;
}

bool IsUnsupportedScheme(int error) {
  return error == CURLE_UNSUPPORTED_PROTOCOL || error == CURLE_URL_MALFORMAT;
}

SHttpGetResult HttpGetNoBody(const std::string& url, uint32_t timeoutMs) {
  std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  SHttpGetResult result;
  CURL* curl = curl_easy_init();
  if (!curl) {
    result.error = CURLE_FAILED_INIT;
    result.text = curl_easy_strerror(CURLE_FAILED_INIT);
    return result;
  }
  char errorText[CURL_ERROR_SIZE] = {};
  bool stopped = false;
  curl_slist* headers = PrepareGet(curl, url);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, StopAtBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &stopped);

  const CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && stopped)) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  } else {
    result.error = code;
    result.text = ErrorText(code, errorText);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return result;
}

}  // namespace platform
