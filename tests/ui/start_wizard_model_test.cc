#include "Quorvane/ui/start_wizard_model.h"

#include <gtest/gtest.h>

#include "Quorvane/engine/server_check.h"
#include "Quorvane/foundation/address_utils.h"
#include "tests/app/app_fixture.h"

namespace {

TEST(BuiltinStamps, GoogleDohIsWhatToStampWrites) {
  CDnsServer server;
  server.protocol = EDnsProtocol::Doh;
  server.family = AF_INET;
  server.address = {8, 8, 8, 8};
  server.addressKnown = true;
  server.port = 443;
  server.doh_host_name = "dns.google";
  server.doh_path = "/dns-query";
  server.dnssec_supported = true;
  std::string stamp, error;
  ASSERT_TRUE(server.ToStamp(stamp, error)) << error;
  EXPECT_EQ(stamp, kGoogleDohStamp);
}

TEST(BuiltinStamps, ParseIntoTheirFields) {
  CDnsServer google = MakeBuiltinServer(1);
  EXPECT_EQ(google.name, L"Google DoH");
  EXPECT_EQ(google.protocol, EDnsProtocol::Doh);
  EXPECT_EQ(AddressToText(static_cast<int>(google.family), google.address), "8.8.8.8");
  EXPECT_EQ(google.doh_host_name, "dns.google");
  EXPECT_EQ(google.doh_path, "/dns-query");
  EXPECT_TRUE(google.doh_hashes.empty());
  EXPECT_TRUE(google.dnssec_supported);

  CDnsServer quad9 = MakeBuiltinServer(2);
  EXPECT_EQ(quad9.name, L"Quad9 DNSCrypt");
  EXPECT_EQ(quad9.protocol, EDnsProtocol::DnsCrypt);
  EXPECT_EQ(AddressToText(static_cast<int>(quad9.family), quad9.address), "9.9.9.10");
  EXPECT_EQ(quad9.port, 8443);
  EXPECT_EQ(quad9.dnscrypt_provider_name, "2.dnscrypt-cert.quad9.net");
  EXPECT_EQ(quad9.dnscrypt_public_key.size(), 32u);
  EXPECT_TRUE(quad9.dnscrypt_disable_padding);
  EXPECT_NE(quad9.id, google.id);

  CDnsServer next = MakeBuiltinServer(3);
  EXPECT_EQ(next.protocol, EDnsProtocol::NextDns);
  EXPECT_EQ(next.port, 443);
}

using testsupport::CScriptedPrompt;

struct FakeWizard {
  bool configured = false, webOk = false, fileOk = false;
  int defaults = 0, starts = 0, stops = 0, used = 0;
  bool take = true;
  CWizardModel model{{[this] { return configured; }, [this] { ++defaults; },
                      [this](const CDnsServer&) { ++starts; }, [this] { ++stops; },
                      [this](SServerCheckResult*) { return take; }, [this] { return webOk; },
                      [this] { return fileOk; }, [this](const CDnsServer&) { ++used; }}};
};

SServerCheckResult* Result(bool ok, int rtt) {
  auto* result = new SServerCheckResult;
  result->ok = ok;
  result->rttMs = rtt;
  return result;
}

TEST(WizardModel, OverwriteQuestionOnlyWithAConfiguration) {
  for (bool configured : {false, true}) {
    FakeWizard f;
    f.configured = configured;
    f.model.choice = 0;
    CScriptedPrompt prompt;
    if (configured) prompt.Answer(IDNO);
    if (configured) {
      EXPECT_EQ(f.model.Next(), CWizardModel::ENext::Stay);
      EXPECT_EQ(prompt.boxes[0].type, MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2);
      EXPECT_EQ(f.defaults, 0);
    } else {
      prompt.Answer(IDOK);
      EXPECT_EQ(f.model.Next(), CWizardModel::ENext::EndOk);
      EXPECT_EQ(f.defaults, 1);
      EXPECT_EQ(prompt.boxes[0].caption, L"First Start Wizard");
    }
  }
}

TEST(WizardModel, NextDnsNeedsAnId) {
  FakeWizard f;
  f.model.choice = 3;
  EXPECT_EQ(f.model.Next(), CWizardModel::ENext::Stay);
  EXPECT_EQ(f.model.stage, 2);
  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  f.model.Next();
  EXPECT_EQ(prompt.boxes[0].text, L"Please specify NextDNS Configuration ID.");
  EXPECT_EQ(f.model.stage, 2);
  f.model.nextDnsId = "abc123";
  f.model.Next();
  EXPECT_EQ(f.model.stage, 3);
  EXPECT_EQ(f.starts, 1);
}

TEST(WizardModel, LateResultAfterBackIsIgnored) {
  FakeWizard f;
  f.model.choice = 1;
  f.model.Next();
  ASSERT_EQ(f.model.stage, 3);
  EXPECT_FALSE(f.model.nextEnabled);
  f.model.Back();
  EXPECT_EQ(f.stops, 2);
  f.model.OnResult(Result(false, -1));
  EXPECT_EQ(f.model.stage, 1);
  EXPECT_TRUE(f.model.nextEnabled);
  // In stage 3 a result the checker did not take does nothing either.
  f.model.Next();
  f.take = false;
  f.model.OnResult(Result(true, 12));
  EXPECT_FALSE(f.model.nextEnabled);
  f.take = true;
  f.model.OnResult(Result(true, -1));
  EXPECT_FALSE(f.model.nextEnabled);
  f.model.OnResult(Result(true, 12));
  EXPECT_TRUE(f.model.nextEnabled);
  EXPECT_EQ(f.model.resultText,
            L"Google DoH works properly and it is ready to be used by Tarnwick!\n\nRTT = 12 ms");
  CScriptedPrompt prompt;
  prompt.Answer(IDOK);
  EXPECT_EQ(f.model.Next(), CWizardModel::ENext::EndOk);
  EXPECT_EQ(f.used, 1);
}

TEST(WizardModel, ImportsCancelledStay) {
  FakeWizard f;
  for (int choice : {4, 5}) {
    f.model.choice = choice;
    EXPECT_EQ(f.model.Next(), CWizardModel::ENext::Stay);
    EXPECT_EQ(f.model.stage, 1);
  }
  CScriptedPrompt prompt;
  EXPECT_EQ(f.model.Next(), CWizardModel::ENext::Stay);  // no box: choice 5 was cancelled
  f.model.choice = -1;
  prompt.Answer(IDOK);
  EXPECT_EQ(f.model.Next(), CWizardModel::ENext::Stay);
  EXPECT_EQ(prompt.boxes[0].text.substr(0, 34), L"You have not selected any option. ");
}

TEST(MergeImportedServers, OneServerNoAndADuplicateYes) {
  CDnsServer existing = MakeBuiltinServer(2);
  CDnsServer fresh = MakeBuiltinServer(1);
  CDnsServer duplicate = existing;
  duplicate.id = existing.id + 100;
  duplicate.name = L"Quad9 again";
  CRule def;
  def.InitDefault();
  {
    std::vector<CDnsServer> servers{existing};
    std::vector<CRule> rules{def};
    CScriptedPrompt prompt;
    prompt.Answer(IDNO);
    prompt.Answer(IDOK);
    EXPECT_FALSE(MergeImportedServers(servers, rules, {fresh}, nullptr));
    EXPECT_EQ(servers.size(), 2u);
    EXPECT_EQ(rules[0].action, ERuleAction::Bypass);
    EXPECT_EQ(prompt.boxes[1].text,
              L"Tarnwick will bypass all queries.\nPlease edit resolve rules to use a specific DNS server.");
  }
  std::vector<CDnsServer> servers{existing};
  std::vector<CRule> rules{def};
  CScriptedPrompt prompt;
  prompt.Answer(IDYES);
  prompt.Answer(IDOK);
  EXPECT_TRUE(MergeImportedServers(servers, rules, {duplicate}, nullptr));
  EXPECT_EQ(servers.size(), 1u);
  // The rule names a server that is there, so the saved file loads again.
  EXPECT_EQ(rules[0].action, ERuleAction::ProcessServer);
  EXPECT_EQ(rules[0].action_id, existing.id);
}

}  // namespace
