// The first-start wizard offscreen, driven through its widgets: its stages,
// a check result through the message registry, and the starts that change
// the running configuration.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "Quorvane/config/hooks.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/ui/start_wizard_dlg.h"
#include "tests/app/app_fixture.h"
#include "tests/support/temp_folder.h"
#include "tests/ui/ui_support.h"

namespace {

using testsupport::CScriptedPrompt;
using uitest::Pump;
using uitest::Save;

// The checker faked: starts are counted and every result is taken.
struct FakeCheck {
  int starts = 0, stops = 0;
  SStartWizardHooks Hooks() {
    SStartWizardHooks hooks;
    hooks.model.hasConfiguration = [] { return false; };
    hooks.model.startCheck = [this](const CDnsServer&) { ++starts; };
    hooks.model.stopCheck = [this] { ++stops; };
    hooks.model.takeResult = [](SServerCheckResult*) { return true; };
    hooks.model.useServer = [](const CDnsServer&) {};
    return hooks;
  }
};

void PostResult(platform::HWND window, bool ok, int rttMs) {
  auto* result = new SServerCheckResult;
  result->ok = ok;
  result->rttMs = rttMs;
  if (!platform::PostWindowMessage(window, WM_DNSCHECK_RESULT, reinterpret_cast<uintptr_t>(result), 0)) delete result;
}

TEST(StartWizardDlg, ThreeStagesAndALateResultAfterBack) {
  FakeCheck check;
  CStartWizardDlg dialog(nullptr, check.Hooks());
  dialog.show();
  ASSERT_TRUE(Pump([&] { return dialog.isVisible(); }));
  EXPECT_EQ(dialog.StageText()->text(), "Which configuration you would like to start with?");
  EXPECT_FALSE(dialog.BackButton()->isEnabled());
  Save(dialog, "start_wizard_stage1.png");

  dialog.Choice(1)->setChecked(true);
  dialog.NextButton()->click();
  EXPECT_EQ(check.starts, 1);
  EXPECT_EQ(dialog.StageText()->text(), "Checking the server...");
  EXPECT_FALSE(dialog.NextButton()->isEnabled());
  PostResult(dialog.Handle(), true, 42);
  ASSERT_TRUE(Pump([&] { return dialog.NextButton()->isEnabled(); }));
  EXPECT_EQ(dialog.StageText()->text(), "Checking the server...done!");
  EXPECT_EQ(dialog.ResultText()->text(),
            "Google DoH works properly and it is ready to be used by Tarnwick!\n\nRTT = 42 ms");
  Save(dialog, "start_wizard_stage3.png");

  // Back stops the check; a result arriving after it is freed unread.
  dialog.BackButton()->click();
  EXPECT_EQ(check.stops, 2) << "one before the start, one for Back";
  EXPECT_TRUE(dialog.Choice(1)->isVisible());
  EXPECT_TRUE(dialog.NextButton()->isEnabled());
  PostResult(dialog.Handle(), false, -1);
  for (int i = 0; i < 10; ++i) QApplication::processEvents();
  EXPECT_TRUE(dialog.NextButton()->isEnabled()) << "a late failure leaves stage 1 alone";
  EXPECT_EQ(dialog.Model().stage, 1);
}

TEST(StartWizardDlg, NextDnsOptionsAndTheSignUpLink) {
  FakeCheck check;
  SStartWizardHooks hooks = check.Hooks();
  std::string opened;
  hooks.openUrl = [&](const std::string& url) { opened = url; };
  CStartWizardDlg dialog(nullptr, hooks);
  dialog.show();
  ASSERT_TRUE(Pump([&] { return dialog.isVisible(); }));
  dialog.Choice(3)->setChecked(true);
  dialog.NextButton()->click();
  EXPECT_EQ(dialog.StageText()->text(), "Please specify NextDNS options.");
  EXPECT_TRUE(dialog.ConfigurationId()->isVisible());
  Save(dialog, "start_wizard_stage2.png");

  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  dialog.NextButton()->click();
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].text, L"Please specify NextDNS Configuration ID.");
  EXPECT_EQ(prompt.boxes[0].caption, L"First Start Wizard");
  EXPECT_EQ(prompt.boxes[0].type, MB_ICONEXCLAMATION);
  EXPECT_EQ(dialog.Model().stage, 2);

  dialog.UseCurrent()->setChecked(true);
  EXPECT_FALSE(dialog.DeviceName()->isEnabled());
  emit dialog.SignUpLink()->linkActivated(CStartWizardDlg::kSignUpUrl);
  EXPECT_EQ(opened, CStartWizardDlg::kSignUpUrl);
  dialog.ConfigurationId()->setText("abc123");
  dialog.NextButton()->click();
  EXPECT_EQ(check.starts, 1);
  EXPECT_EQ(dialog.Model().server.nextdns_id, "abc123");
  EXPECT_TRUE(dialog.Model().server.nextdns_devname_auto);
}

// Records what the configuration tells the engine.
class CRecordingEngine : public CConfigEngineHooks {
 public:
  CRecordingEngine() { SetConfigEngineHooks(this); }
  ~CRecordingEngine() override { SetConfigEngineHooks(nullptr); }
  void OnServerChange(int kind, const CDnsServer& server, const CDnsServer&, bool) override {
    changes.emplace_back(kind, server.id);
  }
  std::vector<std::pair<int, uint32_t>> changes;
};

// A running configuration with one server the Default rule uses, saved in
// a folder of the test's own.
struct RunningConfiguration {
  testsupport::TempFolder folder;
  CDnsServer server;
  RunningConfiguration() {
    CProfile profile;
    profile.ResetToDefault();
    server.id = 1500;
    server.name = L"Existing";
    server.protocol = EDnsProtocol::Plain;
    server.family = AF_INET;
    server.address = {127, 0, 0, 1};
    server.addressKnown = true;
    server.port = 53;
    profile.servers = {server};
    profile.rules.back().action = ERuleAction::ProcessServer;
    profile.rules.back().action_id = server.id;
    profile.settings.clearDnsCache = false;
    CProfile::SetRunning(profile);
    g_Configuration.path = Utf8ToWide((folder.Path() / "Configuration.xml").string());
  }
  ~RunningConfiguration() {
    CProfile fresh;
    fresh.ResetToDefault();
    CProfile::SetRunning(fresh);
    g_Configuration.path.clear();
  }
};

TEST(StartWizardDlg, AnEmptyStartTellsTheEngineSavesAndRestartsMonitoring) {
  RunningConfiguration running;
  CRecordingEngine engine;
  SStartWizardHooks hooks;
  int restarts = 0;
  hooks.restartMonitoring = [&](const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools) {
    EXPECT_TRUE(servers.empty());
    EXPECT_TRUE(pools.empty());
    ++restarts;
  };
  CStartWizardDlg dialog(nullptr, hooks);
  dialog.show();
  ASSERT_TRUE(Pump([&] { return dialog.isVisible(); }));
  CScriptedPrompt prompt;
  prompt.Answer(IDYES);  // overwrite
  prompt.Answer(IDOK);
  dialog.Choice(0)->setChecked(true);
  dialog.NextButton()->click();
  ASSERT_EQ(prompt.boxes.size(), 2u);
  EXPECT_EQ(prompt.boxes[0].text, L"Your current configuration will be overwritten.\r\nContinue?");
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(engine.changes, (std::vector<std::pair<int, uint32_t>>{{kServerChangeRemoved, 1500}}));
  EXPECT_TRUE(g_Configuration.IsDefault());
  EXPECT_EQ(restarts, 1);
  EXPECT_NE(testsupport::ReadBytes(running.folder.Path() / "Configuration.xml").find("<"), std::string::npos);
}

TEST(StartWizardDlg, ImportingADuplicatePointsDefaultAtTheExistingServer) {
  RunningConfiguration running;
  CProfile::SetRules({[] {
    CRule rule;
    rule.InitDefault();
    return rule;
  }()});
  SStartWizardHooks hooks;
  hooks.model.hasConfiguration = [] { return false; };
  CDnsServer duplicate = running.server;
  duplicate.id = 1600;
  duplicate.name = L"Imported";
  hooks.importDialog = [&](QWidget*) { return std::optional<std::vector<CDnsServer>>({duplicate}); };
  CStartWizardDlg dialog(nullptr, hooks);
  dialog.show();
  ASSERT_TRUE(Pump([&] { return dialog.isVisible(); }));
  CScriptedPrompt prompt;
  prompt.Answer(IDYES);
  prompt.Answer(IDOK);
  dialog.Choice(4)->setChecked(true);
  dialog.NextButton()->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  std::vector<CRule> rules;
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  CProfile::GetRulesServersAndPools(rules, servers, pools);
  ASSERT_EQ(servers.size(), 1u) << "the duplicate is skipped";
  EXPECT_EQ(rules.back().action, ERuleAction::ProcessServer);
  EXPECT_EQ(rules.back().action_id, 1500u);
  CProfile loaded;
  std::wstring error;
  bool openFailed = false, checkVersion = false;
  EXPECT_TRUE(loaded.Load(error, openFailed, checkVersion, g_Configuration.path)) << WideToUtf8(error);
}

}  // namespace
