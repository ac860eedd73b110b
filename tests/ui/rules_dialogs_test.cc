// The rules dialogs and the interface dialog offscreen, driven through their
// widgets, with screenshots.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/ui/filtered_edit.h"
#include "Quorvane/ui/net_interface_dlg.h"
#include "Quorvane/ui/rule_dlg.h"
#include "Quorvane/ui/rule_list_dlg.h"
#include "tests/app/app_fixture.h"
#include "tests/support/temp_folder.h"
#include "tests/ui/rule_fixtures.h"
#include "tests/ui/ui_support.h"

namespace {

using testsupport::CScriptedPrompt;
using uitest::Pump;
using uitest::Save;

constexpr const wchar_t* kEthId = L"{0A1B2C3D-0000-1111-2222-333344445555}";

SNetInterface Interface(const wchar_t* id, const wchar_t* name, bool up) {
  SNetInterface entry;
  entry.id = id;
  entry.name = name;
  entry.up = up;
  if (up) {
    sockaddr_storage address{};
    auto& in = reinterpret_cast<sockaddr_in&>(address);
    in.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.7", &in.sin_addr);
    entry.addresses.push_back(address);
  }
  return entry;
}

// The rule-action list: the three special entries, eth0 (down), wlan0.
std::vector<SNetInterface> ActionList() {
  std::vector<SNetInterface> list = BuildRuleActionList({}, {});
  list.push_back(Interface(kEthId, L"eth0", false));
  list.push_back(Interface(L"{0A1B2C3D-0000-1111-2222-333344446666}", L"wlan0", true));
  return list;
}

void Show(QWidget& widget) {
  widget.show();
  ASSERT_TRUE(Pump([&] { return widget.isVisible(); }));
}

// --- the interface dialog

CNetInterfaceModel::SHooks FakeMachine(std::map<std::wstring, bool> ssids) {
  CNetInterfaceModel::SHooks hooks;
  hooks.scan = [] { return true; };
  hooks.ssids = [ssids] { return ssids; };
  hooks.find = [](ENetInterfaceIdType, const std::wstring&, SNetInterface&) { return false; };
  return hooks;
}

TEST(NetInterfaceDlg, TheSsidListWaitsThenAnOkPicksOrAppends) {
  std::vector<SNetInterface> list = ActionList();
  int choice = -1;
  CNetInterfaceDlg dialog(&list, &choice, nullptr, FakeMachine({{L"Cafe", true}}));
  Show(dialog);
  EXPECT_EQ(dialog.Values()->count(), 2) << "one adapter-id value per listed adapter";
  EXPECT_EQ(dialog.Values()->itemText(0), QString::fromStdWString(std::wstring(kEthId) + L" eth0 [down]"));

  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  dialog.Attributes()->setCurrentIndex(InterfaceIdSsid);
  ASSERT_EQ(prompt.boxes.size(), 1u) << "fewer than two networks right after opening";
  EXPECT_EQ(prompt.boxes[0].text, L"Please wait for the update of WiFi network list.");
  EXPECT_EQ(prompt.boxes[0].caption, L"WiFi Networks");
  EXPECT_EQ(prompt.boxes[0].type, MB_ICONINFORMATION);
  ASSERT_EQ(dialog.Values()->count(), 1) << "what is known is still listed";
  EXPECT_EQ(dialog.Values()->itemText(0), "Cafe");
  dialog.Values()->setCurrentIndex(0);
  Save(dialog, "net_interface_dlg_ssid.png");

  // The same SSID twice is appended twice.
  const size_t before = list.size();
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(choice, int(before));
  CNetInterfaceDlg again(&list, &choice, nullptr, FakeMachine({{L"Cafe", true}, {L"Home", false}}));
  Show(again);
  again.Attributes()->setCurrentIndex(InterfaceIdSsid);  // two networks: no notice
  again.Values()->setCurrentText("Cafe");
  again.accept();
  EXPECT_EQ(choice, int(before) + 1);
  EXPECT_EQ(list.size(), before + 2);
  EXPECT_EQ(list.back().ssid, L"Cafe");
}

TEST(NetInterfaceDlg, AListedAdapterIsSelectedAndABadIdKeepsTheDialogOpen) {
  std::vector<SNetInterface> list = ActionList();
  const size_t size = list.size();
  int choice = -1;
  CNetInterfaceDlg dialog(&list, &choice, nullptr, FakeMachine({}));
  Show(dialog);
  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  dialog.Values()->setCurrentText("{0A1B2C3D-0000-1111-2222-33334444555}");
  dialog.accept();
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].text,
            L"Adapter ID should be in GUID fromat like:\n{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}");
  EXPECT_EQ(prompt.boxes[0].caption, L"Network Interface");
  EXPECT_EQ(prompt.boxes[0].type, MB_ICONEXCLAMATION);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(choice, -1);

  dialog.Values()->setCurrentIndex(0);  // "{guid} eth0 [down]": the GUID is kept
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(choice, 3);
  EXPECT_EQ(list.size(), size);
}

// --- the rule dialog

CDnsServer Server(uint32_t id, const wchar_t* name, EDnsProtocol protocol) {
  CDnsServer server = uitest::TestServer(id, name, protocol, true);
  if (protocol == EDnsProtocol::Doh) {
    server.doh_host_name = "doh.example";
    server.doh_path = "/dns-query";
  }
  return server;
}

struct RulesFixture {
  std::vector<CDnsServer> servers{Server(10, L"Plain", EDnsProtocol::Plain), Server(11, L"Secure", EDnsProtocol::Doh)};
  std::vector<CDnsPool> pools;
  std::vector<SNetInterface> list = ActionList();
  SRuleDlgHooks hooks;
  std::vector<std::filesystem::path> shown;
  RulesFixture() {
    CDnsPool pool;
    pool.id = 20;
    pool.name = L"Both";
    pool.serverIds = {10, 11};
    pools.push_back(pool);
    hooks.systemDns = [] { return std::vector<sockaddr_storage>{}; };
    hooks.showInFileManager = [this](const std::filesystem::path& file) { shown.push_back(file); };
    hooks.moreOptions = [](int&) { return false; };
  }
};

CRule Rule(const wchar_t* name, ERuleAction action, uint32_t id, const wchar_t* hostnames) {
  CRule rule;
  rule.name = name;
  rule.action = action;
  rule.action_id = id;
  std::wstring error;
  EXPECT_TRUE(rule.SetHostnames(hostnames, L"", error)) << WideToUtf8(error);
  rule.enabled = true;
  return rule;
}

TEST(RuleDlg, BlockThenADohTargetAndTheRememberedChoice) {
  RulesFixture f;
  CRule rule = Rule(L"Ads", ERuleAction::Block, 0, L"*.ads.example");
  CRuleDlg dialog(&rule, &f.list, &f.servers, &f.pools, false, nullptr, f.hooks);
  Show(dialog);
  EXPECT_EQ(dialog.Action()->currentIndex(), 2);
  EXPECT_EQ(dialog.Action()->itemText(dialog.Action()->count() - 1), "Process via [more options]...");
  EXPECT_FALSE(dialog.Target()->isEnabled());
  EXPECT_EQ(dialog.Target()->currentIndex(), -1);
  EXPECT_TRUE(dialog.BlockZero()->isVisible());
  EXPECT_EQ(dialog.Description(0)->text(), "Hostnames will be resolved as 0.0.0.0");
  EXPECT_EQ(dialog.Description(2)->text(), "No DNS server will be used.");
  Save(dialog, "rule_dlg_block.png");

  // Process through the DoH server; target 0 "Default", 1 the pool, 2 Plain, 3 Secure.
  dialog.Action()->setCurrentIndex(0);
  emit dialog.Action()->activated(0);
  EXPECT_TRUE(dialog.Target()->isEnabled());
  EXPECT_FALSE(dialog.BlockZero()->isVisible());
  dialog.Target()->setCurrentIndex(3);
  emit dialog.Target()->activated(3);
  EXPECT_EQ(dialog.Description(2)->text(), "https://doh.example/dns-query (DNS over HTTPS)");
  Save(dialog, "rule_dlg_doh.png");

  // Bypass remembers the target; Process brings it back.
  emit dialog.Action()->activated(1);
  EXPECT_EQ(dialog.Target()->currentIndex(), 0);
  emit dialog.Action()->activated(0);
  EXPECT_EQ(dialog.Target()->currentIndex(), 3);

  // A cancelled "[more options]" brings the previous choice back.
  const int more = dialog.Action()->count() - 1;
  emit dialog.Action()->activated(more);
  EXPECT_EQ(dialog.Action()->currentIndex(), 0);

  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(rule.action, ERuleAction::ProcessServer);
  EXPECT_EQ(rule.action_id, 11u);
}

TEST(RuleDlg, RefusalsKeepTheEditsAndTheDefaultRuleKeepsItsNames) {
  RulesFixture f;
  CRule rule = Rule(L"Work", ERuleAction::ProcessServer, 10, L"*.corp.example");
  CRuleDlg dialog(&rule, &f.list, &f.servers, &f.pools, false, nullptr, f.hooks);
  Show(dialog);
  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  dialog.Name()->setText("Renamed");
  dialog.Hostnames()->setPlainText("");
  dialog.accept();
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].text, L"Hostnames field cannot be empty.\nPlease put * (asterisk symbol) to match all "
                                  L"hostnames.");
  EXPECT_EQ(prompt.boxes[0].caption, L"Rule");
  EXPECT_EQ(prompt.boxes[0].type, MB_ICONEXCLAMATION);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.Name()->text(), "Renamed") << "earlier edits stay";
  EXPECT_EQ(rule.name, L"Work") << "the caller's rule changes only on OK";

  CRule last = Rule(L"Default", ERuleAction::Bypass, 0, L"*");
  CRuleDlg defaultRule(&last, &f.list, &f.servers, &f.pools, true, nullptr, f.hooks);
  EXPECT_FALSE(defaultRule.Name()->isEnabled());
  EXPECT_FALSE(defaultRule.Hostnames()->isEnabled());
  EXPECT_FALSE(defaultRule.Enabled()->isEnabled());
}

TEST(RuleDlg, FromFileCopiesBesideTheConfFileAndTheLinkShowsTheCopy) {
  RulesFixture f;
  testsupport::TempFolder conf, source;
  f.hooks.confPath = Utf8ToWide((conf.Path() / "ServiceConfiguration.xml").string());
  const std::filesystem::path picked = source.Path() / "blocklist.txt";
  testsupport::WriteBytes(picked, "tracker.example\n");
  f.hooks.pickHostsFile = [&] { return std::optional<std::wstring>(Utf8ToWide(picked.string())); };
  CRule rule = Rule(L"Lists", ERuleAction::Block, 0, L"*.ads.example");
  CRuleDlg dialog(&rule, &f.list, &f.servers, &f.pools, false, nullptr, f.hooks);
  Show(dialog);
  {
    CScriptedPrompt prompt;
    prompt.Answer(IDOK);
    dialog.FromFile()->click();
    ASSERT_EQ(prompt.boxes.size(), 1u);
    EXPECT_EQ(prompt.boxes[0].caption, L"Rules");
    EXPECT_EQ(prompt.boxes[0].type, MB_ICONINFORMATION);
  }
  EXPECT_EQ(testsupport::ReadBytes(conf.Path() / "blocklist.txt"), "tracker.example\n");
  const QString text = dialog.Hostnames()->toPlainText();
  EXPECT_EQ(text, "*.ads.example\nfile://blocklist.txt\n");

  QTextCursor at(dialog.Hostnames()->document());
  at.setPosition(text.indexOf("file://") + 3);
  QTest::mouseClick(dialog.Hostnames()->viewport(), Qt::LeftButton, {}, dialog.Hostnames()->cursorRect(at).center());
  ASSERT_EQ(f.shown.size(), 1u);
  EXPECT_EQ(f.shown[0], conf.Path() / "blocklist.txt");

  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_NE(rule.hostnames.find(L"file://blocklist.txt"), std::wstring::npos);
}

// --- the rule list

struct ListFixture : RulesFixture {
  std::vector<CRule> rules;
  bool ignore = true;
  CRuleListDlg::SHooks listHooks;
  ListFixture() {
    CRule work = Rule(L"Work", ERuleAction::ProcessServer, 10, L"*.corp.example");
    work.interface_id_type = InterfaceIdAdapter;
    work.interface_id = kEthId;
    work.interface_name = L"eth0";
    rules = {work, Rule(L"Ads", ERuleAction::Block, 0, L"*.ads.example"), Rule(L"Default", ERuleAction::Bypass, 0, L"*")};
    listHooks.rule = hooks;
    listHooks.actionList = list;
  }
};

TEST(RuleListDlg, TheDefaultRowIsLockedAndGreyRowsFollowTheCheckBox) {
  ListFixture f;
  CRuleListDlg dialog(&f.rules, &f.servers, &f.pools, &f.ignore, nullptr, f.listHooks);
  Show(dialog);
  CMlListModel& model = *dialog.ListModel();
  ASSERT_EQ(model.rowCount(), 3);
  EXPECT_EQ(model.headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), "DNS Server");
  EXPECT_FALSE(model.data(model.index(2, 0), Qt::CheckStateRole).isValid()) << "the Default row has no check box";
  EXPECT_FALSE(model.flags(model.index(2, 0)) & Qt::ItemIsEditable);
  EXPECT_EQ(model.data(model.index(1, 3), Qt::DisplayRole).toString(), "None");
  EXPECT_EQ(model.data(model.index(2, 3), Qt::DisplayRole).toString(), "Default");
  EXPECT_TRUE(model.data(model.index(0, 0), Qt::ForegroundRole).isValid()) << "eth0 is down";
  EXPECT_FALSE(model.data(model.index(1, 0), Qt::ForegroundRole).isValid());
  EXPECT_FALSE(dialog.Button(1023)->isEnabled()) << "nothing selected yet";
  QHeaderView& header = *dialog.List()->horizontalHeader();
  ASSERT_TRUE(Pump([&] { return header.sectionSize(1) > header.viewport()->width() / 5; })) << "ratios 0.25 each";
  Save(dialog, "rule_list_dlg.png");

  dialog.IgnoreIfDown()->setChecked(false);
  EXPECT_FALSE(model.data(model.index(0, 0), Qt::ForegroundRole).isValid());
  dialog.IgnoreIfDown()->setChecked(true);
  EXPECT_TRUE(model.data(model.index(0, 0), Qt::ForegroundRole).isValid());

  // Remove, Clone and Down on the Default row: refused with their boxes.
  dialog.List()->selectRow(2);
  EXPECT_TRUE(dialog.Button(1023)->isEnabled());
  CScriptedPrompt prompt;
  for (int i = 0; i < 3; ++i) prompt.Answer(IDOK);
  for (int id : {1023, 1021, 1029}) dialog.Button(id)->click();
  ASSERT_EQ(prompt.boxes.size(), 3u);
  for (const auto& box : prompt.boxes) {
    EXPECT_EQ(box.caption, L"DNS Rules");
    EXPECT_EQ(box.type, MB_ICONINFORMATION);
  }
  EXPECT_EQ(prompt.boxes[0].text.rfind(L"The Default rule cannot be removed.", 0), 0u);
  EXPECT_EQ(dialog.Model().Count(), 3);

  // Up on the first rule and Down above Default do nothing.
  dialog.List()->selectRow(0);
  dialog.Button(1028)->click();
  dialog.List()->selectRow(1);
  dialog.Button(1029)->click();
  EXPECT_EQ(dialog.Model().rules[0].name, L"Work");
  EXPECT_EQ(dialog.Model().rules[1].name, L"Ads");
  dialog.Button(1028)->click();
  EXPECT_EQ(dialog.Model().rules[0].name, L"Ads");
}

TEST(RuleListDlg, InPlaceChoicesCommitAndOkWritesBack) {
  ListFixture f;
  int asked = 0;
  f.listHooks.rule.moreOptions = [&](int&) { return ++asked, false; };
  CRuleListDlg dialog(&f.rules, &f.servers, &f.pools, &f.ignore, nullptr, f.listHooks);
  Show(dialog);
  CMlListCtrl& list = *dialog.List();
  list.selectRow(0);
  ASSERT_TRUE(list.HasOpenEditor(0, 3));
  auto* target = qobject_cast<QComboBox*>(list.indexWidget(dialog.ListModel()->index(0, 3)));
  ASSERT_NE(target, nullptr);
  target->setCurrentIndex(3);  // Secure
  target->showPopup();
  target->hidePopup();
  ASSERT_TRUE(Pump([&] { return dialog.Model().rules[0].action_id == 11; }));
  EXPECT_EQ(dialog.Model().rules[0].interface_id, kEthId) << "the interface choice stays";

  // A cancelled "[more options]" leaves the rule as it was.
  list.selectRow(0);
  auto* action = qobject_cast<QComboBox*>(list.indexWidget(dialog.ListModel()->index(0, 2)));
  ASSERT_NE(action, nullptr);
  action->setCurrentIndex(action->count() - 1);
  action->showPopup();
  action->hidePopup();
  Pump([&] { return list.HasOpenEditor(0, 2); });
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(dialog.Model().rules[0].action, ERuleAction::ProcessServer);
  EXPECT_EQ(dialog.Model().rules[0].action_id, 11u);

  // A Block row switched in place to Process reads no target: none, never an index.
  list.selectRow(1);
  action = qobject_cast<QComboBox*>(list.indexWidget(dialog.ListModel()->index(1, 2)));
  ASSERT_NE(action, nullptr);
  action->setCurrentIndex(0);
  action->showPopup();
  action->hidePopup();
  ASSERT_TRUE(Pump([&] { return dialog.Model().rules[1].action == ERuleAction::ProcessServer; }));
  EXPECT_EQ(dialog.Model().rules[1].action_id, 0u);

  dialog.IgnoreIfDown()->setChecked(false);
  dialog.accept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(f.rules[0].action_id, 11u);
  EXPECT_FALSE(f.ignore);
}

TEST(RuleListDlg, OnlyADefaultBypassAsksAndNoStays) {
  ListFixture f;
  f.rules = {Rule(L"Default", ERuleAction::Bypass, 0, L"*")};
  CRuleListDlg dialog(&f.rules, &f.servers, &f.pools, &f.ignore, nullptr, f.listHooks);
  Show(dialog);
  CScriptedPrompt prompt;
  prompt.Answer(IDNO);
  dialog.accept();
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].caption, L"DNS Rules");
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_NE(dialog.result(), QDialog::Accepted);
}

TEST(RuleListDlg, AddEditsANewRuleThatLandsBeforeDefault) {
  ListFixture f;
  f.listHooks.editRule = [](CRule& rule, bool isDefault) {
    EXPECT_FALSE(isDefault);
    EXPECT_EQ(rule.name, L"New Rule");
    rule.hostnames = L"*.new.example";
    return true;
  };
  CRuleListDlg dialog(&f.rules, &f.servers, &f.pools, &f.ignore, nullptr, f.listHooks);
  Show(dialog);
  dialog.Button(1020)->click();
  ASSERT_EQ(dialog.Model().Count(), 4);
  EXPECT_EQ(dialog.Model().rules[2].name, L"New Rule");
  EXPECT_EQ(dialog.Model().rules[3].name, L"Default");
  EXPECT_TRUE(dialog.List()->selectionModel()->isRowSelected(2, {}));
}

}  // namespace
