// The update check: a version file on the maker's site says whether a newer
// build exists or whether this one may no longer be used. The check runs on
// a detached thread; the main window gets the result through a blocking send
// (a seam here, filled by the window), the user's answer through a notice
// seam (a box and a question, or App I's box road in service mode).
//
// The parse works on locals and publishes the URL and the three flags
// together, and only on success: a failed check leaves the last good result
// as it was, so a failed marker-2 file never leaves "must stop" behind.
#pragma once

#include <atomic>
#include <functional>
#include <string>

inline constexpr char kMakerSite[] = "https://brevant.example";
inline constexpr int kBuildNumber = 13800;

// A check thread runs. Writers: StartUpdateCheck (set) and the thread (clear).
extern std::atomic<bool> g_bUpdateCheckRunning;

// The last successfully parsed version file.
struct SUpdateState {
  std::string url;
  bool updateAvailable = false;
  bool versionUnsupported = false;
  bool keepRunningWhenUnsupported = true;
};
SUpdateState GetUpdateState();
void ResetUpdateStateForTesting();

// The site download URLs must begin with (+ "/"); the maker's by default.
void SetUpdateSiteForTesting(const std::string& site);  // empty: the maker's
std::string UpdateSite();

class CUpdateChecker {
 public:
  explicit CUpdateChecker(const std::string& baseUrl);

  // Download and parse; false with ErrorText() filled.
  bool Check();
  bool Download(std::string& body);
  // The parse alone, over a body already cut at its first NUL.
  bool Parse(const std::string& text);

  const std::string& Url() const { return m_url; }
  const std::wstring& ErrorText() const { return m_error; }

 private:
  std::string m_url;
  std::wstring m_error;
};

// Sends WM_UPDATE_CHECK_RESULT to the main window and waits until it has been
// dealt with; false when there is no window (or it is gone). The default
// sends nothing and returns false.
using UpdateResultSend = std::function<bool()>;
void SetUpdateResultSend(UpdateResultSend send);

// The thread body: check, log, send when there is something to tell.
void UpdateCheckThread(std::string baseUrl);

// What the notice needs of the window: a plain box, the question with its
// check box, the shell, the profile and the quit road.
class CUpdateNoticeSink {
 public:
  virtual ~CUpdateNoticeSink() = default;
  virtual void ShowUnsupported(const std::wstring& text) = 0;
  // Yes or No; ticked gets the check box.
  virtual bool AskOpenDownload(const std::wstring& text, const std::wstring& checkBox, bool& ticked) = 0;
  virtual void OpenUrl(const std::string& url) = 0;
  virtual void DisableUpdateCheck() = 0;
  virtual void Quit() = 0;
};

// The main window's handling of WM_UPDATE_CHECK_RESULT.
void ShowUpdateNotice(const SUpdateState& state, CUpdateNoticeSink& sink);
