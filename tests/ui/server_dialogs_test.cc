// The server, stamp and pool dialogs and the server list offscreen, driven
// through their widgets, with screenshots in build/artifacts/screenshots/.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include "Quorvane/config/object_id.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/ui/dns_server_dlg.h"
#include "Quorvane/ui/frame_dialogs.h"
#include "Quorvane/ui/main_frame.h"
#include "Quorvane/ui/pool_dlg.h"
#include "Quorvane/ui/server_list_ctrl.h"
#include "Quorvane/ui/server_list_dlg.h"
#include "tests/app/app_fixture.h"
#include "tests/ui/check_engine_double.h"
#include "tests/ui/ui_support.h"

namespace {

using testsupport::CScriptedPrompt;
using uitest::Pump;
using uitest::Save;

CDnsServer Server(uint32_t id, const wchar_t* name, EDnsProtocol protocol) {
  CDnsServer server;
  server.id = id;
  server.name = name;
  server.protocol = protocol;
  server.family = AF_INET;
  server.address = {192, 0, 2, static_cast<uint8_t>(id)};
  server.addressKnown = true;
  server.port = GetDefaultPort(protocol);
  server.doh_host_name = "dns.example";
  server.doh_path = "/dns-query";
  server.dot_host_name = server.doq_host_name = "dot.example";
  server.dnscrypt_public_key.assign(32, 0x5A);
  server.dnscrypt_provider_name = "2.dnscrypt-cert.example";
  server.nextdns_id = "abc123";
  return server;
}

// Runs body once the next modal widget is up.
void WhenModal(std::function<void(QWidget*)> body) {
  QTimer::singleShot(0, [body] {
    Pump([] { return QApplication::activeModalWidget() != nullptr; });
    body(QApplication::activeModalWidget());
  });
}

// A cell of the server list's row for the server.
QString Cell(const CServerListDlg& dialog, uint32_t id, int column) {
  return dialog.List()->Model()->index(dialog.RowOf(id), column).data().toString();
}

// The label edit box open in a view (closed ones wait for their deletion).
QLineEdit* OpenEditor(QAbstractItemView& view) {
  for (QLineEdit* edit : view.viewport()->findChildren<QLineEdit*>())
    if (edit->isVisible()) return edit;
  return nullptr;
}

class ServerDialogs : public testsupport::AppTest {
 protected:
  CScriptedPrompt prompt;
};

TEST_F(ServerDialogs, TheServerDialogShowsEachProtocolsPaneAndWritesOnlyOnOk) {
  const EDnsProtocol protocols[] = {EDnsProtocol::Plain, EDnsProtocol::DnsCrypt, EDnsProtocol::Doh,
                                    EDnsProtocol::Dot,   EDnsProtocol::Doq,      EDnsProtocol::NextDns,
                                    EDnsProtocol::Relay};
  for (EDnsProtocol protocol : protocols) {
    const std::string key = GetProtocolNames(protocol).first;
    SCOPED_TRACE(key);
    CDnsServer server = Server(7, L"edited", protocol);
    CDnsServerDlg dialog(&server);
    dialog.show();
    ASSERT_TRUE(Pump([&] { return dialog.isVisible(); }));
    const SServerPane pane = VisibleControls(protocol, dialog.Form().fields);
    for (int id : PaneControls()) EXPECT_EQ(dialog.Control(id)->isVisible(), pane.visible.count(id) != 0) << id;
    EXPECT_EQ(static_cast<QGroupBox*>(dialog.Control(IDC_OPTIONS_GROUP))->title().toStdWString(), pane.caption);
    Save(dialog, ("server_dialog_" + key + ".png").c_str());
    static_cast<QLineEdit*>(dialog.Control(1009))->setText("typed");
    dialog.reject();
    EXPECT_EQ(server.name, L"edited");
  }

  CDnsServer fresh;
  const uint32_t next = g_NextObjectId;
  CDnsServerDlg dialog(&fresh);
  dialog.show();
  static_cast<QLineEdit*>(dialog.Control(1009))->setText("my resolver");
  dialog.ProtocolList()->setCurrentIndex(ProtocolDisplayIndex(EDnsProtocol::Dot));
  EXPECT_TRUE(dialog.Control(IDC_HOSTNAME_LABEL)->isVisible());
  static_cast<QLineEdit*>(dialog.Control(IDC_URL_OR_HOST))->setText("dot.example");
  static_cast<QLineEdit*>(dialog.Control(IDC_ADDRESS))->setText(":8853");
  QTest::mouseClick(static_cast<QPushButton*>(dialog.Control(1)), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(fresh.id, next);
  EXPECT_EQ(fresh.dot_host_name, "dot.example");
  EXPECT_EQ(fresh.port, 8853);
  EXPECT_FALSE(fresh.addressKnown);
}

TEST_F(ServerDialogs, ADoubleClickedListServerIsEditedInTheServerDialog) {
  SetServerEditor(EditServerInDialog);
  CDnsServer server = Server(7, L"imported", EDnsProtocol::Plain);
  WhenModal([](QWidget* modal) {
    auto* dialog = dynamic_cast<CDnsServerDlg*>(modal);
    ASSERT_NE(dialog, nullptr);
    static_cast<QLineEdit*>(dialog->Control(1009))->setText("renamed");
    QTest::mouseClick(static_cast<QPushButton*>(dialog->Control(1)), Qt::LeftButton);
  });
  EXPECT_TRUE(EditServer(nullptr, server));
  EXPECT_EQ(server.name, L"renamed");
  EXPECT_EQ(server.id, 7u);
  SetServerEditor(nullptr);
}

TEST_F(ServerDialogs, TheStampDialogOverTheServerDialogKeepsTheTyping) {
  CDnsServer server = Server(7, L"edited", EDnsProtocol::Plain);
  CDnsServerDlg dialog(&server);
  dialog.show();
  static_cast<QCheckBox*>(dialog.Control(IDC_USE_TCP))->setChecked(true);
  static_cast<QLineEdit*>(dialog.Control(IDC_ADDRESS))->setText("192.0.2.99:5353");
  std::string shown;
  WhenModal([&](QWidget* modal) {
    auto* stamp = dynamic_cast<CDnsStampDlg*>(modal);
    ASSERT_NE(stamp, nullptr);
    shown = stamp->StampEdit()->text().toStdString();
    Save(*stamp, "stamp_dialog.png");
    QTest::keyClick(stamp->StampEdit(), Qt::Key_Return);
  });
  QTest::mouseClick(static_cast<QPushButton*>(dialog.Control(IDC_STAMP)), Qt::LeftButton);
  EXPECT_EQ(shown.rfind("sdns://", 0), 0u);
  EXPECT_EQ(static_cast<QLineEdit*>(dialog.Control(IDC_ADDRESS))->text(), "192.0.2.99:5353");
  EXPECT_TRUE(static_cast<QCheckBox*>(dialog.Control(IDC_USE_TCP))->isChecked());
  dialog.reject();
  EXPECT_EQ(server.port, 53);
}

TEST_F(ServerDialogs, TheSingleCheckReportsToTheDialogInGreenOrRed) {
  platform::FakeClock clock;
  platform::SetClockSourceForTesting(&clock);
  uitest::CRecordingCheckEngine engine;
  CDnsServer server = Server(7, L"edited", EDnsProtocol::Plain);
  {
    CDnsServerDlg dialog(&server, nullptr, &engine);
    dialog.show();
    auto* check = static_cast<QPushButton*>(dialog.Control(IDC_CHECK));
    auto* status = static_cast<QLabel*>(dialog.Control(IDC_CHECK_STATUS));
    auto answer = [&] {
      const SServerCheck& sent = engine.sent.back();
      ASSERT_TRUE(PostCheckResult(sent.owner, sent.server, std::nullopt, true, sent.sequence, L"", false));
    };
    QTest::mouseClick(check, Qt::LeftButton);
    ASSERT_EQ(engine.sent.size(), 1u);
    EXPECT_FALSE(check->isEnabled());
    answer();  // the warm-up, then the timed one
    ASSERT_TRUE(Pump([&] { return engine.sent.size() == 2; }));
    clock.AdvanceMs(31);
    answer();
    ASSERT_TRUE(Pump([&] { return status->text() == "OK rtt=31 ms"; })) << status->text().toStdString();
    EXPECT_TRUE(check->isEnabled());
    EXPECT_EQ(status->palette().color(QPalette::WindowText), QColor(0, 200, 0));
    Save(dialog, "server_dialog_check_ok.png");

    QTest::mouseClick(check, Qt::LeftButton);
    clock.AdvanceMs(CDnsServerChecker::kTimeoutMs + 1);
    ASSERT_TRUE(Pump([&] { return status->text() == "Error: Timeout"; })) << status->text().toStdString();
    EXPECT_EQ(status->palette().color(QPalette::WindowText), QColor(200, 0, 0));
    // A check left running when the dialog goes: its time-out finds no window.
    QTest::mouseClick(check, Qt::LeftButton);
    dialog.reject();
  }
  EXPECT_EQ(server.rttMs, -1);
  platform::SetClockSourceForTesting(nullptr);
}

TEST_F(ServerDialogs, PoolTypeEnablesOptionsForRedundancyAndItsOptionsStayAfterCancel) {
  CDnsPool pool;
  pool.name = L"pool";
  CPoolDlg dialog(&pool);
  dialog.show();
  EXPECT_TRUE(dialog.OptionsButton()->isEnabled());
  QTest::mouseClick(dialog.Choice(1), Qt::LeftButton);
  EXPECT_FALSE(dialog.OptionsButton()->isEnabled());
  EXPECT_FALSE(dialog.Choice(0)->isChecked());
  QTest::mouseClick(dialog.Choice(0), Qt::LeftButton);
  EXPECT_TRUE(dialog.OptionsButton()->isEnabled());
  Save(dialog, "pool_type.png");
  WhenModal([&](QWidget* modal) {
    auto* options = dynamic_cast<CPoolRedundancyDlg*>(modal);
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(options->RecheckEdit()->text(), "60");
    options->TestHostEdit()->setText("probe.example");
    options->RecheckEdit()->setText("12ab");
    Save(*options, "pool_redundancy_options.png");
    static_cast<QDialog*>(options)->accept();
  });
  QTest::mouseClick(dialog.OptionsButton(), Qt::LeftButton);
  dialog.reject();
  EXPECT_EQ(pool.testHost, "probe.example");
  EXPECT_EQ(pool.recheckDelaySec, 12);
}

class ServerList : public ServerDialogs {
 protected:
  std::vector<CDnsServer> servers{Server(1, L"alpha", EDnsProtocol::Plain), Server(2, L"beta", EDnsProtocol::Doh),
                                  Server(3, L"gamma", EDnsProtocol::Dot)};
  std::vector<CDnsPool> pools;
  std::vector<CRule> rules;
};

TEST_F(ServerList, WithoutPoolsThePaneOpensWithServerPoolsAndAPoolTakesADrop) {
  platform::WriteProfileInt(L"UI", L"classCServerListDlg.width", 0);
  platform::WriteProfileInt(L"UI", L"classCServerListDlg.height", 0);
  CServerListDlg dialog(&servers, &pools, &rules);
  dialog.show();
  ASSERT_TRUE(Pump([&] { return dialog.isVisible(); }));
  EXPECT_FALSE(dialog.PoolPaneShown());
  EXPECT_TRUE(dialog.Button(1020)->isVisible());
  EXPECT_FALSE(dialog.Tree()->isVisible());
  EXPECT_EQ(dialog.List()->Model()->rowCount(), 3);
  const int hiddenHeight = dialog.height();
  Save(dialog, "server_list_no_pools.png");
  {
    // Closed without the pane, the saved height still includes it.
    CServerListDlg other(&servers, &pools, &rules);
    other.show();
    ASSERT_TRUE(Pump([&] { return other.isVisible(); }));
    other.reject();
    EXPECT_GT(platform::GetProfileInt(L"UI", L"classCServerListDlg.height", 0), hiddenHeight);
    platform::WriteProfileInt(L"UI", L"classCServerListDlg.height", 0);
  }

  QTest::mouseClick(dialog.Button(1020), Qt::LeftButton);
  EXPECT_TRUE(dialog.PoolPaneShown());
  EXPECT_FALSE(dialog.Button(1020)->isVisible());
  EXPECT_TRUE(dialog.Tree()->isVisible());
  EXPECT_GT(dialog.height(), hiddenHeight);

  // Create: the new pool's label edit opens; Enter ends it without OK.
  QTest::mouseClick(dialog.Button(6), Qt::LeftButton);
  ASSERT_EQ(pools.size(), 1u);
  ASSERT_TRUE(Pump([&] { return dialog.LabelEditOpen(); }));
  auto* editor = OpenEditor(*dialog.Tree());
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), "New Pool");
  editor->setText("Office");
  QTest::keyClick(editor, Qt::Key_Return);
  Pump([&] { return !dialog.LabelEditOpen(); });
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(pools[0].name, L"Office");
  EXPECT_EQ(dialog.PoolItemOf(pools[0].id)->text(0), "Office [Redundancy]");

  // A simulated drop of two selected rows onto the pool.
  dialog.List()->SelectIds({1, 3});
  dialog.DropOn(dialog.PoolItemOf(pools[0].id), dialog.DraggedIds());
  EXPECT_EQ(pools[0].serverIds, (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(dialog.PoolItemOf(pools[0].id)->childCount(), 2);
  EXPECT_EQ(dialog.PoolItemOf(pools[0].id)->child(0)->text(0), "     alpha [Plain]");
  Save(dialog, "server_list_pool_pane.png");

  // Rename, then Escape: the edit ends and the dialog stays; the next Escape closes it.
  dialog.Tree()->setFocus();
  dialog.Tree()->editItem(dialog.PoolItemOf(pools[0].id), 0);
  ASSERT_TRUE(Pump([&] { return dialog.LabelEditOpen(); }));
  editor = OpenEditor(*dialog.Tree());
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), "Office");
  editor->setText("Abandoned");
  Save(dialog, "server_list_rename.png");
  QTest::keyClick(editor, Qt::Key_Escape);
  Pump([&] { return !dialog.LabelEditOpen(); });
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(pools[0].name, L"Office");
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  // The size is saved as the dialog's with the pane.
  EXPECT_EQ(platform::GetProfileInt(L"UI", L"classCServerListDlg.height", 0), dialog.height());
}

TEST_F(ServerList, ARowRenamedInPlaceIsSortedAgainAndAnEmptyNameIsRefused) {
  CServerListDlg dialog(&servers, &pools, &rules);
  dialog.show();
  ASSERT_TRUE(Pump([&] { return dialog.isVisible(); }));
  auto rename = [&](const char* text) {
    dialog.List()->edit(dialog.List()->Model()->index(dialog.RowOf(1), 0));
    ASSERT_TRUE(Pump([&] { return dialog.LabelEditOpen(); }));
    QLineEdit* editor = OpenEditor(*dialog.List());
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->text(), QString::fromStdWString(servers[FindServerIndexById(servers, 1)].name));
    editor->setText(text);
    QTest::keyClick(editor, Qt::Key_Return);
    Pump([&] { return !dialog.LabelEditOpen(); });
  };
  rename("zeta");
  EXPECT_TRUE(dialog.isVisible());  // Enter ended the edit, not the dialog
  EXPECT_EQ(dialog.RowOf(1), 2);
  prompt.Answer(IDOK);
  rename("");
  EXPECT_EQ(prompt.boxes.back().text, L"The name of the server cannot be an empty string.");
  EXPECT_EQ(Cell(dialog, 1, 0), "zeta");
  dialog.reject();
}

TEST_F(ServerList, ResultsColourTheTreeAndForwardedOnesStayTheCallers) {
  pools.push_back(CDnsPool());
  pools[0].id = 20;
  pools[0].name = L"p";
  pools[0].serverIds = {1, 2};
  CServerListDlg dialog(&servers, &pools, &rules);
  dialog.show();
  ASSERT_TRUE(Pump([&] { return dialog.isVisible(); }));
  EXPECT_TRUE(dialog.PoolPaneShown());
  EXPECT_FALSE(dialog.Button(1020)->isVisible());

  // The main window's results, forwarded by a send with lParam 1: read, not freed.
  for (uint32_t id : {1u, 2u, 99u}) {
    auto* result = new SServerCheckResult;
    result->serverId = id;
    result->ok = true;
    result->rttMs = 7;
    intptr_t answer = 0;
    ASSERT_TRUE(platform::SendWindowMessage(dialog.Handle(), WM_DNSCHECK_RESULT, reinterpret_cast<uintptr_t>(result),
                                            1, &answer));
    delete result;  // the frame's
  }
  EXPECT_EQ(Cell(dialog, 1, 1), "7");
  QTreeWidgetItem* pool = dialog.PoolItemOf(20);
  EXPECT_EQ(pool->foreground(0).color(), QColor(0, 200, 0));
  EXPECT_EQ(pool->child(0)->text(0), "   7 alpha [Plain]");
  Save(dialog, "server_list_forwarded_result.png");

  // A result of the dialog's own checker that it never handles is freed with the dialog.
  auto* late = new SServerCheckResult;
  late->serverId = 1;
  ASSERT_TRUE(platform::PostWindowMessage(dialog.Handle(), WM_DNSCHECK_RESULT, reinterpret_cast<uintptr_t>(late), 0));
  dialog.reject();
}

TEST_F(ServerList, TenAndElevenDraggedNamesGiveTheSameImage) {
  for (uint32_t id = 4; id <= 11; ++id) servers.push_back(Server(id, L"server", EDnsProtocol::Plain));
  CServerListDlg dialog(&servers, &pools, &rules);
  std::vector<uint32_t> ids;
  for (const CDnsServer& s : servers) ids.push_back(s.id);
  ASSERT_EQ(ids.size(), 11u);
  const QImage eleven = dialog.DragImage(ids).toImage();
  const QImage ten = dialog.DragImage(std::vector<uint32_t>(ids.begin(), ids.begin() + 10)).toImage();
  const QImage nine = dialog.DragImage(std::vector<uint32_t>(ids.begin(), ids.begin() + 9)).toImage();
  EXPECT_EQ(ten, eleven);
  EXPECT_NE(nine, ten);
}

TEST_F(ServerList, DnsServersFromTheMainWindowOkWithOneServerAndYesMakesItTheDefault) {
  g_Configuration.path = (Folder() / "conf.xml").wstring();
  CDesktopDialogs dialogs;
  CMainFrame frame(&dialogs);
  uint32_t added = 0;
  dialogs.onServerListShown = [&](CServerListDlg& dialog) {
    EXPECT_EQ(dialogs.ServerListWindow(), dialog.Handle());
    dialog.serverDialog = [&](CDnsServer& server) {
      server = Server(0, L"only", EDnsProtocol::Plain);
      server.id = added = g_NextObjectId++;
      return true;
    };
    QTest::mouseClick(dialog.Button(3), Qt::LeftButton);
    QTest::mouseClick(dialog.Button(1), Qt::LeftButton);
  };
  prompt.Answer(IDYES);
  frame.Controller().OnCommand(ID_DNS_SERVERS);
  EXPECT_EQ(dialogs.ServerListWindow(), 0u);
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_NE(prompt.boxes[0].text.find(L"set server only as the default"), std::wstring::npos);
  std::vector<CRule> rules;
  std::vector<CDnsServer> running;
  std::vector<CDnsPool> runningPools;
  CProfile::GetRulesServersAndPools(rules, running, runningPools);
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(running[0].id, added);
  EXPECT_EQ(rules.back().action, ERuleAction::ProcessServer);
  EXPECT_EQ(rules.back().action_id, added);
}

TEST_F(ServerList, AResultTheMainWindowForwardsIsShownAndFreedByTheFrame) {
  g_Configuration.path = (Folder() / "conf.xml").wstring();
  CProfile::SetServers({Server(5, L"running", EDnsProtocol::Plain)});
  CDesktopDialogs dialogs;
  CMainFrame frame(&dialogs);
  QString shown;
  dialogs.onServerListShown = [&](CServerListDlg& dialog) {
    auto* result = new SServerCheckResult;
    result->serverId = 5;
    result->ok = true;
    result->rttMs = 9;
    EXPECT_TRUE(frame.Controller().OnServerCheckResult(result));  // forwards, then frees
    shown = Cell(dialog, 5, 1);
    dialog.reject();
  };
  prompt.Answer(IDNO);  // the frame's question about the Default rule, after Cancel too
  frame.Controller().OnCommand(ID_DNS_SERVERS);
  EXPECT_EQ(shown, "9");
}

}  // namespace
