#include "Quorvane/app/update_checker.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "Quorvane/foundation/log.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/http_get.h"

std::atomic<bool> g_bUpdateCheckRunning{false};

namespace {

constexpr size_t kMaxVersionFile = 10001;

std::mutex g_updateMutex;
SUpdateState g_updateState;       // under g_updateMutex
std::string g_updateSite;         // under g_updateMutex; empty: the maker's
UpdateResultSend g_updateSend;    // under g_updateMutex

// Decimal digits only, up to the 32-bit maximum; false on overflow.
bool ReadDigits(const std::string& text, long long& value) {
  value = 0;
  for (char c : text) {
    value = value * 10 + (c - '0');
    if (value > 2147483647LL) return false;
  }
  return true;
}

// A decimal integer as strtol reads it; a value outside int reads as 0.
long LeadingInteger(const std::string& text) {
  errno = 0;
  const long long value = strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value > 2147483647LL || value < -2147483648LL) return 0;
  return static_cast<long>(value);
}

std::string Trim(const std::string& text) {
  const char* blanks = "\r\n ";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

SUpdateState GetUpdateState() {
  std::lock_guard lock(g_updateMutex);
  return g_updateState;
}

void ResetUpdateStateForTesting() {
  std::lock_guard lock(g_updateMutex);
  g_updateState = {};
}

void SetUpdateSiteForTesting(const std::string& site) {
  std::lock_guard lock(g_updateMutex);
  g_updateSite = site;
}

std::string UpdateSite() {
  std::lock_guard lock(g_updateMutex);
  return g_updateSite.empty() ? std::string(kMakerSite) : g_updateSite;
}

void SetUpdateResultSend(UpdateResultSend send) {
  std::lock_guard lock(g_updateMutex);
  g_updateSend = std::move(send);
}

CUpdateChecker::CUpdateChecker(const std::string& baseUrl)
    : m_url(baseUrl + std::to_string(kBuildNumber) + "/") {}

bool CUpdateChecker::Download(std::string& body) {
  body.clear();
  const std::wstring url = Utf8ToWide(m_url);
  platform::SHttpGetOptions options;
  options.maxBody = kMaxVersionFile - 1;
  platform::SHttpBodyResult got = platform::HttpGet(m_url, options);
  if (platform::IsUnsupportedScheme(got.error)) {
    m_error = L"Could not open URL " + url;
    return false;
  }
  if (got.error != 0) {
    m_error = Utf8ToWide(got.text.substr(0, 999)) + L".";
    return false;
  }
  if (got.status == 404) {
    m_error = L"File not found on the server (status 404) " + url;
    return false;
  }
  if (got.status != 200) {
    m_error = L"Request failed with HTTP status " + std::to_wstring(got.status) + L" " + url;
    return false;
  }
  if (got.contentLength < 0) {
    m_error = L"Cannot get file length, error = 12150";
    return false;
  }
  if (got.contentLength >= static_cast<int64_t>(kMaxVersionFile)) {
    m_error = L"File is too big.";
    return false;
  }
  if (got.contentLength == 0) {
    m_error = L"File is empty.";
    return false;
  }
  if (static_cast<int64_t>(got.body.size()) < got.contentLength) {
    m_error = L"File length mismatch.";
    return false;
  }
  body.assign(got.body.c_str());  // up to the first NUL
  return true;
}

bool CUpdateChecker::Parse(const std::string& text) {
  const size_t blank = text.find(' ');
  if (text.empty() || blank == std::string::npos) {
    m_error = L"Unexpected version format.";
    return false;
  }
  if (LeadingInteger(text.substr(0, blank)) != 2) {
    m_error = L"Unsupported version format.";
    return false;
  }
  const std::string rest = text.substr(blank + 1);
  const size_t next = rest.find(' ');
  if (rest.empty() || next == std::string::npos) {
    m_error = L"Incorrect version format.";
    return false;
  }
  const std::string field = rest.substr(0, next);
  if (field.find_first_not_of("0123456789") != std::string::npos) {
    m_error = L"Incorrect format of version string.";
    return false;
  }
  long long version = 0;
  if (!ReadDigits(field, version) || version < 1) {
    m_error = L"Incorrect version format.";
    return false;
  }
  SUpdateState state;
  state.updateAvailable = version > kBuildNumber;
  state.versionUnsupported = version == 1 || version == 2;
  state.keepRunningWhenUnsupported = version != 2;
  state.url = Trim(rest.substr(next + 1));
  if (state.url.rfind(UpdateSite() + "/", 0) != 0) {
    m_error = L"Incorrect update URL.";
    return false;
  }
  std::lock_guard lock(g_updateMutex);
  g_updateState = std::move(state);
  return true;
}

bool CUpdateChecker::Check() {
  m_error.clear();
  std::string body;
  return Download(body) && Parse(body);
}

void UpdateCheckThread(std::string baseUrl) {
  g_bUpdateCheckRunning = true;
  CUpdateChecker checker(baseUrl);
  bool send = false;
  if (!checker.Check()) {
    CLogMessage().SetError().Append(LogError, L"(Update Checker) - Could not check for updates. ")
        .Append(LogError, checker.ErrorText());
  } else {
    const SUpdateState state = GetUpdateState();
    if (state.versionUnsupported) {
      CLogMessage().SetError().Append(LogError, L"This version is out of date and no longer supported. Please update at ")
          .Append(LogError, state.url);
      send = true;
    } else if (state.updateAvailable) {
      CLogMessage().Append(LogNormal, L"(Update Checker) - Update is available at ").Append(LogNormal, state.url);
      send = true;
    } else {
      CLogMessage().Append(LogVerbose, L"(Update Checker) - Your version is up to date.");
    }
  }
  if (send) {
    UpdateResultSend sendResult;
    {
      std::lock_guard lock(g_updateMutex);
      sendResult = g_updateSend;
    }
    if (sendResult) sendResult();
  }
  g_bUpdateCheckRunning = false;
}

void ShowUpdateNotice(const SUpdateState& state, CUpdateNoticeSink& sink) {
  if (state.versionUnsupported) {
    sink.ShowUnsupported(L"This version of software is out of date and no longer supported. Please update at " +
                         Utf8ToWide(state.url));
    sink.OpenUrl(state.url);
  } else {
    bool ticked = false;
    if (sink.AskOpenDownload(L"There is an update for this version of software.\n\n"
                             L"Do you want to open the download page right now?",
                             L"Disable product updates check", ticked))
      sink.OpenUrl(state.url);
    if (ticked) sink.DisableUpdateCheck();
  }
  if (!state.keepRunningWhenUnsupported) sink.Quit();
}
