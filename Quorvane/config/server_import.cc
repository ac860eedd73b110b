#include "Quorvane/config/server_import.h"

#include <string_view>
#include <utility>

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/http_get.h"

std::mutex g_ServerImportMutex;

namespace {

constexpr wchar_t kNoSuchProtocol[] = L"12006";

}  // namespace

CServerImport::CServerImport() : m_data(std::make_shared<SThreadData>()) {}

CServerImport::~CServerImport() {
  std::lock_guard lock(g_ServerImportMutex);
  m_data->threads.clear();
}

void CServerImport::Start(const std::vector<std::string>& urls, std::function<void(uint64_t)> onDone,
                          uint64_t context) {
  std::lock_guard lock(g_ServerImportMutex);
  // A fresh record: threads of the run before hold the old one and find
  // their ids gone from it.
  m_data->threads.clear();
  m_data = std::make_shared<SThreadData>();
  m_data->onDone = std::move(onDone);
  m_data->context = context;
  if (urls.empty()) m_data->finished = true;
  for (const std::string& url : urls) {
    std::thread thread(ImportThread, url, m_data);
    m_data->threads[thread.get_id()] = true;
    thread.detach();
  }
}

CServerImport::SThreadData CServerImport::Snapshot() const {
  std::lock_guard lock(g_ServerImportMutex);
  SThreadData copy = *m_data;
  copy.onDone = nullptr;
  return copy;
}

void CServerImport::ImportThread(std::string url, std::shared_ptr<SThreadData> data) {
  std::string body;
  std::wstring error;
  std::vector<CDnsServer> parsed;
  int failed = 0;
  bool loaded = false;
  if (!Download(url, body, error)) {
    CLogMessage().SetError().Append(LogError, L"Cannot import servers from URL ").Append(LogError, url)
        .Append(LogError, L". ").Append(LogError, error);
  } else {
    ParseResolverList(body, parsed, url, failed);
    if (parsed.empty())
      CLogMessage().SetError().Append(LogError, L"No servers imported from URL ").Append(LogError, url);
    else
      loaded = true;
  }
  std::lock_guard lock(g_ServerImportMutex);
  auto self = data->threads.find(std::this_thread::get_id());
  if (self == data->threads.end()) return;
  data->threads.erase(self);
  if (data->threads.empty()) data->finished = true;
  ++(loaded ? data->urlsLoaded : data->urlsFailed);
  data->serversFailed += failed;
  Merge(*data, parsed);
  if (data->onDone) data->onDone(data->context);
}

void CServerImport::Merge(SThreadData& data, std::vector<CDnsServer>& parsed) {
  for (CDnsServer& server : parsed) {
    std::string stamp, error;
    if (!server.ToStamp(stamp, error)) continue;
    if (!data.stampKeys.insert(stamp).second) continue;
    server.id = g_NextObjectId++;
    if (server.protocol == EDnsProtocol::DnsCrypt &&
        (server.name.find(L"cisco") != std::wstring::npos || server.name.find(L"quad9") != std::wstring::npos))
      server.dnscrypt_disable_padding = true;
    data.servers.push_back(std::move(server));
  }
}

bool CServerImport::Download(const std::string& url, std::string& body, std::wstring& error) {
  body.clear();
  platform::SHttpGetOptions options;
  options.maxBody = kMaxListSize;
  platform::SHttpBodyResult got = platform::HttpGet(url, options);
  if (platform::IsUnsupportedScheme(got.error)) {
    error = std::wstring(L"Could not open URL (error) ") + kNoSuchProtocol + L").";
    return false;
  }
  if (got.error != 0) {
    error = Utf8ToWide(got.text.substr(0, 999)) + L".";
    return false;
  }
  if (got.status == 404) {
    error = L"File not found on the server (status 404).";
    return false;
  }
  if (got.status != 200) {
    error = L"Request failed with HTTP status " + std::to_wstring(got.status) + L" " + Utf8ToWide(url);
    return false;
  }
  if (got.contentLength < 0) {
    error = L"Cannot get file length, error = 12150";
    return false;
  }
  if (got.contentLength > static_cast<int64_t>(kMaxListSize)) {
    error = L"File is too big.";
    return false;
  }
  if (got.contentLength == 0) {
    error = L"File is empty.";
    return false;
  }
  if (static_cast<int64_t>(got.body.size()) < got.contentLength) {
    error = L"File length mismatch (" + std::to_wstring(got.contentLength) + L", " +
            std::to_wstring(got.body.size()) + L").";
    return false;
  }
  body = std::move(got.body);
  return true;
}

bool CServerImport::ParseResolverList(const std::string& body, std::vector<CDnsServer>& servers,
                                      const std::string& url, int& failed) {
  size_t at = 0;
  while (true) {
    const size_t heading = body.find("##", at);
    if (heading == std::string::npos) break;
    size_t nameStart = heading + 2;
    while (nameStart < body.size() && body[nameStart] == ' ') ++nameStart;
    const size_t nameEnd = body.find_first_of("\r\n", nameStart);
    if (nameEnd == std::string::npos) break;
    const std::wstring name = ToWide(std::string_view(body).substr(nameStart, nameEnd - nameStart), false);
    const size_t stampStart = body.find("sdns://", nameStart);
    if (stampStart == std::string::npos) break;
    size_t stampEnd = body.find_first_of("\r\n", stampStart);
    if (stampEnd == std::string::npos) stampEnd = body.size();
    CDnsServer server;
    std::string error;
    if (server.FromStamp(body.substr(stampStart, stampEnd - stampStart), error)) {
      server.name = name;
      servers.push_back(std::move(server));
    } else {
      CLogMessage().SetError().Append(LogError, L"Cannot load sdns for server \"").Append(LogError, name)
          .Append(LogError, L"\". ").Append(LogError, error).Append(LogError, L". URL=").Append(LogError, url);
      ++failed;
    }
    at = stampStart;
  }
  return true;
}

bool CServerImport::ParseUrlList(const std::string& text, std::vector<std::string>& urls, std::wstring& error) {
  urls.clear();
  std::string lines;
  lines.reserve(text.size());
  for (char c : text)
    if (c != '\r') lines.push_back(c);
  size_t start = 0;
  while (start <= lines.size()) {
    size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    const std::string line = lines.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.rfind("http://", 0) != 0 && line.rfind("https://", 0) != 0) {
      error = L"The URL must start with http:// or https://";
      return false;
    }
    urls.push_back(line);
  }
  return true;
}
