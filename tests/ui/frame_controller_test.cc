// The main window's logic without a window: the close decision, the combos
// and the status line, server state and check results, pool monitoring on a
// fake clock, New, the dialog guard, closing during a dialog, an import
// refused during a dialog, and the blocking send.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <thread>

#include "Quorvane/app/instance_channel.h"
#include "Quorvane/app/service_mode.h"
#include "Quorvane/app/update_checker.h"
#include "Quorvane/config/hooks.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/ui/main_frame_controller.h"
#include "tests/app/app_fixture.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/config_records.h"
#include "tests/support/http_server.h"
#include "tests/support/log_capture.h"
#include "tests/ui/check_engine_double.h"

namespace {

using uitest::CRecordingCheckEngine;

using testsupport::MakePool;
using testsupport::MakeServer;

class CRecordingHooks : public CConfigEngineHooks {
 public:
  CRecordingHooks() { SetConfigEngineHooks(this); }
  ~CRecordingHooks() override { SetConfigEngineHooks(nullptr); }
  void OnServerChange(int kind, const CDnsServer& server, const CDnsServer& relay, bool) override {
    // The lists must still be the old ones while the engine drops state.
    changes.push_back({kind, server.id, relay.id, g_Configuration.Servers().size()});
  }
  struct SChange {
    int kind;
    uint32_t serverId, relayId;
    size_t runningServers;
  };
  std::vector<SChange> changes;
};

// Dialogs whose answer a test scripts; during gives the dialog's loop a
// body (a nested command, a close, a second copy's import).
class CScriptedDialogs : public CFrameDialogs {
 public:
  bool RunServerList(std::vector<CDnsServer>& servers, std::vector<CDnsPool>&, const std::vector<CRule>&) override {
    ++serverListRuns;
    open = true;
    if (edit) edit(servers);
    if (during) during();
    open = false;
    return answer;
  }
  platform::HWND ServerListWindow() const override { return open ? window : 0; }
  bool RunRules(std::vector<CRule>&, const std::vector<CDnsServer>&, const std::vector<CDnsPool>&, bool&) override {
    ++rulesRuns;
    return answer;
  }
  void RunAdvanced() override {}
  void RunWizard() override {}
  void RunAbout() override { ++aboutRuns; }

  bool answer = false;
  bool open = false;
  platform::HWND window = 0;
  std::function<void(std::vector<CDnsServer>&)> edit;
  std::function<void()> during;
  int serverListRuns = 0, rulesRuns = 0, aboutRuns = 0;
};

// A window on a worker thread that runs sent calls until told to stop or
// to drop them (its loop gone).
class CThreadWindow {
 public:
  enum class EEnd { Unregister, DropLoop };
  explicit CThreadWindow(std::function<intptr_t(const platform::SWindowMessage&)> handler) {
    m_thread = std::thread([this, handler] {
      m_handle = platform::RegisterWindow(
          [](const platform::SWindowMessage&) {}, handler, [this](std::function<void()> call) {
            std::lock_guard lock(m_mutex);
            if (m_dropped) return false;
            m_calls.push_back(std::move(call));
            return true;
          });
      for (;;) {
        std::function<void()> call;
        {
          std::lock_guard lock(m_mutex);
          if (m_end) break;
          if (m_running && !m_calls.empty()) {
            call = std::move(m_calls.front());
            m_calls.pop_front();
          }
        }
        if (call) call();
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::deque<std::function<void()>> dropped;
      {
        std::lock_guard lock(m_mutex);
        if (*m_end == EEnd::DropLoop) {
          m_dropped = true;
          dropped.swap(m_calls);
        }
      }
      dropped.clear();  // the loop's events die with it
      if (*m_end == EEnd::Unregister) platform::UnregisterWindow(m_handle);
    });
    testsupport::WaitUntil([&]() -> bool { return m_handle; }, testsupport::kDefaultWaitLimit, std::chrono::milliseconds(1));
  }
  ~CThreadWindow() {
    End(EEnd::Unregister);
    if (m_thread.joinable()) m_thread.join();
    platform::UnregisterWindow(m_handle);
  }
  void SetRunning(bool running) {
    std::lock_guard lock(m_mutex);
    m_running = running;
  }
  void End(EEnd how) {
    std::lock_guard lock(m_mutex);
    if (!m_end) m_end = how;
  }
  bool HasQueuedCall() {
    std::lock_guard lock(m_mutex);
    return !m_calls.empty();
  }
  platform::HWND Handle() const { return m_handle; }

 private:
  std::mutex m_mutex;
  std::deque<std::function<void()>> m_calls;
  std::optional<EEnd> m_end;
  bool m_running = true;
  bool m_dropped = false;
  std::atomic<platform::HWND> m_handle{0};
  std::thread m_thread;
};

class FrameController : public testsupport::AppTest {
 protected:
  FrameController() {
    platform::SetClockSourceForTesting(&m_clock);
    g_Configuration.path = (Folder() / "conf.xml").wstring();
    // Saves would flush the machine's DNS cache on a thread of their own.
    g_Configuration.settings.clearDnsCache = false;
    m_testsPerTime = g_Configuration.checkerSettings.testsPerTime;
  }
  ~FrameController() override {
    m_frame.reset();
    g_Configuration.checkerSettings.testsPerTime = m_testsPerTime;
    platform::SetClockSourceForTesting(nullptr);
    for (const auto& message : m_window.TakeAll())
      if (message.message == WM_DNSCHECK_RESULT) delete reinterpret_cast<SServerCheckResult*>(message.wParam);
  }

  CMainFrameController& Frame() {
    if (!m_frame) {
      CMainFrameController::SSeams seams;
      seams.dialogs = &m_dialogs;
      seams.checkEngine = &m_engine;
      seams.resultSeen = [this] { return m_resultSeen; };
      seams.destroy = [this] { ++m_destroyed; };
      seams.handle = m_window.Handle();
      seams.service = true;
      m_frame = std::make_unique<CMainFrameController>(std::move(seams));
    }
    return *m_frame;
  }

  void SetRunning(std::vector<CDnsServer> servers, std::vector<CDnsPool> pools = {}) {
    CProfile::ChangeRunningLists([&](std::vector<CDnsServer>& s, std::vector<CDnsPool>& p, auto&) {
      s = std::move(servers);
      p = std::move(pools);
    });
  }

  EServerStatus StatusOf(uint32_t id) {
    std::vector<CDnsServer> servers;
    CProfile::GetServers(servers);
    for (const CDnsServer& s : servers)
      if (s.id == id) return s.status;
    return EServerStatus::Unknown;
  }

  // Hands every posted result to the frame as its message handler does.
  void PumpResults() {
    for (const auto& message : m_window.TakeAll()) Frame().OnMessage(message);
  }

  platform::FakeClock m_clock;
  testsupport::LogCapture m_log{LogVerbose};
  platform::CMessageQueueWindow m_window;
  CRecordingCheckEngine m_engine;
  CScriptedDialogs m_dialogs;
  bool m_resultSeen = false;
  int m_destroyed = 0;
  int32_t m_testsPerTime = 15;
  std::unique_ptr<CMainFrameController> m_frame;
};

TEST(CloseDecision, TrayBalloonAndServiceMode) {
  struct Case {
    const char* name;
    bool tray, balloonShown, service;
    SCloseDecision want;
  } cases[] = {
      {"tray_first_close_shows_balloon", true, false, false, {true, true, false, false}},
      {"tray_later_close_only_hides", true, true, false, {true, false, false, false}},
      {"no_tray_stores_and_ends", false, false, false, {false, false, true, true}},
      {"no_tray_balloon_irrelevant", false, true, false, {false, false, true, true}},
      {"service_ends_without_placement", false, false, true, {false, false, false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SCloseDecision got = DecideClose(c.tray, c.balloonShown, c.service);
    EXPECT_EQ(got.hide, c.want.hide);
    EXPECT_EQ(got.showBalloon, c.want.showBalloon);
    EXPECT_EQ(got.storePlacement, c.want.storePlacement);
    EXPECT_EQ(got.destroy, c.want.destroy);
  }
}

TEST(LogLevelCombos, IndexesAndLevels) {
  struct Case {
    int level, screenIndex, fileIndex;
  } cases[] = {{0, 0, 0}, {1, 0, 1}, {2, 1, 2}, {4, 3, 4}, {5, 3, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    EXPECT_EQ(ScreenComboIndex(c.level), c.screenIndex);
    EXPECT_EQ(FileComboIndex(c.level), c.fileIndex);
  }
  EXPECT_EQ(ScreenLevelOfIndex(0), 1);
  EXPECT_EQ(ScreenLevelOfIndex(3), 4);
  EXPECT_EQ(FileLevelOfIndex(0), 0);  // file logging off
  EXPECT_EQ(FileLevelOfIndex(4), 4);
}

TEST(StatusText, CountAndAboutLink) {
  EXPECT_EQ(StatusText(0), L"Resolves processed: 0         <a href=\"about:\">Tarnwick 1.38</a>");
  EXPECT_EQ(StatusText(18446744073709551615ull),
            L"Resolves processed: 18446744073709551615         <a href=\"about:\">Tarnwick 1.38</a>");
}

TEST_F(FrameController, ServerStateLogsOnlyChangesAndRecoveryRestartsMonitoring) {
  SetRunning({MakeServer(1, L"Alpha"), MakeServer(2, L"Beta"), MakeServer(3, L"Solo")},
             {MakePool(10, L"Pool", EPoolType::Redundancy, {1, 2})});
  constexpr intptr_t kFail = 0x10000, kOk = 0x10001;
  Frame();
  m_log.Take();
  struct Step {
    const char* name;
    uint32_t id;
    intptr_t lParam;
    std::vector<std::wstring> logged;
    EServerStatus after;
  } steps[] = {
      {"pool_fail", 1, kFail, {L"Server fail: Alpha. Recheck scheduled."}, EServerStatus::Failed},
      {"repeated_fail_logs_nothing", 1, kFail, {}, EServerStatus::Failed},
      {"pool_recovery", 1, kOk, {L"Server recovery: Alpha. Rechecking now."}, EServerStatus::Unknown},
      {"success_when_unknown_logs_nothing", 1, kOk, {}, EServerStatus::Unknown},
      {"plain_fail", 3, 0, {L"Server fail: Solo"}, EServerStatus::Failed},
      {"plain_recovery", 3, 1, {L"Server recovery: Solo"}, EServerStatus::Unknown},
      {"unknown_server", 99, kFail, {}, EServerStatus::Unknown},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(Frame().OnMessage({WM_SERVER_STATE, s.id, s.lParam}), 0);
    EXPECT_EQ(m_log.TakeTexts(), s.logged);
    EXPECT_EQ(StatusOf(s.id), s.after);
    if (std::string(s.name) == "pool_recovery") {
      EXPECT_TRUE(Frame().PoolMonitoringStarted());
      EXPECT_EQ(Frame().Checker().m_checks.size(), 2u);
    }
  }
}

TEST_F(FrameController, AFailedPoolServerGetsItsEarlyRecheckOnce) {
  SetRunning({MakeServer(1, L"Alpha"), MakeServer(2, L"Beta")},
             {MakePool(10, L"Pool", EPoolType::Redundancy, {1, 2})});
  Frame().RestartPoolMonitoring(g_Configuration.Servers(), g_Configuration.Pools());
  const int64_t first = platform::WallTime() + 3;
  Frame().OnServerState(1, 0x10000);
  m_clock.StepWallSeconds(1);
  Frame().OnServerState(1, 0x10001);  // back, then failing again
  for (SServerCheck& check : Frame().Checker().m_checks)
    if (check.server.id == 1) check.nextCheckTime = first;  // restart refilled; keep the first schedule
  Frame().OnServerState(1, 0x10000);
  for (const SServerCheck& check : Frame().Checker().m_checks) {
    SCOPED_TRACE(check.server.id);
    EXPECT_EQ(check.nextCheckTime, check.server.id == 1 ? first : 0);
  }
}

TEST_F(FrameController, ARelayPoolIsMonitoredThroughItsFirstDnsCryptServer) {
  const std::vector<CDnsServer> servers = {
      MakeServer(1, L"Plain", EDnsProtocol::Plain),  MakeServer(2, L"Crypt A", EDnsProtocol::DnsCrypt),
      MakeServer(3, L"Crypt B", EDnsProtocol::DnsCrypt), MakeServer(4, L"Relay 1", EDnsProtocol::Relay),
      MakeServer(5, L"Relay 2", EDnsProtocol::Relay),  MakeServer(6, L"Other", EDnsProtocol::Plain)};
  const std::vector<CDnsPool> pools = {MakePool(10, L"Relayed", EPoolType::Redundancy, {1, 2, 3}, {4, 5}),
                                       MakePool(11, L"Plain pool", EPoolType::Redundancy, {6}),
                                       MakePool(12, L"Not redundancy", EPoolType(0), {1})};
  Frame().RestartPoolMonitoring(servers, pools);
  std::vector<std::pair<uint32_t, uint32_t>> entries;
  for (const SServerCheck& check : Frame().Checker().m_checks)
    entries.emplace_back(check.server.id, check.dnsCryptServer.id);
  const std::vector<std::pair<uint32_t, uint32_t>> want = {{4, 2}, {5, 2}, {6, 0}};
  EXPECT_EQ(entries, want);
}

TEST_F(FrameController, MonitoringWaitsForTheBridgesFirstResult) {
  SetRunning({MakeServer(1, L"Alpha")}, {MakePool(10, L"Pool", EPoolType::Redundancy, {1})});
  for (int i = 0; i < 3; ++i) Frame().OnTimer(kTimerMonitoring);
  EXPECT_FALSE(Frame().PoolMonitoringStarted());
  EXPECT_TRUE(m_engine.sent.empty());
  m_resultSeen = true;
  Frame().OnTimer(kTimerMonitoring);
  EXPECT_TRUE(Frame().PoolMonitoringStarted());
  EXPECT_EQ(m_engine.sent.size(), 1u);
}

TEST_F(FrameController, SixteenEntriesAreRecheckedEverySecond) {
  g_Configuration.checkerSettings.testsPerTime = 15;
  std::vector<CDnsServer> servers;
  std::vector<uint32_t> ids;
  for (uint32_t id = 1; id <= 16; ++id) {
    servers.push_back(MakeServer(id, L"S"));
    ids.push_back(id);
  }
  CDnsPool pool = MakePool(100, L"Pool", EPoolType::Redundancy, ids);
  pool.recheckDelaySec = 1;
  SetRunning(servers, {pool});
  Frame().RestartPoolMonitoring(servers, {pool});
  // Every test answers at once; the checker's own result chain sends on
  // until nothing is due, then the timer starts the next round.
  for (int round = 0; round < 4; ++round) {
    size_t tested = 0;
    for (int i = 0; i < 20 && !m_engine.sent.empty(); ++i) {
      const std::vector<SServerCheck> sent = std::move(m_engine.sent);
      m_engine.sent.clear();
      tested += sent.size();
      for (const SServerCheck& check : sent)
        PostCheckResult(m_window.Handle(), check.server, std::nullopt, true, check.sequence, L"", false);
      PumpResults();
    }
    // A warm-up and a measured test for each entry (the timer clears warmedUp).
    EXPECT_EQ(tested, 32u) << "round " << round;
    m_clock.AdvanceMs(2100);
    m_clock.StepWallSeconds(2);
    Frame().OnTimer(kTimerMonitoring);
  }
}

TEST_F(FrameController, NewDropsEngineStateBeforeReplacingTheLists) {
  testsupport::CScriptedPrompt prompt;
  CRecordingHooks hooks;
  g_Configuration.path = (Folder() / "kept.xml").wstring();
  SetRunning({MakeServer(1, L"Alpha"), MakeServer(2, L"Beta")});
  prompt.Answer(IDNO);
  Frame().OnCommand(ID_FILE_NEW);
  EXPECT_TRUE(hooks.changes.empty());
  EXPECT_EQ(g_Configuration.Servers().size(), 2u);

  prompt.Answer(IDYES);
  Frame().OnCommand(ID_FILE_NEW);
  ASSERT_EQ(hooks.changes.size(), 2u);
  for (const auto& change : hooks.changes) EXPECT_EQ(change.runningServers, 2u);
  EXPECT_TRUE(g_Configuration.IsDefault());
  EXPECT_EQ(g_Configuration.path, (Folder() / "kept.xml").wstring());
  EXPECT_TRUE(std::filesystem::exists(Folder() / "kept.xml"));
  EXPECT_TRUE(Frame().PoolMonitoringStarted());
  EXPECT_EQ(prompt.boxes.back().type, MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2);
}

TEST_F(FrameController, ASecondDnsServersCommandDuringTheDialogDoesNothing) {
  testsupport::CScriptedPrompt prompt;
  g_Configuration.path = (Folder() / "conf.xml").wstring();
  m_dialogs.during = [this] {
    Frame().OnCommand(ID_DNS_SERVERS);
    Frame().OnCommand(ID_RULES);
  };
  Frame().OnCommand(ID_DNS_SERVERS);
  EXPECT_EQ(m_dialogs.serverListRuns, 1);
  EXPECT_EQ(m_dialogs.rulesRuns, 0);
  m_dialogs.during = nullptr;
  Frame().OnCommand(ID_RULES);
  EXPECT_EQ(m_dialogs.rulesRuns, 1);
}

TEST_F(FrameController, CancelStillOffersTheOnlyServerAsDefault) {
  testsupport::CScriptedPrompt prompt;
  g_Configuration.path = (Folder() / "conf.xml").wstring();
  SetRunning({MakeServer(7, L"Only")});
  prompt.Answer(IDYES);
  Frame().OnCommand(ID_DNS_SERVERS);
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].text,
            L"You do not have any DNS servers assigned to the resolve rules.\r\nWould you like to set server Only as "
            L"the default for all queries?");
  std::vector<CRule> rules;
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  CProfile::GetRulesServersAndPools(rules, servers, pools);
  EXPECT_EQ(rules.front().action, ERuleAction::ProcessServer);
  EXPECT_EQ(rules.front().action_id, 7u);
  EXPECT_TRUE(std::filesystem::exists(Folder() / "conf.xml"));
}

TEST_F(FrameController, ExitDuringADialogEndsItAsCancelAndTheFrameGoesAfterTheHandler) {
  testsupport::CScriptedPrompt prompt;  // no box may be asked after the exit
  SetRunning({MakeServer(7, L"Only")});
  m_dialogs.answer = true;
  m_dialogs.during = [this] {
    Frame().OnMessage({WM_ACTIVATE_INSTANCE, 1, 0});  // a second copy's force exit
    EXPECT_EQ(m_destroyed, 0) << "torn down under the running dialog";
    EXPECT_TRUE(Frame().IsClosePending());
  };
  m_dialogs.edit = [](std::vector<CDnsServer>& servers) { servers.clear(); };
  Frame().OnCommand(ID_DNS_SERVERS);
  EXPECT_EQ(m_destroyed, 1);
  EXPECT_EQ(g_Configuration.Servers().size(), 1u) << "a dialog ended by the exit must not apply its edits";
  Frame().OnCommand(ID_DNS_SERVERS);
  EXPECT_EQ(m_dialogs.serverListRuns, 1);
}

TEST_F(FrameController, AnImportDuringADialogIsRefused) {
  testsupport::CScriptedPrompt prompt;
  const std::wstring path = (Folder() / "other.xml").wstring();
  int64_t answer = -1;
  m_dialogs.during = [&] {
    answer = Frame().OnCopyData(COPYDATA_LOAD_CONFIG_SILENT, EncodeCopyDataPath(path));
  };
  m_log.Take();
  Frame().OnCommand(ID_DNS_SERVERS);
  EXPECT_EQ(answer, 0);
  const auto lines = m_log.Take();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().text, L"Configuration import refused while a dialog is open: " + path);
  EXPECT_TRUE(lines.front().error);
  // Outside a dialog the same request reaches the import (a missing file fails it).
  m_log.Take();
  EXPECT_EQ(Frame().OnCopyData(COPYDATA_LOAD_CONFIG_SILENT, EncodeCopyDataPath(path)), 0);
  EXPECT_NE(m_log.TakeTexts().front().find(L"Could not load conf-file"), std::wstring::npos);
  EXPECT_EQ(Frame().OnCopyData(1913, EncodeCopyDataPath(path)), 0);
  EXPECT_EQ(Frame().OnCopyData(COPYDATA_LOAD_CONFIG_SILENT, std::vector<uint8_t>(520, 'a')), 0);
}

TEST_F(FrameController, CheckResultsAreForwardedOnlyWhileTheServerListRuns) {
  SetRunning({MakeServer(1, L"Alpha")});
  std::atomic<int> forwarded{0};
  // The list's window answers sends on a thread of its own.
  CThreadWindow listWindow([&](const platform::SWindowMessage& m) {
    EXPECT_EQ(m.lParam, 1);
    ++forwarded;
    return intptr_t(1);
  });
  m_dialogs.window = listWindow.Handle();

  auto result = [](uint32_t id, bool ok) {
    auto* r = new SServerCheckResult;
    r->serverId = id;
    r->ok = ok;
    r->rttMs = 12;
    return r;
  };
  EXPECT_TRUE(Frame().OnServerCheckResult(result(1, true)));
  EXPECT_EQ(StatusOf(1), EServerStatus::Ok);
  EXPECT_EQ(forwarded, 0);
  m_dialogs.during = [&] { EXPECT_TRUE(Frame().OnServerCheckResult(result(1, false))); };
  testsupport::CScriptedPrompt prompt;
  prompt.Answer(IDNO);
  Frame().OnCommand(ID_DNS_SERVERS);
  EXPECT_EQ(forwarded, 1);
  EXPECT_EQ(StatusOf(1), EServerStatus::Failed);
  EXPECT_FALSE(Frame().OnServerCheckResult(result(42, true)));  // vanished: freed, ignored
}

// The update notice through the frame: the check thread's blocking send,
// the frame's boxes and shell, and its stop road.
class UpdateNotice : public testsupport::AppTest {
 protected:
  UpdateNotice() {
    ResetUpdateStateForTesting();
    SetUpdateSiteForTesting(m_web.Origin());
    platform::WriteProfileInt(L"Settings", L"UpdateCheck", 1);
  }
  ~UpdateNotice() override {
    m_frame.reset();
    SetUpdateSiteForTesting("");
    ResetUpdateStateForTesting();
  }

  // A frame whose window runs on its own thread, as the Qt one does.
  CMainFrameController& Frame(bool service) {
    m_window = std::make_unique<CThreadWindow>([this](const platform::SWindowMessage& m) {
      return m_frame ? m_frame->OnMessage(m) : 0;
    });
    CMainFrameController::SSeams seams;
    seams.dialogs = &m_dialogs;
    seams.checkEngine = &m_engine;
    seams.destroy = [this] { ++m_destroyed; };
    seams.handle = m_window->Handle();
    seams.service = service;
    seams.askWithCheckBox = [this](const std::wstring& text, const std::wstring& checkBox, bool& ticked) {
      m_events.push_back(L"ask:" + checkBox);
      ticked = m_tick;
      (void)text;
      return m_yes;
    };
    seams.openUrl = [this](const std::string& url) { m_events.push_back(L"open:" + Utf8ToWide(url)); };
    m_frame = std::make_unique<CMainFrameController>(std::move(seams));
    return *m_frame;
  }
  // One check against a version file of the site.
  void Check(const std::string& versionFile) {
    testsupport::SHttpRoute route;
    route.body = versionFile;
    m_web.SetRoute("/v/13800/", route);
    UpdateCheckThread(m_web.Origin() + "/v/");
  }
  std::string Site() const { return m_web.Origin(); }

  testsupport::CHttpServer m_web;
  testsupport::CScriptedPrompt m_prompt;
  CRecordingCheckEngine m_engine;
  CScriptedDialogs m_dialogs;
  std::unique_ptr<CThreadWindow> m_window;
  std::unique_ptr<CMainFrameController> m_frame;
  std::vector<std::wstring> m_events;
  bool m_yes = false, m_tick = false;
  int m_destroyed = 0;
};

TEST_F(UpdateNotice, MarkerTwoOpensTheDownloadPageThenEndsTheProgram) {
  Frame(false);
  m_prompt.Answer(IDOK);
  Check("2 2 " + Site() + "/download\r\n");
  ASSERT_EQ(m_prompt.boxes.size(), 1u);
  EXPECT_EQ(m_prompt.boxes[0].caption, L"Tarnwick");
  EXPECT_EQ(m_prompt.boxes[0].text, L"This version of software is out of date and no longer supported. Please update at " +
                                        Utf8ToWide(Site()) + L"/download");
  EXPECT_EQ(m_events, std::vector<std::wstring>({L"open:" + Utf8ToWide(Site()) + L"/download"}));
  EXPECT_EQ(m_destroyed, 1);
}

TEST_F(UpdateNotice, MarkerOneRunsOnAndATickedBoxSwitchesTheCheckOff) {
  Frame(false);
  m_prompt.Answer(IDOK);
  Check("2 1 " + Site() + "/old");
  EXPECT_EQ(m_events, std::vector<std::wstring>({L"open:" + Utf8ToWide(Site()) + L"/old"}));
  EXPECT_EQ(m_destroyed, 0);
  m_events.clear();
  m_tick = true;
  Check("2 13801 " + Site() + "/new");
  EXPECT_EQ(m_events, std::vector<std::wstring>({L"ask:Disable product updates check"}));
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"UpdateCheck", 1), 0);
  EXPECT_FALSE(theApp.UpdateCheckEnabled());
  EXPECT_EQ(m_destroyed, 0);
}

// The boxes take the service's road (logged, answered No): no prompt.
TEST_F(UpdateNotice, InServiceModeNoBoxIsShownNothingOpensAndMarkerTwoStillEnds) {
  theApp.SetRunModeForTesting(RunModeService);
  Frame(true);
  Check("2 13801 " + Site() + "/new");
  EXPECT_TRUE(m_events.empty());
  EXPECT_EQ(m_destroyed, 0);
  Check("2 2 " + Site() + "/download");
  EXPECT_TRUE(m_events.empty());
  EXPECT_TRUE(m_prompt.boxes.empty());
  EXPECT_EQ(m_destroyed, 1);
}

TEST_F(UpdateNotice, ACheckAfterTheFrameHasGoneShowsNothingAndEnds) {
  Frame(false);
  m_window.reset();  // the window unregisters; the frame object still exists
  Check("2 2 " + Site() + "/download");
  EXPECT_TRUE(m_prompt.boxes.empty());
  EXPECT_TRUE(m_events.empty());
  EXPECT_EQ(m_destroyed, 0);
  EXPECT_FALSE(g_bUpdateCheckRunning);
}

TEST_F(UpdateNotice, APostedCommandRunsItAsTheMenuDoes) {
  Frame(false);
  EXPECT_TRUE(platform::SendWindowMessage(m_window->Handle(), WM_COMMAND, ID_APP_ABOUT, 0));
  EXPECT_EQ(m_dialogs.aboutRuns, 1);
}

TEST(BlockingSend, AnswersFromTheWindowsThreadAndFailsWhenTheWindowGoes) {
  const auto caller = std::this_thread::get_id();
  CThreadWindow window([caller](const platform::SWindowMessage& m) {
    EXPECT_NE(std::this_thread::get_id(), caller);
    return intptr_t(m.wParam * 2);
  });
  intptr_t result = 0;
  EXPECT_TRUE(platform::SendWindowMessage(window.Handle(), 0x483, 21, 1, &result));
  EXPECT_EQ(result, 42);

  for (auto how : {CThreadWindow::EEnd::Unregister, CThreadWindow::EEnd::DropLoop}) {
    SCOPED_TRACE(how == CThreadWindow::EEnd::Unregister ? "unregistered" : "loop gone");
    CThreadWindow held([](const platform::SWindowMessage&) { return intptr_t(1); });
    held.SetRunning(false);  // the sender waits for a window that never gets to it
    std::thread ender([&] {
      testsupport::WaitUntil([&]() -> bool { return held.HasQueuedCall(); }, std::chrono::milliseconds(2000), std::chrono::milliseconds(1));
      held.End(how);
    });
    result = -7;
    EXPECT_FALSE(platform::SendWindowMessage(held.Handle(), 0x483, 1, 1, &result));
    EXPECT_EQ(result, -7);
    ender.join();
  }
}

TEST(BlockingSend, OnTheWindowsOwnThreadItCallsDirectly) {
  const platform::HWND window = platform::RegisterWindow(
      [](const platform::SWindowMessage&) {}, [](const platform::SWindowMessage& m) { return intptr_t(m.lParam + 1); },
      [](std::function<void()>) { return false; });
  intptr_t result = 0;
  EXPECT_TRUE(platform::SendWindowMessage(window, 1, 0, 41, &result));
  EXPECT_EQ(result, 42);
  platform::UnregisterWindow(window);
  EXPECT_FALSE(platform::SendWindowMessage(window, 1, 0, 41, &result));
  // A window that takes only posts refuses sends.
  platform::CMessageQueueWindow queue;
  EXPECT_FALSE(platform::SendWindowMessage(queue.Handle(), 1, 0, 0));
  EXPECT_FALSE(platform::SendWindowMessage(0, 1, 0, 0));
}

}  // namespace
