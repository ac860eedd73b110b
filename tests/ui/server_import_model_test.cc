// The import dialogs' model: sort order, settings checks, marks, checks with
// relays, results and messages.
#include "Quorvane/ui/server_import_model.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <random>

namespace {

CDnsServer Server(uint32_t id, EDnsProtocol protocol, const wchar_t* name) {
  CDnsServer server;
  server.id = id;
  server.name = name;
  server.protocol = protocol;
  server.family = AF_INET;
  server.address = {192, 0, 2, static_cast<uint8_t>(id % 256)};
  return server;
}

TEST(ServerRowOrder, IsAStrictWeakOrderingOnEveryColumn) {
  std::mt19937 random(7);
  std::vector<CDnsServer> servers;
  const EDnsProtocol protocols[] = {EDnsProtocol::Plain, EDnsProtocol::DnsCrypt, EDnsProtocol::Doh,
                                    EDnsProtocol::Relay};
  const wchar_t* names[] = {L"a", L"A", L"b", L"B"};
  for (uint32_t id = 1; id <= 24; ++id) {
    CDnsServer s = Server(id, protocols[random() % 4], names[random() % 4]);
    s.status = static_cast<EServerStatus>(random() % 3);
    s.rttMs = static_cast<int32_t>(random() % 3) - 1;
    if (random() % 3 == 0) s.address = ByteString(16, static_cast<uint8_t>(random() % 2));
    if (s.protocol == EDnsProtocol::Doh) {
      s.doh_host_name = random() % 2 ? "Doh.example" : "doh.example";
      s.doh_path = "/q";
    }
    servers.push_back(s);
  }
  std::vector<uint32_t> ids;
  for (const CDnsServer& s : servers) ids.push_back(s.id);
  ids.push_back(90);  // rows whose servers are missing
  ids.push_back(91);
  for (int statusColumn : {1, 3}) {
    for (int column = 0; column < 5; ++column) {
      SCOPED_TRACE(testing::Message() << "status column " << statusColumn << ", column " << column);
      auto cmp = [&](uint32_t a, uint32_t b) { return CompareServerRows(servers, a, b, column, statusColumn); };
      for (uint32_t a : ids) {
        EXPECT_EQ(cmp(a, a), 0);
        for (uint32_t b : ids) {
          EXPECT_EQ(cmp(a, b) < 0, cmp(b, a) > 0);
          for (uint32_t c : ids) {
            if (cmp(a, b) < 0 && cmp(b, c) < 0) {
              EXPECT_LT(cmp(a, c), 0);
            }
            if (cmp(a, b) == 0 && cmp(b, c) == 0) {
              EXPECT_EQ(cmp(a, c), 0);
            }
          }
        }
      }
      std::vector<uint32_t> sorted = ids;
      std::sort(sorted.begin(), sorted.end(), [&](uint32_t a, uint32_t b) { return cmp(a, b) < 0; });
      EXPECT_EQ(sorted[sorted.size() - 2], 90u);
      EXPECT_EQ(sorted.back(), 91u);
    }
  }
}

TEST(ServerRowOrder, DohSortsAfterOthersAndNamesIgnoreCase) {
  std::vector<CDnsServer> servers = {Server(1, EDnsProtocol::Doh, L"beta"), Server(2, EDnsProtocol::Plain, L"ALPHA")};
  EXPECT_GT(CompareServerRows(servers, 1, 2, 2, 3), 0);
  EXPECT_GT(CompareServerRows(servers, 1, 2, 0, 3), 0);
  servers[1].name = L"BETA";
  EXPECT_EQ(CompareServerRows(servers, 1, 2, 0, 3), 0);
}

TEST(ImportSettings, ValidatorTable) {
  struct Case {
    const char* name;
    std::string urls;
    std::wstring host, perTime;
    std::wstring refusal;
    std::string wantHost;
    int wantPerTime;
  } cases[] = {
      {"accepted", "https://a.example/l.md\r\n", L"Test.Example", L"15", L"", "test.example", 15},
      {"empty_host_keeps_default", "https://a.example/", L"", L"1", L"", g_DefaultTestHost, 1},
      {"leading_digits", "https://a.example/", L"x", L"50abc", L"", "x", 50},
      {"plus_sign", "https://a.example/", L"x", L"+7", L"", "x", 7},
      {"leading_blank_url", " https://a.example/", L"x", L"5", L"The URL must start with http:// or https://", "", 0},
      {"no_urls", "\r\n", L"x", L"5", L"You did not specify any valid URLs for import.", "", 0},
      {"dash", "https://a.example/", L"a-b", L"5", L"Test domain contains incorrect symbols.", "", 0},
      {"underscore", "https://a.example/", L"a_b", L"5", L"Test domain contains incorrect symbols.", "", 0},
      {"letters", "https://a.example/", L"x", L"abc", L"Incorrect number of servers per time.", "", 0},
      {"sign_alone", "https://a.example/", L"x", L"-", L"Incorrect number of servers per time.", "", 0},
      {"zero", "https://a.example/", L"x", L"0", L"The number of servers per time should be between 1 and 50.", "", 0},
      {"fifty_one", "https://a.example/", L"x", L"51", L"The number of servers per time should be between 1 and 50.", "", 0},
      {"overflow", "https://a.example/", L"x", L"99999999999999", L"The number of servers per time should be between 1 and 50.", "", 0},
      {"negative_overflow", "https://a.example/", L"x", L"-99999999999999", L"The number of servers per time should be between 1 and 50.", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SImportSettingsResult result = ValidateImportSettings(c.urls, c.host, c.perTime);
    EXPECT_EQ(result.refusal, c.refusal);
    if (c.refusal.empty()) {
      EXPECT_EQ(result.settings.testTarget, c.wantHost);
      EXPECT_EQ(result.settings.testsPerTime, c.wantPerTime);
    }
  }
}

TEST(ImportModel, SummaryTable) {
  struct Case {
    int loaded, failed, serversFailed;
    size_t servers;
    std::wstring text;
  } cases[] = {
      {0, 3, 0, 0, L"No URLs were successfully loaded. Please examine log output for more info."},
      {2, 1, 1, 5, L"Some URLs were not successfully loaded. Please examine log output for more info."},
      {3, 0, 1, 5, L"Some servers were not loaded due the errors. Please examine log output for more info."},
      {3, 0, 0, 0, L"No servers were successfully loaded. Please examine log output for more info."},
      {3, 0, 0, 5, L""},
  };
  for (const Case& c : cases) EXPECT_EQ(ImportSummary(c.loaded, c.failed, c.serversFailed, c.servers), c.text);
}

TEST(ImportModel, MarksButtonAndKeys) {
  CImportModel model;
  model.Append({Server(1, EDnsProtocol::Plain, L"a"), Server(2, EDnsProtocol::Plain, L"b"),
                Server(3, EDnsProtocol::Plain, L"c")});
  model.Append({Server(2, EDnsProtocol::Plain, L"again")});
  ASSERT_EQ(model.rows.size(), 3u);
  EXPECT_EQ(model.CheckButtonLabel(), L"Check All");
  model.SetChecked(1, true);
  EXPECT_EQ(model.CheckButtonLabel(), L"Check Marked");
  model.rows[0].selected = model.rows[1].selected = true;
  model.ToggleSelected();  // the first selected row was unmarked: both become marked
  EXPECT_EQ(model.marked, 2);
  model.ToggleSelected();
  EXPECT_EQ(model.marked, 0);
  model.MarkAll(true);
  EXPECT_EQ(model.marked, 3);
  model.DeleteSelected();
  EXPECT_EQ(model.marked, 1);
  EXPECT_EQ(model.servers.size(), 1u);
  std::vector<CDnsServer> result;
  EXPECT_EQ(model.ImportMarked(result), L"");
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0].id, 3u);
  model.MarkAll(false);
  EXPECT_EQ(model.ImportMarked(result),
            L"You do not have marked any servers. Please use the check marks on the left hand side of the server list.");
  model.Clear();
  EXPECT_EQ(model.ImportMarked(result), L"There are no servers to import. Please load the servers first.");
}

TEST(ImportModel, CheckAllWithRelays) {
  const std::wstring noPartner = L"Relays can only be tested together with a DNSCrypt server.";
  const std::wstring padded =
      L"Relays can only be tested together with a DNSCrypt server that does not have query padding disabled.";
  struct Case {
    const char* name;
    std::vector<CDnsServer> servers;
    std::vector<uint32_t> checked;  // empty: none marked
    std::vector<std::pair<uint32_t, uint32_t>> checks;
    std::vector<std::wstring> messages;
  };
  CDnsServer crypt1 = Server(1, EDnsProtocol::DnsCrypt, L"c1"), crypt2 = Server(2, EDnsProtocol::DnsCrypt, L"c2");
  CDnsServer noPad = crypt2;
  noPad.dnscrypt_disable_padding = true;
  const CDnsServer relay = Server(5, EDnsProtocol::Relay, L"r"), relay2 = Server(6, EDnsProtocol::Relay, L"r2");
  const CDnsServer plain = Server(9, EDnsProtocol::Plain, L"p");
  const Case cases[] = {
      {"last_padded_partner", {crypt1, crypt2, relay, plain}, {}, {{1, 0}, {2, 0}, {9, 0}, {5, 2}}, {}},
      {"padded_partner_before_disabled", {crypt1, noPad, relay}, {}, {{1, 0}, {2, 0}, {5, 1}}, {}},
      {"only_disabled_partner", {noPad, relay, relay2, plain}, {}, {{2, 0}, {9, 0}}, {padded}},
      {"no_partner", {relay, relay2, plain}, {}, {{9, 0}}, {noPartner}},
      {"marked_only", {crypt1, relay, plain}, {5, 9}, {{9, 0}}, {noPartner}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CImportModel model;
    model.Append(c.servers);
    for (size_t i = 0; i < model.rows.size(); ++i) {
      model.servers[i].status = EServerStatus::Failed;
      model.servers[i].rttMs = 40;
      model.rows[i].statusText = L"Bad";
      if (std::count(c.checked.begin(), c.checked.end(), model.rows[i].id)) model.SetChecked(i, true);
    }
    std::vector<std::wstring> messages;
    std::vector<std::pair<uint32_t, uint32_t>> got;
    for (const SImportCheck& check : model.PlanChecks(messages)) got.push_back({check.id, check.partner});
    EXPECT_EQ(got, c.checks);
    EXPECT_EQ(messages, c.messages);
    for (size_t i = 0; i < model.rows.size(); ++i) {
      const bool taken = c.checked.empty() || std::count(c.checked.begin(), c.checked.end(), model.rows[i].id);
      EXPECT_EQ(model.servers[i].status, taken ? EServerStatus::Unknown : EServerStatus::Failed);
      EXPECT_EQ(model.rows[i].statusText.empty(), taken);
    }
  }
}

TEST(ImportModel, ResultsTable) {
  struct Case {
    const char* name;
    EServerStatus before;
    bool ok;
    int32_t rtt;
    EServerStatus after;
    std::wstring text;
    int32_t afterRtt;
  } cases[] = {
      {"ok_with_rtt", EServerStatus::Unknown, true, 42, EServerStatus::Ok, L"42", 42},
      {"ok_without_rtt", EServerStatus::Unknown, true, -1, EServerStatus::Ok, L"OK", -1},
      {"failed", EServerStatus::Unknown, false, -1, EServerStatus::Failed, L"Bad", -1},
      {"failed_stays_failed", EServerStatus::Failed, true, 42, EServerStatus::Failed, L"was", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CImportModel model;
    model.Append({Server(1, EDnsProtocol::Plain, L"a")});
    model.servers[0].status = c.before;
    model.rows[0].statusText = L"was";
    model.rows[0].selected = true;
    model.ApplyResult(1, c.ok, c.rtt);
    model.ApplyResult(77, true, 5);  // not listed: nothing
    EXPECT_EQ(model.servers[0].status, c.after);
    EXPECT_EQ(model.rows[0].statusText, c.text);
    EXPECT_EQ(model.servers[0].rttMs, c.afterRtt);
  }
}

}  // namespace
