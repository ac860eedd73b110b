#include "Quorvane/ui/server_pool_editor.h"

#include <gtest/gtest.h>

#include "Quorvane/config/object_id.h"
#include "Quorvane/platform/clock.h"
#include "tests/app/app_fixture.h"
#include "tests/support/config_records.h"
#include "tests/ui/check_engine_double.h"

namespace {

using uitest::CRecordingCheckEngine;

using testsupport::CScriptedPrompt;

CDnsServer Server(uint32_t id, const wchar_t* name, EDnsProtocol protocol) {
  return testsupport::MakeServer(id, name, protocol);
}

CDnsPool Pool(uint32_t id, const wchar_t* name, std::vector<uint32_t> servers, std::vector<uint32_t> relays = {}) {
  return testsupport::MakePool(id, name, EPoolType::Redundancy, std::move(servers), std::move(relays));
}

CRule Rule(const wchar_t* name, ERuleAction action, uint32_t id) {
  CRule rule;
  rule.name = name;
  rule.action = action;
  rule.action_id = id;
  return rule;
}

class Editor : public testsupport::AppTest {
 protected:
  // 1, 2 plain; 3 DNSCrypt; 4 DNSCrypt without padding; 5 relay.
  std::vector<CDnsServer> servers{Server(1, L"one", EDnsProtocol::Plain), Server(2, L"two", EDnsProtocol::Plain),
                                  Server(3, L"crypt", EDnsProtocol::DnsCrypt),
                                  Server(4, L"nopad", EDnsProtocol::DnsCrypt), Server(5, L"relay", EDnsProtocol::Relay)};
  std::vector<CDnsPool> pools;
  std::vector<CRule> rules;
  CScriptedPrompt prompt;
  ServerPoolEditor editor{servers, pools, rules};

  Editor() { servers[3].dnscrypt_disable_padding = true; }

  void ExpectBox(const std::wstring& text, const wchar_t* caption, unsigned type) {
    ASSERT_FALSE(prompt.boxes.empty());
    EXPECT_EQ(prompt.boxes.back().text, text);
    EXPECT_EQ(prompt.boxes.back().caption, caption);
    EXPECT_EQ(prompt.boxes.back().type, type);
  }
  std::vector<uint32_t> Ids() const {
    std::vector<uint32_t> ids;
    for (const CDnsServer& s : servers) ids.push_back(s.id);
    return ids;
  }
};

TEST_F(Editor, RemovingTwoOfWhichTheSecondIsPooledAndAnsweringNoKeepsTheFirstRemoved) {
  pools.push_back(Pool(20, L"p", {2}));
  prompt.Answer(IDNO);
  EXPECT_FALSE(editor.RemoveServers({1, 2}));
  ExpectBox(L"The servers will be remove from the pools as well. Continue?", L"DNS servers", MB_YESNO | 0x20);
  EXPECT_EQ(Ids(), (std::vector<uint32_t>{2, 3, 4, 5}));
  EXPECT_EQ(pools[0].serverIds, (std::vector<uint32_t>{2}));
}

TEST_F(Editor, RemovingAsksOnceAndErasesFromRelayAndServerLists) {
  pools.push_back(Pool(20, L"p", {3}, {5}));
  pools.push_back(Pool(21, L"q", {3, 1, 3}));
  prompt.Answer(IDYES);
  EXPECT_TRUE(editor.RemoveServers({3, 5}));
  EXPECT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(Ids(), (std::vector<uint32_t>{1, 2, 4}));
  EXPECT_TRUE(pools[0].serverIds.empty());
  EXPECT_TRUE(pools[0].relayIds.empty());
  EXPECT_EQ(pools[1].serverIds, (std::vector<uint32_t>{1, 3}));  // the first occurrence only
}

TEST_F(Editor, ARuleOfAnyActionNamingTheServerRefusesItsRemoval) {
  for (ERuleAction action : {ERuleAction::ProcessServer, ERuleAction::Bypass, ERuleAction::Block}) {
    rules = {Rule(L"office", action, 2)};
    prompt.Answer(IDOK);
    EXPECT_FALSE(editor.RemoveServers({1, 2, 3}));
    ExpectBox(L"Server two is used in the rule office. \nPlease edit or remove the rule first.", L"DNS servers",
              MB_OK | MB_ICONEXCLAMATION);
  }
  EXPECT_EQ(Ids(), (std::vector<uint32_t>{2, 3, 4, 5}));
}

TEST_F(Editor, DropAddsRelaysToRelayIdsNothingTwiceAndStopsAtTheFirstInvalidCopy) {
  pools.push_back(Pool(20, L"p", {}));
  pools[0].type = EPoolType::Balancing;
  const std::vector<uint32_t> order = editor.DragOrder({5, 3, 3});
  EXPECT_EQ(order, (std::vector<uint32_t>{3, 3, 5}));
  EXPECT_TRUE(editor.Drop(order, 20));
  EXPECT_EQ(pools[0].serverIds, (std::vector<uint32_t>{3}));
  EXPECT_EQ(pools[0].relayIds, (std::vector<uint32_t>{5}));

  // A plain server cannot join a pool with relays: 3 stays, 1 is refused, 4 never tried.
  prompt.Answer(IDOK);
  EXPECT_FALSE(editor.Drop({1, 4}, 20));
  EXPECT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].caption, L"DNS server pools");
  EXPECT_NE(prompt.boxes[0].text.find(L"Only DNSCrypt servers can be used with relays."), std::wstring::npos);
  EXPECT_EQ(pools[0].serverIds, (std::vector<uint32_t>{3}));
}

TEST_F(Editor, ADroppedRelayAloneIsRefusedAndNothingOverAnEmptyTreeGivesTheHint) {
  pools.push_back(Pool(20, L"p", {}));
  prompt.Answer(IDOK);
  EXPECT_FALSE(editor.Drop({5}, 20));
  ExpectBox(L"Pool p does not have any servers.", L"DNS server pools", MB_OK | MB_ICONEXCLAMATION);
  EXPECT_TRUE(pools[0].relayIds.empty());
  editor.DropOnNothing();  // pools exist: no box
  pools.clear();
  prompt.Answer(IDOK);
  editor.DropOnNothing();
  ExpectBox(L"Please click \"Create\" button to create a pool of DNS servers.", L"DNS server pools",
            MB_OK | MB_ICONINFORMATION);
}

TEST_F(Editor, OkRefusesAPoolWithOnlyRelaysThenSortsByUtf16Units) {
  pools.push_back(Pool(20, L"relays", {}, {5}));
  prompt.Answer(IDOK);
  EXPECT_FALSE(editor.Ok());
  ExpectBox(L"Pool relays does not have any DNS servers.\nRemove it or add servers.", L"Server Pool",
            MB_OK | MB_ICONEXCLAMATION);
  pools[0].serverIds = {1};
  prompt.Answer(IDOK);
  EXPECT_FALSE(editor.Ok());  // a plain server with relays
  EXPECT_EQ(prompt.boxes.back().caption, L"Server Pool");

  pools = {Pool(21, L"b", {1}), Pool(22, L"a", {2})};
  // U+1F600 is the surrogate pair D83D DE00, below U+FF5E in UTF-16 units.
  servers = {Server(1, L"\uFF5E", EDnsProtocol::Plain), Server(2, L"\U0001F600", EDnsProtocol::Plain),
             Server(3, L"Z", EDnsProtocol::Plain), Server(4, L"a", EDnsProtocol::Plain)};
  ASSERT_TRUE(editor.Ok());
  EXPECT_EQ(Ids(), (std::vector<uint32_t>{3, 4, 2, 1}));
  EXPECT_EQ(pools[0].name, L"a");
}

TEST_F(Editor, PoolsTakeTheirIdAtOnceAndRemovalRespectsRules) {
  const uint32_t next = g_NextObjectId;
  const uint32_t id = editor.CreatePool();
  EXPECT_EQ(id, next);
  EXPECT_EQ(g_NextObjectId, next + 1);
  EXPECT_EQ(pools.back().name, L"New Pool");
  EXPECT_EQ(pools.back().GetDisplayName(), L"New Pool [Redundancy]");
  pools.push_back(Pool(30, L"kept", {1, 2}, {}));

  rules = {Rule(L"r", ERuleAction::ProcessPool, id)};
  prompt.Answer(IDOK);
  EXPECT_FALSE(editor.RemoveTreeItems({{30, 1}, {id, 0}}));
  ExpectBox(L"Pool New Pool is used in the rule r. \nPlease edit or remove the rule first.", L"DNS server pools",
            MB_OK | MB_ICONEXCLAMATION);
  EXPECT_EQ(pools.size(), 2u);
  EXPECT_EQ(pools[1].serverIds.size(), 2u);

  rules.clear();
  EXPECT_TRUE(editor.RemoveTreeItems({{id, 0}, {30, 1}}));
  ASSERT_EQ(pools.size(), 1u);
  EXPECT_EQ(pools[0].serverIds, (std::vector<uint32_t>{2}));

  prompt.Answer(IDOK);
  EXPECT_FALSE(editor.EditPoolType(0, [](CDnsPool&) { return true; }));
  ExpectBox(L"Please select a pool to set its type.", L"DNS server pools", MB_OK | MB_ICONINFORMATION);
}

TEST_F(Editor, LabelEditsRefuseEmptyNames) {
  pools.push_back(Pool(20, L"p", {1}));
  prompt.Answer(IDOK);
  EXPECT_FALSE(editor.RenameServer(1, L""));
  ExpectBox(L"The name of the server cannot be an empty string.", L"DNS Server", MB_OK | MB_ICONEXCLAMATION);
  prompt.Answer(IDOK);
  EXPECT_FALSE(editor.RenamePool(20, L""));
  ExpectBox(L"The name of the pool cannot be an empty string.", L"Server Pool", MB_OK | MB_ICONEXCLAMATION);
  EXPECT_TRUE(editor.RenameServer(1, L"uno"));
  EXPECT_TRUE(editor.RenamePool(20, L"pp"));
  EXPECT_EQ(servers[0].name, L"uno");
  EXPECT_EQ(pools[0].name, L"pp");
}

TEST_F(Editor, PoolColoursFollowTheirMembers) {
  pools = {Pool(20, L"p", {1, 2}), Pool(21, L"r", {3}, {5}), Pool(22, L"empty", {})};
  auto set = [&](uint32_t id, EServerStatus status) { servers[FindServerIndexById(servers, id)].status = status; };
  struct Case {
    const char* name;
    EServerStatus one, two, crypt, relay;
    EItemColour p, r;
  } cases[] = {
      {"all_ok", EServerStatus::Ok, EServerStatus::Ok, EServerStatus::Ok, EServerStatus::Ok, EItemColour::Green,
       EItemColour::Green},
      {"failed_and_unknown", EServerStatus::Failed, EServerStatus::Unknown, EServerStatus::Ok, EServerStatus::Failed,
       EItemColour::Default, EItemColour::Red},
      {"all_failed", EServerStatus::Failed, EServerStatus::Failed, EServerStatus::Failed, EServerStatus::Unknown,
       EItemColour::Red, EItemColour::Default},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set(1, c.one), set(2, c.two), set(3, c.crypt), set(5, c.relay);
    EXPECT_EQ(editor.PoolColour(pools[0]), c.p);
    EXPECT_EQ(editor.PoolColour(pools[1]), c.r);
    EXPECT_EQ(editor.PoolColour(pools[2]), EItemColour::Default);
  }
  set(1, EServerStatus::Ok), set(2, EServerStatus::Failed), set(3, EServerStatus::Unknown);
  EXPECT_EQ(MemberColour(servers[0]), EItemColour::Green);
  EXPECT_EQ(MemberColour(servers[1]), EItemColour::Red);
  EXPECT_EQ(MemberColour(servers[2]), EItemColour::Default);
}

TEST(TreeTexts, RttPaddingAndDragLines) {
  EXPECT_EQ(RttPadded(-1), L"    ");
  EXPECT_EQ(RttPadded(7), L"   7");
  EXPECT_EQ(RttPadded(123), L" 123");
  EXPECT_EQ(RttPadded(12345), L"12345");
  CDnsServer server = Server(1, L"one", EDnsProtocol::Dot);
  server.rttMs = 42;
  EXPECT_EQ(MemberText(server), L"  42 one [DNS over TLS]");

  std::vector<std::wstring> names;
  for (int i = 0; i < 11; ++i) names.push_back(L"s" + std::to_wstring(i));
  const std::vector<std::wstring> ten(names.begin(), names.begin() + 10);
  const std::vector<std::wstring> nine(names.begin(), names.begin() + 9);
  EXPECT_EQ(DragImageLines(nine), nine);
  std::vector<std::wstring> tenAndMore = ten;
  tenAndMore.push_back(L"...");
  EXPECT_EQ(DragImageLines(ten), tenAndMore);
  EXPECT_EQ(DragImageLines(names), tenAndMore);
}

TEST_F(Editor, CheckingAPoolPairsItsRelaysWithItsDnsCryptServer) {
  platform::FakeClock clock;
  platform::SetClockSourceForTesting(&clock);
  platform::CMessageQueueWindow window;
  CRecordingCheckEngine engine;
  g_Configuration.checkerSettings.testsPerTime = 15;
  {
    CDnsServerChecker checker(&engine);
    pools = {Pool(20, L"p", {3}, {5})};
    servers[2].status = EServerStatus::Ok;
    servers[2].rttMs = 9;
    editor.StartCheck(checker, {1}, {{20, 0}}, true, window.Handle(), "probe.tarnwick.test");
    ASSERT_EQ(checker.m_checks.size(), 2u);
    EXPECT_EQ(checker.m_checks.front().server.id, 3u);
    EXPECT_EQ(checker.m_checks.back().server.id, 5u);
    EXPECT_EQ(checker.m_checks.back().dnsCryptServer.id, 3u);
    EXPECT_EQ(servers[2].rttMs, -1);
    EXPECT_EQ(servers[2].status, EServerStatus::Unknown);

    // From the rows: a relay with only the unpadded DNSCrypt server is refused.
    prompt.Answer(IDOK);
    editor.StartCheck(checker, {5, 4}, {}, false, window.Handle(), "probe.tarnwick.test");
    ExpectBox(L"Relays can only be tested together with a DNSCrypt server that does not have query padding disabled.",
              L"DNS Server Relay", MB_OK | MB_ICONEXCLAMATION);
    ASSERT_EQ(checker.m_checks.size(), 1u);
    EXPECT_EQ(checker.m_checks.front().server.id, 4u);
    prompt.Answer(IDOK);
    editor.StartCheck(checker, {5}, {}, false, window.Handle(), "probe.tarnwick.test");
    ExpectBox(L"Relays can only be tested together with a DNSCrypt server.", L"DNS Server Relay",
              MB_OK | MB_ICONEXCLAMATION);
    // Padded beats unpadded whatever their order.
    editor.StartCheck(checker, {4, 3, 5}, {}, false, window.Handle(), "probe.tarnwick.test");
    EXPECT_EQ(checker.m_checks.back().dnsCryptServer.id, 3u);

    SServerCheckResult result;
    result.serverId = 4;
    result.ok = true;
    result.rttMs = 17;
    EXPECT_EQ(editor.ApplyCheckResult(result), 3);
    EXPECT_EQ(servers[3].status, EServerStatus::Ok);
    EXPECT_EQ(servers[3].rttMs, 17);
    result.serverId = 99;
    EXPECT_EQ(editor.ApplyCheckResult(result), -1);
    checker.Stop();
  }
  for (const auto& message : window.TakeAll()) delete reinterpret_cast<SServerCheckResult*>(message.wParam);
  platform::SetClockSourceForTesting(nullptr);
}

TEST_F(Editor, ImportSkipsServersEqualButForIdAndName) {
  CDnsServer same = servers[0];
  same.id = 77;
  same.name = L"other name";
  CDnsServer fresh = testsupport::MakeServer(78, L"new", EDnsProtocol::Plain, "198.51.100.1");
  EXPECT_EQ(editor.Import({same, fresh}), 1);
  EXPECT_EQ(servers.back().id, 78u);
}

}  // namespace
