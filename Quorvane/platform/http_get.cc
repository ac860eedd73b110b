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

}  // namespace

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
  curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, StopAtBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &stopped);
  const std::string caFile = CaFileWithAddedCertificates();
  if (!caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());

  const CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && stopped)) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  } else {
    result.error = code;
    result.text = errorText[0] ? errorText : curl_easy_strerror(code);
    while (!result.text.empty() && (result.text.back() == '.' || result.text.back() == '\r' ||
                                    result.text.back() == '\n'))
      result.text.pop_back();
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return result;
}

}  // namespace platform
