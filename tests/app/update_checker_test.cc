// The update check against a scripted loopback web server: the parse, both
// halves of the download, the thread's single run, and the notice.
#include "Quorvane/app/update_checker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/platform/clock.h"
#include "tests/app/app_fixture.h"
#include "tests/support/http_server.h"
#include "tests/support/test_ca.h"


// Routes name only the fields they script.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

class UpdateCheck : public testsupport::AppTest {
 protected:
  UpdateCheck() {
    ResetUpdateStateForTesting();
    SetUpdateSiteForTesting(m_server.Origin());
  }
  ~UpdateCheck() override {
    SetUpdateSiteForTesting("");
    SetUpdateResultSend(nullptr);
    ResetUpdateStateForTesting();
  }
  std::string Site() const { return m_server.Origin(); }
  testsupport::CHttpServer m_server;
};

struct ParseCase {
  const char* name;
  std::string text;  // "SITE" stands for the site
  const wchar_t* error;  // nullptr: success
  bool available, unsupported, keepRunning;
};

TEST_F(UpdateCheck, ParseTable) {
  const ParseCase cases[] = {
      {"update_crlf", "2 13801 SITE/get\r\n", nullptr, true, false, true},
      {"same_build", "2 13800 SITE/get", nullptr, false, false, true},
      {"older_build", "2 900 SITE/get", nullptr, false, false, true},
      {"marker_1", "2 1 SITE/get", nullptr, false, true, true},
      {"marker_2", "2 2  SITE/get \n", nullptr, false, true, false},
      {"empty", "", L"Unexpected version format.", false, false, true},
      {"no_blank", "2", L"Unexpected version format.", false, false, true},
      {"format_3", "3 13801 SITE/get", L"Unsupported version format.", false, false, true},
      {"ends_after_version", "2 13801", L"Incorrect version format.", false, false, true},
      {"letter_in_version", "2 138a1 SITE/get", L"Incorrect format of version string.", false, false, true},
      {"zero", "2 0 SITE/get", L"Incorrect version format.", false, false, true},
      {"overflow", "2 99999999999 SITE/get", L"Incorrect version format.", false, false, true},
      {"other_host", "2 13801 https://other.example/get", L"Incorrect update URL.", false, false, true},
      {"look_alike", "2 13801 SITE.evil.example/get", L"Incorrect update URL.", false, false, true},
      {"no_slash", "2 13801 SITE", L"Incorrect update URL.", false, false, true},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetUpdateStateForTesting();
    std::string text = c.text;
    for (size_t at; (at = text.find("SITE")) != std::string::npos;) text.replace(at, 4, Site());
    CUpdateChecker checker(Site() + "/v/");
    EXPECT_EQ(checker.Parse(text), c.error == nullptr);
    if (c.error) {
      EXPECT_EQ(checker.ErrorText(), c.error);
    }
    const SUpdateState state = GetUpdateState();
    EXPECT_EQ(state.updateAvailable, c.available);
    EXPECT_EQ(state.versionUnsupported, c.unsupported);
    EXPECT_EQ(state.keepRunningWhenUnsupported, c.keepRunning);
    if (!c.error) {
      EXPECT_EQ(state.url, Site() + "/get");
    }
  }
}

TEST_F(UpdateCheck, AFailedMarkerTwoLeavesTheLastGoodResult) {
  CUpdateChecker checker(Site() + "/v/");
  ASSERT_TRUE(checker.Parse("2 13801 " + Site() + "/a"));
  EXPECT_FALSE(checker.Parse("2 2 https://other.example/x"));
  const SUpdateState state = GetUpdateState();
  EXPECT_TRUE(state.keepRunningWhenUnsupported);
  EXPECT_FALSE(state.versionUnsupported);
  EXPECT_EQ(state.url, Site() + "/a");
}

struct DownloadCase {
  const char* name;
  testsupport::SHttpRoute route;
  std::wstring error;  // "URL" stands for the file's URL; empty: success
};

TEST_F(UpdateCheck, DownloadTable) {
  const std::string good = "2 13801 SITE/x";
  const DownloadCase cases[] = {
      {"ok", {.body = good}, L""},
      {"not_found", {.status = 404, .body = "no"}, L"File not found on the server (status 404) URL"},
      {"server_error", {.status = 500, .body = "no"}, L"Request failed with HTTP status 500 URL"},
      {"chunked", {.body = good, .chunked = true}, L"Cannot get file length, error = 12150"},
      {"empty", {.body = ""}, L"File is empty."},
      {"at_limit", {.body = std::string(10001, 'a')}, L"File is too big."},
      {"below_limit", {.body = std::string(10000, 'a')}, L""},
      {"short_body", {.body = good, .shortBy = 5}, L"File length mismatch."},
      {"redirect_served", {.status = 302, .location = "/served"}, L""},
      {"redirect_ftp", {.status = 302, .location = "ftp://127.0.0.1/x"}, L"Could not open URL URL"},
  };
  m_server.SetRoute("/served", {.body = good});
  int index = 0;
  for (const DownloadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = "/c" + std::to_string(index++) + "/";
    m_server.SetRoute(base + "13800/", c.route);
    CUpdateChecker checker(Site() + base);
    std::string body;
    const bool ok = checker.Download(body);
    std::wstring want = c.error;
    if (want.ends_with(L" URL")) want.replace(want.size() - 3, 3, Utf8ToWide(checker.Url()));
    EXPECT_EQ(ok, c.error.empty()) << WideToUtf8(checker.ErrorText());
    if (!c.error.empty()) {
      EXPECT_EQ(checker.ErrorText(), want);
      EXPECT_TRUE(body.empty());
    }
  }
  const std::vector<std::string> heads = m_server.Requests();
  ASSERT_FALSE(heads.empty());
  EXPECT_NE(heads[0].find("Cache-Control: no-cache"), std::string::npos);
  EXPECT_EQ(heads[0].find("Accept-Encoding"), std::string::npos);
}

TEST_F(UpdateCheck, TheBodyEndsAtItsFirstNul) {
  testsupport::SHttpRoute route;
  route.body = std::string("2 13801 ") + Site() + "/x" + std::string(1, '\0') + "junk";
  m_server.SetRoute("/n/13800/", route);
  CUpdateChecker checker(Site() + "/n/");
  ASSERT_TRUE(checker.Check()) << WideToUtf8(checker.ErrorText());
  EXPECT_EQ(GetUpdateState().url, Site() + "/x");
}

TEST_F(UpdateCheck, AnUnknownCaIsRefused) {
  testsupport::CTestCa ca("unknown root");
  const testsupport::SIssued leaf = ca.IssueLeaf({.commonName = "127.0.0.1", .ipAddresses = {"127.0.0.1"}});
  testsupport::CHttpServer tls({.certificatePem = leaf.certificatePem, .keyPem = leaf.keyPem,
                                .body = "2 13801 " + Site() + "/x"});
  CUpdateChecker checker(tls.Origin() + "/v/");
  std::string body;
  EXPECT_FALSE(checker.Download(body));
  EXPECT_FALSE(checker.ErrorText().empty());
  EXPECT_EQ(checker.ErrorText().back(), L'.');
}

TEST_F(UpdateCheck, TogglingDuringADelayedReplyStartsOneCheckAndWritesTheTimeTwice) {
  platform::FakeClock clock(1'000'000, 1'800'000'000);
  platform::SetClockSourceForTesting(&clock);
  testsupport::SHttpRoute route;
  route.body = "2 13800 " + Site() + "/x";
  route.delayMs = 500;
  m_server.SetRoute("/last_versions/windows/13800/", route);
  theApp.StartUpdateCheck(true);
  EXPECT_EQ(platform::GetProfileString(L"Settings", L"LastUpdateCheck", L""), L"1800000000");
  theApp.StartUpdateCheck(false);
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"UpdateCheck", 1), 0);
  clock.StepWallSeconds(60);
  theApp.StartUpdateCheck(true);
  EXPECT_EQ(platform::GetProfileString(L"Settings", L"LastUpdateCheck", L""), L"1800000060");
  for (int i = 0; i < 500 && g_bUpdateCheckRunning; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(g_bUpdateCheckRunning);
  EXPECT_EQ(m_server.Requests().size(), 1u);
  platform::SetClockSourceForTesting(nullptr);
}

// The notice, with the window's side scripted.
class CNoticeScript : public CUpdateNoticeSink {
 public:
  void ShowUnsupported(const std::wstring& text) override { events.push_back(L"box:" + text); }
  bool AskOpenDownload(const std::wstring&, const std::wstring& checkBox, bool& ticked) override {
    events.push_back(L"ask:" + checkBox);
    ticked = tick;
    return yes;
  }
  void OpenUrl(const std::string& url) override { events.push_back(L"open:" + Utf8ToWide(url)); }
  void DisableUpdateCheck() override { events.push_back(L"disable"); }
  void Quit() override { events.push_back(L"quit"); }
  bool yes = false, tick = false;
  std::vector<std::wstring> events;
};

TEST_F(UpdateCheck, NoticeTable) {
  const std::wstring box = L"box:This version of software is out of date and no longer supported. Please update at u";
  const std::wstring ask = L"ask:Disable product updates check";
  struct Case {
    const char* name;
    SUpdateState state;
    bool yes, tick;
    std::vector<std::wstring> events;
  } cases[] = {
      {"marker_1_runs_on", {"u", false, true, true}, false, false, {box, L"open:u"}},
      {"marker_2_opens_then_quits", {"u", false, true, false}, false, false, {box, L"open:u", L"quit"}},
      {"update_yes", {"u", true, false, true}, true, false, {ask, L"open:u"}},
      {"update_no_ticked", {"u", true, false, true}, false, true, {ask, L"disable"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CNoticeScript script;
    script.yes = c.yes;
    script.tick = c.tick;
    ShowUpdateNotice(c.state, script);
    EXPECT_EQ(script.events, c.events);
  }
}

TEST_F(UpdateCheck, AFailedMarkerTwoCheckThenAnUpdateDoesNotQuit) {
  testsupport::SHttpRoute route;
  route.body = "2 2 https://other.example/x";
  m_server.SetRoute("/a/13800/", route);
  route.body = "2 13801 " + Site() + "/new";
  m_server.SetRoute("/b/13800/", route);
  int sends = 0;
  SetUpdateResultSend([&] { ++sends; return false; });
  UpdateCheckThread(Site() + "/a/");
  EXPECT_EQ(sends, 0);
  UpdateCheckThread(Site() + "/b/");
  EXPECT_EQ(sends, 1);
  CNoticeScript script;
  ShowUpdateNotice(GetUpdateState(), script);
  EXPECT_EQ(script.events, (std::vector<std::wstring>{L"ask:Disable product updates check"}));
}

}  // namespace
