#include "Quorvane/ui/rule_model.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/text_utils.h"
#include "tests/app/app_fixture.h"
#include "tests/support/temp_folder.h"
#include "tests/ui/rule_fixtures.h"

namespace {

using testsupport::CScriptedPrompt;

using uitest::TestServer;

struct Fixture {
  std::vector<CDnsServer> servers{TestServer(10, L"plain", EDnsProtocol::Plain, false),
                                  TestServer(11, L"secure", EDnsProtocol::Dot, true)};
  std::vector<CDnsPool> pools;
  std::vector<SNetInterface> list;
  Fixture() {
    CDnsPool pool;
    pool.id = 20;
    pool.name = L"mixed";
    pool.serverIds = {11, 10};
    pools.push_back(pool);
    list = BuildRuleActionList({}, {});
    SNetInterface eth;
    eth.id = L"{0A1B2C3D-0000-1111-2222-333344445555}";
    eth.name = L"eth0";
    list.push_back(eth);  // down
  }
};

CRule Rule(const wchar_t* name, ERuleAction action, uint32_t id = 0) {
  CRule rule;
  rule.name = name;
  rule.action = action;
  rule.action_id = id;
  return rule;
}

TEST(ApplyRuleTarget, ChoicesBecomeActions) {
  Fixture f;
  // Targets: 0 none, 1 the pool, 2 plain, 3 secure.
  struct Case {
    const char* name;
    int action, target;
    bool ok;
    ERuleAction want;
    uint32_t id;
  } cases[] = {
      {"process_server", 0, 3, true, ERuleAction::ProcessServer, 11},
      {"process_pool", 0, 1, true, ERuleAction::ProcessPool, 20},
      {"bypass", 1, 0, true, ERuleAction::Bypass, 0},
      {"block_keeps_the_target_id", 2, 2, true, ERuleAction::Block, 10},
      {"negative_target_is_none", 0, -1, true, ERuleAction::ProcessServer, 0},
      {"target_beyond_servers", 0, 4, false, ERuleAction::Block, 99},
      {"negative_action", -1, 0, false, ERuleAction::Block, 99},
      {"more_options_is_not_an_entry", 4, 0, false, ERuleAction::Block, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CRule rule = Rule(L"r", ERuleAction::Block, 99);
    EXPECT_EQ(ApplyRuleTarget(rule, c.action, c.target, f.list, f.servers, f.pools), c.ok);
    EXPECT_EQ(rule.action, c.want);
    EXPECT_EQ(rule.action_id, c.id);
  }
  CRule rule = Rule(L"r", ERuleAction::Bypass);
  ASSERT_TRUE(ApplyRuleTarget(rule, 3, 2, f.list, f.servers, f.pools));
  EXPECT_EQ(rule.interface_id, L"{0A1B2C3D-0000-1111-2222-333344445555}");
  EXPECT_EQ(rule.interface_name, L"eth0");
  ASSERT_TRUE(ApplyRuleTarget(rule, 0, 2, f.list, f.servers, f.pools));
  EXPECT_TRUE(rule.interface_id.empty());
  EXPECT_TRUE(rule.interface_name.empty());
}

TEST(CheckRuleDnssecSupport, NamesTheServerOrThePool) {
  Fixture f;
  struct Case {
    const char* name;
    CRule rule;
    const wchar_t* text;  // null: passes
  } cases[] = {
      {"bypass", Rule(L"r", ERuleAction::Bypass), L"DNSSEC options cannot be set in Bypass or Block mode."},
      {"server", Rule(L"r", ERuleAction::ProcessServer, 10),
       L"DNSSEC options cannot be set because the selected server does not support DNSSEC."},
      {"pool", Rule(L"r", ERuleAction::ProcessPool, 20),
       L"DNSSEC options cannot be set because the selected pool contains a server that does not support DNSSEC."},
      {"supported", Rule(L"r", ERuleAction::ProcessServer, 11), nullptr},
      {"unknown_id", Rule(L"r", ERuleAction::ProcessServer, 77), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CScriptedPrompt prompt;
    if (c.text) prompt.Answer(IDOK);
    EXPECT_EQ(CheckRuleDnssecSupport(c.rule, f.servers, f.pools, true), c.text == nullptr);
    if (c.text) {
      ASSERT_EQ(prompt.boxes.size(), 1u);
      EXPECT_EQ(prompt.boxes[0].text, c.text);
      EXPECT_EQ(prompt.boxes[0].caption, L"Rule");
      EXPECT_EQ(prompt.boxes[0].type, MB_ICONEXCLAMATION);
    }
  }
}

TEST(DescribeServer, AddressPortAndProtocol) {
  CDnsServer doh = TestServer(1, L"d", EDnsProtocol::Doh, true);
  doh.doh_host_name = "dns.example";
  doh.doh_path = "/dns-query";
  doh.port = 8443;
  EXPECT_EQ(DescribeServer(doh), L"https://dns.example/dns-query (DNS over HTTPS)");
  CDnsServer plain = TestServer(2, L"p", EDnsProtocol::Plain, false);
  EXPECT_EQ(DescribeServer(plain), L"192.0.2.2 (Plain)");
  plain.port = 5353;
  EXPECT_EQ(DescribeServer(plain), L"192.0.2.2:5353 (Plain)");
  plain.family = AF_INET6;
  plain.address.assign(16, 0);
  plain.address[15] = 1;
  EXPECT_EQ(DescribeServer(plain), L"[::1]:5353 (Plain)");
  CDnsServer next = TestServer(3, L"n", EDnsProtocol::NextDns, true);
  next.nextdns_id = "abc123";
  EXPECT_EQ(DescribeServer(next).substr(0, 24), L"Configuration ID: abc123");
}

TEST(DescribeChoices, ActionAndTargetTexts) {
  Fixture f;
  sockaddr_storage dns{};
  auto* in = reinterpret_cast<sockaddr_in*>(&dns);
  in->sin_family = AF_INET;
  inet_pton(AF_INET, "192.0.2.53", &in->sin_addr);
  auto d = DescribeChoices(0, 0, true, f.list, f.servers, f.pools, {dns});
  EXPECT_EQ(d.action, L"Resolve through the selected DNS server and default interface.");
  EXPECT_EQ(d.target, L"System default DNS server will be used.");
  EXPECT_EQ(d.targetAddresses, L"(192.0.2.53)");
  d = DescribeChoices(2, -1, false, f.list, f.servers, f.pools, {});
  EXPECT_EQ(d.action, L"DNS request will be blocked.");
  EXPECT_EQ(d.target, L"No DNS server will be used.");
  EXPECT_EQ(DescribeChoices(2, -1, true, f.list, f.servers, f.pools, {}).action,
            L"Hostnames will be resolved as 0.0.0.0");
  EXPECT_EQ(DescribeChoices(0, 1, true, f.list, f.servers, f.pools, {}).target,
            L"The best DNS server from this pool will be used.");
  EXPECT_EQ(DescribeChoices(-1, -1, true, f.list, f.servers, f.pools, {}).action, L"Please select the action.");
}

CRuleListModel ListModel(Fixture& f, std::vector<CRule> rules) {
  CRule def;
  def.InitDefault();
  rules.push_back(def);
  return CRuleListModel(rules, f.servers, f.pools, false, f.list);
}

TEST(RuleListModel, DefaultRowIsLocked) {
  Fixture f;
  auto model = ListModel(f, {Rule(L"a", ERuleAction::Block), Rule(L"b", ERuleAction::ProcessServer, 11)});
  EXPECT_TRUE(model.Row(2).locked);
  EXPECT_FALSE(model.Row(1).locked);
  CScriptedPrompt prompt;
  for (int i = 0; i < 4; ++i) prompt.Answer(IDOK);
  EXPECT_FALSE(model.Clone(2));
  EXPECT_EQ(model.Remove(2), 2);
  EXPECT_EQ(model.MoveUp(2), 2);
  EXPECT_EQ(model.MoveDown(-1), -1);
  EXPECT_EQ(model.Count(), 3);
  EXPECT_EQ(model.rules[2].name, L"Default");
  ASSERT_EQ(prompt.boxes.size(), 4u);
  EXPECT_EQ(prompt.boxes[0].text.substr(0, 33), L"You cannot clone the Default rule");
  EXPECT_EQ(prompt.boxes[1].text.substr(0, 35), L"The Default rule cannot be removed.");
  EXPECT_EQ(prompt.boxes[2].text.substr(0, 33), L"The Default rule cannot be moved.");
  EXPECT_EQ(prompt.boxes[3].text, L"Please select a rule first.");
  for (const auto& box : prompt.boxes) {
    EXPECT_EQ(box.caption, L"DNS Rules");
    EXPECT_EQ(box.type, MB_ICONINFORMATION);
  }
}

TEST(RuleListModel, EditsKeepDefaultLast) {
  Fixture f;
  auto model = ListModel(f, {Rule(L"a", ERuleAction::Block), Rule(L"b", ERuleAction::Bypass)});
  EXPECT_EQ(model.MoveUp(0), 0);
  EXPECT_EQ(model.MoveDown(1), 1);
  EXPECT_EQ(model.rules[0].name, L"a");
  EXPECT_EQ(model.MoveDown(0), 1);
  EXPECT_EQ(model.rules[1].name, L"a");
  EXPECT_TRUE(model.Clone(1));
  EXPECT_EQ(model.rules[2].name, L"Copy of a");
  EXPECT_EQ(model.Add(Rule(L"new", ERuleAction::ProcessServer)), 3);
  EXPECT_EQ(model.rules.back().name, L"Default");
  EXPECT_EQ(model.Remove(0), 0);
  EXPECT_EQ(model.rules[0].name, L"a");
  auto row = model.Row(0);
  EXPECT_EQ(row.targetText, L"None");
  EXPECT_TRUE(row.targetChoices.empty());
  EXPECT_EQ(row.actionChoices.back(), kMoreOptions);
  EXPECT_EQ(row.actionChoices[3], L"Process via eth0 [down]");
}

TEST(RuleListModel, CellCommitsAndGreyRows) {
  Fixture f;
  auto model = ListModel(f, {Rule(L"a", ERuleAction::Block)});
  // The Block row has no target cell and reads -1.
  ASSERT_TRUE(model.CommitCell(0, 3, -1, nullptr));
  EXPECT_EQ(model.rules[0].action, ERuleAction::ProcessServer);
  EXPECT_EQ(model.rules[0].action_id, 0u);
  EXPECT_FALSE(model.Row(0).grey);
  model.ignoreIfDown = true;
  EXPECT_TRUE(model.Row(0).grey);
  // "[more options]" cancelled: unchanged.
  CRule before = model.rules[0];
  EXPECT_FALSE(model.CommitCell(0, 4, 3, [](int&) { return false; }));
  EXPECT_EQ(model.rules[0].interface_id, before.interface_id);
  EXPECT_EQ(model.rules[0].action_id, before.action_id);
}

TEST(RuleListModel, OkQuestions) {
  Fixture f;
  {
    auto model = ListModel(f, {});
    CScriptedPrompt prompt;
    prompt.Answer(IDNO);
    int edit = -1;
    EXPECT_EQ(model.Ok(edit), CRuleListModel::EOk::Stay);
    EXPECT_EQ(prompt.boxes[0].caption, L"DNS Rules");
    EXPECT_EQ(prompt.boxes[0].text.substr(0, 58), L"You have not specified any DNS server in the Default rule.");
  }
  CRule bad = Rule(L"a", ERuleAction::ProcessServer, 10);
  bad.dnssec_reject_unsigned = true;
  CRule blocked = Rule(L"b", ERuleAction::Block, 11);
  blocked.interface_id = L"x";
  auto model = ListModel(f, {bad, blocked});
  {
    CScriptedPrompt prompt;
    prompt.Answer(IDOK);
    prompt.Answer(IDYES);
    int edit = -1;
    EXPECT_EQ(model.Ok(edit), CRuleListModel::EOk::Edit);
    EXPECT_EQ(edit, 0);
    EXPECT_EQ(prompt.boxes[1].text, L"Do you want to edit the conflicting rule now?");
  }
  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  prompt.Answer(IDNO);
  int edit = -1;
  EXPECT_EQ(model.Ok(edit), CRuleListModel::EOk::Close);
  EXPECT_EQ(model.rules[1].action_id, 0u);
  EXPECT_TRUE(model.rules[1].interface_id.empty());
}

TEST(RuleForm, OkPipelineRefusals) {
  Fixture f;
  struct Case {
    const char* name;
    std::function<void(CRuleForm&)> edit;
    std::vector<int> answers;
    const wchar_t* text;  // the last box
    CRuleForm::EFocus focus;
    bool ok;
  } cases[] = {
      {"empty_hosts", [](CRuleForm& form) { form.hostnames.clear(); }, {IDOK},
       L"Hostnames field cannot be empty.\nPlease put * (asterisk symbol) to match all hostnames.",
       CRuleForm::EFocus::Hostnames, false},
      {"missing_file", [](CRuleForm& form) { form.hostnames = L"file://absent.txt"; }, {IDOK}, nullptr,
       CRuleForm::EFocus::Hostnames, false},
      {"no_target", [](CRuleForm& form) { form.target = -1; }, {IDOK}, L"Please selecet DNS Server.",
       CRuleForm::EFocus::Target, false},
      {"dnssec_server", [](CRuleForm& form) { form.target = 2, form.rejectUnsigned = true; }, {IDOK},
       L"DNSSEC options cannot be set because the selected server does not support DNSSEC.",
       CRuleForm::EFocus::None, false},
      {"reject_question_no", [](CRuleForm& form) { form.target = 3, form.rejectUnsigned = true; }, {IDNO}, nullptr,
       CRuleForm::EFocus::RejectUnsigned, false},
      {"validation_question_no", [](CRuleForm& form) { form.target = 3, form.localValidation = true; }, {IDNO},
       nullptr, CRuleForm::EFocus::LocalValidation, false},
      {"both_yes", [](CRuleForm& form) { form.target = 3, form.localValidation = form.rejectUnsigned = true; },
       {IDYES, IDYES}, nullptr, CRuleForm::EFocus::None, true},
      {"block", [](CRuleForm& form) { form.ChangeAction(2, nullptr); }, {}, nullptr, CRuleForm::EFocus::None, true},
  };
  testsupport::TempFolder folder;
  std::wstring conf = Utf8ToWide((folder.Path() / "conf.xml").string());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CRule rule = Rule(L"r", ERuleAction::ProcessServer, 11);
    CRuleForm form(rule, f.list, f.servers, f.pools, false);
    EXPECT_EQ(form.target, 3);
    c.edit(form);
    CScriptedPrompt prompt;
    for (int a : c.answers) prompt.Answer(a);
    CRuleForm::EFocus focus;
    CRule edited = rule;
    EXPECT_EQ(form.Ok(edited, conf, focus), c.ok);
    EXPECT_EQ(focus, c.focus);
    if (c.text) {
      EXPECT_EQ(prompt.boxes.back().text, c.text);
    }
    if (!c.ok) {
      EXPECT_EQ(edited.action, rule.action);
    }
    if (std::string(c.name) == "missing_file") {
      EXPECT_EQ(prompt.boxes.back().text.substr(0, 20), L"Hostname list error:");
    }
  }
}

TEST(RuleForm, BlockRemembersTheTargetAndMoreOptionsCancelRestores) {
  Fixture f;
  CRule rule = Rule(L"r", ERuleAction::ProcessPool, 20);
  CRuleForm form(rule, f.list, f.servers, f.pools, false);
  EXPECT_EQ(form.target, 1);
  form.ChangeAction(2, nullptr);
  EXPECT_EQ(form.target, -1);
  EXPECT_FALSE(form.targetEnabled);
  form.ChangeAction(1, nullptr);
  EXPECT_EQ(form.target, 0);
  form.ChangeAction(0, nullptr);
  EXPECT_EQ(form.target, 1);
  EXPECT_TRUE(form.targetEnabled);
  form.ChangeAction(static_cast<int>(f.list.size()), [](int&) { return false; });
  EXPECT_EQ(form.action, 0);
  // A new entry is listed before "[more options]", which stays last.
  form.ChangeAction(static_cast<int>(f.list.size()), [&](int& choice) {
    SNetInterface entry;
    entry.idType = InterfaceIdSsid;
    entry.ssid = L"Cafe";
    f.list.push_back(entry);
    choice = static_cast<int>(f.list.size()) - 1;
    return true;
  });
  EXPECT_EQ(form.action, 4);
  auto texts = form.ActionTexts();
  EXPECT_EQ(texts.size(), 6u);
  EXPECT_EQ(texts[4].substr(0, 12), L"Process via ");
  EXPECT_EQ(texts[5], kMoreOptions);
}

TEST(HostsFile, NamesAndCopies) {
  for (auto [name, symbol] : {std::pair{L"my hosts", L"\" \""}, {L"a;b", L"\";\""}, {L"xfile://y", L"\"file://\""}})
    EXPECT_EQ(HostsFileNameError(name), std::wstring(L"File name cannot contain symbol ") + symbol);
  EXPECT_TRUE(HostsFileNameError(L"hosts.txt").empty());

  testsupport::TempFolder source, target;
  std::ofstream(source.Path() / "my hosts") << "0.0.0.0 a.example\n";
  std::ofstream(source.Path() / "block.txt") << "0.0.0.0 ads.example\n";
  std::wstring folder = Utf8ToWide((target.Path() / "").string());
  std::wstring hosts = L"x.example";
  {
    CScriptedPrompt prompt;
    prompt.Answer(IDOK);
    EXPECT_FALSE(ImportHostsFile(Utf8ToWide((source.Path() / "my hosts").string()), folder, hosts));
    EXPECT_FALSE(std::filesystem::exists(target.Path() / "my hosts"));
  }
  {
    CScriptedPrompt prompt;
    prompt.Answer(IDOK);
    ASSERT_TRUE(ImportHostsFile(Utf8ToWide((source.Path() / "block.txt").string()), folder, hosts));
    EXPECT_EQ(prompt.boxes[0].caption, L"Rules");
    EXPECT_EQ(prompt.boxes[0].type, MB_ICONINFORMATION);
  }
  EXPECT_EQ(hosts, L"x.example\r\nfile://block.txt\r\n");
  // Picked from the target folder itself: refused, the bytes kept.
  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  prompt.Answer(IDOK);
  EXPECT_FALSE(ImportHostsFile(folder + L"block.txt", folder, hosts));
  EXPECT_EQ(prompt.boxes[1].text.substr(0, 12), L"Cannot copy ");
  EXPECT_EQ(std::filesystem::file_size(target.Path() / "block.txt"), 20u);
}

// A conf-file outside the per-user folder finds a From File copy beside it
// after a save and a load.
TEST(HostsFile, BesideTheConfFileSurvivesSaveAndLoad) {
  testsupport::TempFolder folder, source;
  std::wstring conf = Utf8ToWide((folder.Path() / "ServiceConfiguration.xml").string());
  std::ofstream(source.Path() / "list.txt") << "0.0.0.0 ads.example\n";
  std::wstring hosts;
  {
    CScriptedPrompt prompt;
    prompt.Answer(IDOK);
    ASSERT_TRUE(ImportHostsFile(Utf8ToWide((source.Path() / "list.txt").string()), HostsFolder(conf), hosts));
  }
  CProfile profile;
  profile.ResetToDefault();
  CRule rule = Rule(L"ads", ERuleAction::Block);
  std::vector<SNetInterface> list = BuildRuleActionList({}, {});
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  CRuleForm form(rule, list, servers, pools, false);
  form.hostnames = hosts;
  form.ChangeAction(2, nullptr);
  CRuleForm::EFocus focus;
  ASSERT_TRUE(form.Ok(rule, conf, focus));
  profile.rules.insert(profile.rules.begin(), rule);
  std::wstring error;
  ASSERT_TRUE(profile.Save(error, conf)) << WideToUtf8(error);
  CProfile loaded;
  bool openFailed = false, checkVersion = false;
  ASSERT_TRUE(loaded.Load(error, openFailed, checkVersion, conf)) << WideToUtf8(error);
  ASSERT_EQ(loaded.rules.size(), 2u);
  EXPECT_TRUE(loaded.rules[0].Match("ads.example"));
  EXPECT_FALSE(loaded.rules[0].Match("other.example"));
}

}  // namespace
