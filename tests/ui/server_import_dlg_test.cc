// The import dialogs offscreen against scripted resolver lists on loopback:
// Import Settings' refusals and store, the import's load with its summary,
// marks, Check All through the checker, Import Marked, and a close while a
// list is still on its way.
#include "Quorvane/ui/server_import_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "Quorvane/app/message_box.h"
#include "Quorvane/config/profile.h"
#include "tests/support/config_records.h"
#include "tests/support/http_server.h"
#include "tests/ui/ui_support.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

struct SBox {
  std::wstring text, caption;
};

// Records every box and answers OK.
class CRecordingPrompt : public CPrompt {
 public:
  CRecordingPrompt() { SetPrompt(this); }
  ~CRecordingPrompt() override { SetPrompt(nullptr); }
  int Ask(const std::wstring& text, const std::wstring& caption, unsigned) override {
    boxes.push_back({text, caption});
    return IDOK;
  }
  std::vector<SBox> boxes;
};

// Every test is refused by the engine, so each check ends as a failure the
// checker posts itself.
class CRefusingEngine : public CServerCheckEngine {
 public:
  bool SendTestRequest(uint8_t*, uint32_t&, const SDnsMessageInfo&, const SServerCheck& check) override {
    sent.push_back(check.server.id);
    return false;
  }
  void OnServerChange(int, const CDnsServer&, const CDnsServer&, bool) override {}
  std::vector<uint32_t> sent;
};

// The running import settings and conf-file path, restored afterwards.
class CImportDialogs : public ::testing::Test {
 protected:
  CImportDialogs() : m_saved(g_Configuration.checkerSettings), m_savedPath(g_Configuration.path) {
    m_file = std::filesystem::temp_directory_path() / ("import_dlg_" + std::to_string(getpid()) + ".xml");
    g_Configuration.path = m_file.wstring();
  }
  ~CImportDialogs() override {
    g_Configuration.checkerSettings = m_saved;
    g_Configuration.path = m_savedPath;
    std::filesystem::remove(m_file);
  }

  static std::string Stamp(int last) {
    const std::string ip = "192.0.2." + std::to_string(last);
    std::string stamp, error;
    EXPECT_TRUE(testsupport::MakeServer(0, L"", EDnsProtocol::Plain, ip.c_str()).ToStamp(stamp, error)) << error;
    return stamp;
  }

  // Runs act on the next modal dialog once it is open.
  static void OnNextModal(std::function<void(QWidget*)> act) {
    auto* timer = new QTimer;
    auto rounds = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, rounds, act] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal && ++*rounds < 400) return;
      timer->stop();
      timer->deleteLater();
      if (modal) act(modal);
    });
    timer->start(5);
  }

  SDnsCheckerSettings m_saved;
  std::wstring m_savedPath;
  std::filesystem::path m_file;
  CRecordingPrompt m_prompt;
};

TEST_F(CImportDialogs, SettingsRefuseBadFieldsAndStoreGoodOnes) {
  g_Configuration.checkerSettings = {};
  CImportSettingsDlg dialog(false);
  dialog.show();
  EXPECT_EQ(dialog.OkButton()->text(), "OK");
  EXPECT_EQ(dialog.PerTime()->text(), "15");
  EXPECT_TRUE(dialog.Urls()->toPlainText().startsWith("https://brevant.example/"));
  struct Case {
    const char* urls;
    const char* host;
    const char* perTime;
    const wchar_t* refusal;
  } cases[] = {
      {" https://a.example/", "x.example", "5", L"The URL must start with http:// or https://"},
      {"\n\n", "x.example", "5", L"You did not specify any valid URLs for import."},
      {"https://a.example/", "bad_host", "5", L"Test domain contains incorrect symbols."},
      {"https://a.example/", "bad-host", "5", L"Test domain contains incorrect symbols."},
      {"https://a.example/", "x.example", "many", L"Incorrect number of servers per time."},
      {"https://a.example/", "x.example", "51", L"The number of servers per time should be between 1 and 50."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusal);
    dialog.Urls()->setPlainText(c.urls);
    dialog.TestHost()->setText(c.host);
    dialog.PerTime()->setText(c.perTime);
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
    ASSERT_EQ(m_prompt.boxes.size(), 1u);
    EXPECT_EQ(m_prompt.boxes[0].text, c.refusal);
    EXPECT_EQ(m_prompt.boxes[0].caption, L"Import Settings");
    EXPECT_TRUE(dialog.isVisible());
    m_prompt.boxes.clear();
  }
  EXPECT_FALSE(std::filesystem::exists(m_file));
  EXPECT_EQ(g_Configuration.checkerSettings.testsPerTime, 15);
  uitest::Save(dialog, "import_settings.png");

  dialog.Urls()->setPlainText("https://a.example/one.md\r\nhttp://b.example/two.md\n");
  dialog.TestHost()->setText("Check.Example");
  dialog.PerTime()->setText("7 per time");
  QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
  EXPECT_TRUE(m_prompt.boxes.empty());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(g_Configuration.checkerSettings.importUrls,
            std::vector<std::string>({"https://a.example/one.md", "http://b.example/two.md"}));
  EXPECT_EQ(g_Configuration.checkerSettings.testTarget, "check.example");
  EXPECT_EQ(g_Configuration.checkerSettings.testsPerTime, 7);
  EXPECT_TRUE(std::filesystem::exists(m_file));

  // An empty test host keeps the default; Reset to Defaults refills.
  CImportSettingsDlg again(true);
  EXPECT_EQ(again.OkButton()->text(), "Load");
  EXPECT_EQ(again.TestHost()->text(), "check.example");
  QTest::mouseClick(again.DefaultsButton(), Qt::LeftButton);
  EXPECT_EQ(again.PerTime()->text(), "15");
  again.TestHost()->clear();
  QTest::mouseClick(again.OkButton(), Qt::LeftButton);
  EXPECT_EQ(g_Configuration.checkerSettings.testTarget, SDnsCheckerSettings{}.testTarget);
  EXPECT_EQ(g_Configuration.checkerSettings.importUrls, SDnsCheckerSettings::DefaultImportUrls());
}

TEST_F(CImportDialogs, LoadsMarksChecksAndImportsTheMarkedServers) {
  testsupport::CHttpServer web;
  web.SetRoute("/a.md", {.body = "# list a\n## gamma\n" + Stamp(3) + "\n## alpha\n" + Stamp(1) + "\n"});
  web.SetRoute("/b.md", {.body = "## alpha again\r\n" + Stamp(1) + "\r\n## beta\r\n" + Stamp(2), .delayMs = 200});
  web.SetRoute("/gone.md", {.status = 404, .body = "no"});
  g_Configuration.checkerSettings.importUrls = {web.Origin() + "/a.md", web.Origin() + "/b.md",
                                                web.Origin() + "/gone.md"};
  CRefusingEngine engine;
  CServerImportDlg dialog(nullptr, &engine);
  OnNextModal([](QWidget* settings) {
    auto* dlg = dynamic_cast<CImportSettingsDlg*>(settings);
    ASSERT_NE(dlg, nullptr);
    QTest::mouseClick(dlg->OkButton(), Qt::LeftButton);  // Load
  });
  ASSERT_TRUE(dialog.Start());
  dialog.show();
  ASSERT_TRUE(uitest::Pump([&] { return !m_prompt.boxes.empty(); }));
  EXPECT_EQ(m_prompt.boxes[0].text,
            L"Some URLs were not successfully loaded. Please examine log output for more info.");
  EXPECT_EQ(m_prompt.boxes[0].caption, L"Server Import");
  m_prompt.boxes.clear();
  CServerListModel& rows = *dialog.List()->Model();
  ASSERT_EQ(rows.rowCount(), 3);  // the shared stamp once
  EXPECT_EQ(rows.index(0, 0).data().toString(), "alpha");
  EXPECT_EQ(rows.index(2, 0).data().toString(), "gamma");
  EXPECT_EQ(rows.index(0, 1).data().toString(), "Plain");

  QTest::mouseClick(dialog.ImportButton(), Qt::LeftButton);
  ASSERT_EQ(m_prompt.boxes.size(), 1u);
  EXPECT_EQ(m_prompt.boxes[0].caption, L"DNS Server Import");
  EXPECT_TRUE(m_prompt.boxes[0].text.starts_with(L"You do not have marked any servers."));
  m_prompt.boxes.clear();

  EXPECT_EQ(dialog.CheckButton()->text(), "Check All");
  rows.setData(rows.index(1, 0), Qt::Checked, Qt::CheckStateRole);  // beta
  EXPECT_EQ(dialog.CheckButton()->text(), "Check Marked");
  QTest::mouseClick(dialog.CheckButton(), Qt::LeftButton);
  EXPECT_EQ(engine.sent.size(), 1u);
  ASSERT_TRUE(uitest::Pump([&] { return rows.index(1, 3).data().toString() == "Bad"; }));
  EXPECT_EQ(rows.index(0, 3).data().toString(), "");
  EXPECT_EQ(rows.index(1, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(200, 0, 0));
  uitest::Save(dialog, "server_import_dialog.png");
  // A result no running check expects (a stopped run's) changes nothing.
  auto* stale = new SServerCheckResult;
  stale->serverId = rows.IdAt(0);
  stale->ok = true;
  stale->rttMs = 5;
  stale->sequence = g_ServerCheckSequence + 1000;
  ASSERT_TRUE(platform::PostWindowMessage(dialog.Handle(), WM_DNSCHECK_RESULT, reinterpret_cast<uintptr_t>(stale), 0));
  int rounds = 0;
  uitest::Pump([&] { return ++rounds > 20; });
  EXPECT_EQ(rows.index(0, 3).data().toString(), "");

  dialog.MarkAllBox()->click();
  EXPECT_EQ(dialog.Model().marked, 3);
  dialog.List()->SelectIds({dialog.List()->Model()->IdAt(2)});  // gamma
  QTest::keyClick(dialog.List(), Qt::Key_Space);
  EXPECT_EQ(dialog.Model().marked, 2);
  QTest::keyClick(dialog.List(), Qt::Key_Delete);  // gamma, unmarked: the count stays
  EXPECT_EQ(rows.rowCount(), 2);
  EXPECT_EQ(dialog.Model().marked, 2);
  QTest::mouseClick(dialog.ImportButton(), Qt::LeftButton);
  EXPECT_TRUE(m_prompt.boxes.empty());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  ASSERT_EQ(dialog.m_result.size(), 2u);
  EXPECT_NE(dialog.m_result[0].id, dialog.m_result[1].id);
}

TEST_F(CImportDialogs, CancelledSettingsLoadNothingAndAClosedDialogHearsNothing) {
  testsupport::CHttpServer web;
  web.SetRoute("/slow.md", {.body = "## late\n" + Stamp(9) + "\n", .delayMs = 300});
  g_Configuration.checkerSettings.importUrls = {web.Origin() + "/slow.md"};
  {
    CServerImportDlg dialog;
    OnNextModal([](QWidget* settings) { static_cast<QDialog*>(settings)->reject(); });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
  }
  EXPECT_TRUE(web.Requests().empty());
  {
    CServerImportDlg dialog;
    OnNextModal([](QWidget* settings) { static_cast<QDialog*>(settings)->accept(); });
    ASSERT_TRUE(dialog.Start());
    ASSERT_TRUE(web.WaitForRequests(1));
  }
  // The list arrives after the dialog has gone: its thread drops it.
  uitest::Pump([] { return false; });
  EXPECT_TRUE(m_prompt.boxes.empty());
}

}  // namespace
