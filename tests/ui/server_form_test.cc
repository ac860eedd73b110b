#include "Quorvane/ui/server_form.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "Quorvane/config/object_id.h"
#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/ui/pool_form.h"
#include "tests/app/app_fixture.h"
#include "tests/ui/check_engine_double.h"

namespace {

using uitest::CRecordingCheckEngine;

using testsupport::CScriptedPrompt;

const std::string kHash(64, 'a');

int Index(EDnsProtocol protocol) { return ProtocolDisplayIndex(protocol); }

CDnsServer Server(EDnsProtocol protocol, const char* address, uint16_t port) {
  CDnsServer server;
  server.name = L"srv";
  server.protocol = protocol;
  server.port = port;
  if (*address) {
    int family = 0;
    EXPECT_TRUE(TextToAddress(address, family, server.address)) << address;
    server.family = static_cast<uint32_t>(family);
    server.addressKnown = true;
  }
  return server;
}

SServerForm Form(EDnsProtocol protocol, const char* address = "192.0.2.1") {
  SServerForm form;
  form.name = L"srv";
  form.protocolIndex = Index(protocol);
  form.address = address;
  return form;
}

TEST(ProtocolDisplayOrder, ListReadsInItsOrderAndUnlistedIsNone) {
  EXPECT_EQ(ProtocolDisplayTexts(),
            (std::vector<std::wstring>{L"Plain", L"DNSCrypt", L"DNS over HTTPS", L"DNS over TLS", L"DNS over QUIC",
                                       L"NextDNS", L"DNSCrypt Relay"}));
  EXPECT_EQ(Index(EDnsProtocol::Doq), 4);
  EXPECT_EQ(Index(EDnsProtocol::Unspec), -1);
  EXPECT_EQ(ProtocolAtDisplayIndex(-1), EDnsProtocol::Unspec);
  EXPECT_EQ(ProtocolAtDisplayIndex(7), EDnsProtocol::Unspec);
  const std::vector<int> saved = g_ProtocolDisplayOrder;
  g_ProtocolDisplayOrder.push_back(42);
  EXPECT_THROW(ProtocolDisplayTexts(), std::out_of_range);
  g_ProtocolDisplayOrder = saved;
}

TEST(ReadServerForm, EachRefusalHasItsText) {
  struct Case {
    const char* name;
    std::function<void(SServerForm&)> edit;
    EDnsProtocol protocol;
    const wchar_t* error;
  } cases[] = {
      {"empty_name", [](SServerForm& f) { f.name.clear(); }, EDnsProtocol::Plain, L"User friendly name cannot be empty."},
      {"no_protocol", [](SServerForm& f) { f.protocolIndex = -1; }, EDnsProtocol::Plain, L"Please select DNS protocol."},
      {"no_address", [](SServerForm& f) { f.address = "  "; }, EDnsProtocol::Plain, L"Please specify IP address."},
      {"bad_address", [](SServerForm& f) { f.address = "dns.example"; }, EDnsProtocol::Plain, L"Invalid IP address."},
      {"bad_port", [](SServerForm& f) { f.address = "192.0.2.1:99999"; }, EDnsProtocol::Plain, L"Invalid IP address."},
      {"port_only_plain", [](SServerForm& f) { f.address = ":5353"; }, EDnsProtocol::Plain, L"IP address cannot be empty."},
      {"key_bad", [](SServerForm& f) { f.publicKey = "zz"; }, EDnsProtocol::DnsCrypt, L"Public key incorrect"},
      {"key_two", [](SServerForm& f) { f.publicKey = kHash + "," + kHash; }, EDnsProtocol::DnsCrypt,
       L"Incorrect public key format"},
      {"no_provider", [](SServerForm& f) { f.publicKey = kHash; }, EDnsProtocol::DnsCrypt,
       L"Provider name cannot be empty."},
      {"no_url", [](SServerForm&) {}, EDnsProtocol::Doh, L"URL cannot be empty."},
      {"bad_url", [](SServerForm& f) { f.urlOrHost = "https://dns.example:0/q"; }, EDnsProtocol::Doh, L"Invalid URL."},
      {"doh_two_ports",
       [](SServerForm& f) {
         f.urlOrHost = "https://dns.example:8443/dns-query";
         f.address = "192.0.2.1:8443";
       },
       EDnsProtocol::Doh, L"Port can be specified in the URL field only."},
      {"doh_ip_mismatch", [](SServerForm& f) { f.urlOrHost = "https://[2001:db8::1]/q"; }, EDnsProtocol::Doh,
       L"IP address does not match URL."},
      {"doh_hash", [](SServerForm& f) { f.urlOrHost = "https://dns.example/q", f.hashes = "abcd"; }, EDnsProtocol::Doh,
       L"Hash incorrect size 2, should be 32."},
      {"dot_slash", [](SServerForm& f) { f.urlOrHost = "dns.example/q"; }, EDnsProtocol::Dot,
       L"Incorrect hostname. Please use hostname only without URL, schema and path."},
      {"doq_colon", [](SServerForm& f) { f.urlOrHost = "dns.example:853"; }, EDnsProtocol::Doq,
       L"Incorrect hostname. Please use hostname only without URL, schema and path."},
      {"dot_nothing", [](SServerForm& f) { f.address.clear(); }, EDnsProtocol::Dot,
       L"IP address and/or Hostname should be specified."},
      {"dot_hash", [](SServerForm& f) { f.hashes = "x"; }, EDnsProtocol::Dot, L"Hash incorrect"},
      {"nextdns_id", [](SServerForm&) {}, EDnsProtocol::NextDns, L"Configuration ID cannot be empty."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SServerForm form = Form(c.protocol);
    c.edit(form);
    CDnsServer target;
    target.name = L"untouched";
    std::wstring error;
    EXPECT_FALSE(ReadServerForm(form, target, error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(target.name, L"untouched");
  }
}

TEST(ReadServerForm, LoadThenReadGivesTheServerBackPerProtocol) {
  std::vector<CDnsServer> servers;
  CDnsServer plain = Server(EDnsProtocol::Plain, "192.0.2.1", 53);
  plain.plain_use_tcp = true;
  plain.dnssec_supported = true;
  servers.push_back(plain);
  CDnsServer crypt = Server(EDnsProtocol::DnsCrypt, "2001:db8::5", 8443);
  crypt.dnscrypt_public_key.assign(32, 0xAB);
  crypt.dnscrypt_provider_name = "2.dnscrypt-cert.example";
  crypt.dnscrypt_disable_padding = crypt.dnscrypt_force_tcp = true;
  servers.push_back(crypt);
  CDnsServer doh = Server(EDnsProtocol::Doh, "192.0.2.3", 8443);
  doh.doh_host_name = "dns.example";
  doh.doh_path = "/dns-query";
  doh.doh_hashes = {ByteString(32, 1), ByteString(32, 2)};
  servers.push_back(doh);
  CDnsServer dot = Server(EDnsProtocol::Dot, "192.0.2.4", 853);
  dot.dot_host_name = "dot.example";
  dot.dot_hashes = {ByteString(32, 3)};
  servers.push_back(dot);
  CDnsServer doq = Server(EDnsProtocol::Doq, "", 8853);  // a host name only, on its own port
  doq.doq_host_name = "doq.example";
  servers.push_back(doq);
  CDnsServer relay = Server(EDnsProtocol::Relay, "192.0.2.6", 443);
  servers.push_back(relay);
  CDnsServer next = Server(EDnsProtocol::NextDns, "", 443);
  next.nextdns_id = "abc123";
  next.nextdns_devname = L"laptop";
  next.nextdns_ultra_low_latency = true;
  next.PrepareNextDns();
  servers.push_back(next);

  for (const CDnsServer& server : servers) {
    SCOPED_TRACE(GetProtocolNames(server.protocol).second);
    CDnsServer read;
    std::wstring error;
    ASSERT_TRUE(ReadServerForm(LoadServerForm(server), read, error)) << WideToUtf8(error);
    EXPECT_TRUE(read.IsEqual(server, true, false));
    EXPECT_EQ(read.plain_use_tcp, server.plain_use_tcp);
    EXPECT_EQ(read.dnscrypt_provider_name, server.dnscrypt_provider_name);
    EXPECT_EQ(read.dot_host_name, server.dot_host_name);
    EXPECT_EQ(read.dot_hashes, server.dot_hashes);
    EXPECT_EQ(read.doq_host_name, server.doq_host_name);
    EXPECT_EQ(read.nextdns_ultra_low_latency, server.nextdns_ultra_low_latency);
  }
}

TEST(LoadServerForm, AddressShowsAPortOnlyWhenNotTheDefault) {
  struct Case {
    EDnsProtocol protocol;
    const char* address;
    uint16_t port;
    const char* shown;
  } cases[] = {
      {EDnsProtocol::Plain, "1.2.3.4", 53, "1.2.3.4"},
      {EDnsProtocol::Plain, "1.2.3.4", 5353, "1.2.3.4:5353"},
      {EDnsProtocol::Plain, "::1", 5353, "[::1]:5353"},
      {EDnsProtocol::Doh, "1.2.3.4", 8443, "1.2.3.4"},  // the URL carries it
      {EDnsProtocol::Dot, "", 8853, ":8853"},           // no "[]" around nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    CDnsServer server = Server(c.protocol, c.address, c.port);
    server.doh_host_name = "dns.example";
    server.dot_host_name = "dot.example";
    const SServerForm form = LoadServerForm(server);
    EXPECT_EQ(form.address, c.shown);
    CDnsServer read;
    std::wstring error;
    ASSERT_TRUE(ReadServerForm(form, read, error)) << WideToUtf8(error);
    EXPECT_EQ(read.port, c.port);
    EXPECT_EQ(read.address, server.address);
  }
}

TEST(ReadServerForm, DohTakesHostPathAndPortFromTheUrl) {
  SServerForm form = Form(EDnsProtocol::Doh, " 2001:db8::1 ");
  form.urlOrHost = " https://[2001:db8::1]:8443/dns-query ";
  CDnsServer server;
  std::wstring error;
  ASSERT_TRUE(ReadServerForm(form, server, error)) << WideToUtf8(error);
  EXPECT_EQ(server.doh_host_name, "[2001:db8::1]");
  EXPECT_EQ(server.doh_path, "/dns-query");
  EXPECT_EQ(server.port, 8443);
  EXPECT_TRUE(server.addressKnown);
  form.address.clear();
  form.urlOrHost = "https://dns.example/q";
  ASSERT_TRUE(ReadServerForm(form, server, error));
  EXPECT_EQ(server.port, 443);
  EXPECT_FALSE(server.addressKnown);
}

TEST(VisibleControls, EachProtocolShowsItsPane) {
  using V = std::set<int>;
  const V address{IDC_ADDRESS_LABEL, IDC_ADDRESS, IDC_DNSSEC};
  auto with = [&](V extra, bool withAddress = true) {
    if (withAddress) extra.insert(address.begin(), address.end());
    return extra;
  };
  struct Case {
    const char* name;
    EDnsProtocol protocol;
    bool ultraLow;
    const char* address;
    V visible;
    const wchar_t* caption;
  } cases[] = {
      {"none", EDnsProtocol::Unspec, false, "", with({IDC_SELECT_PROTOCOL}), L"Unspecified options"},
      {"plain", EDnsProtocol::Plain, false, "", with({IDC_USE_TCP}), L"Plain options"},
      {"dnscrypt", EDnsProtocol::DnsCrypt, false, "",
       with({IDC_PUBLIC_KEY_LABEL, IDC_PUBLIC_KEY, IDC_PROVIDER_LABEL, IDC_PROVIDER, IDC_DISABLE_PADDING, IDC_FORCE_TCP}),
       L"DNSCrypt options"},
      {"doh", EDnsProtocol::Doh, false, "", with({IDC_URL_LABEL, IDC_URL_OR_HOST, IDC_HASHES_LABEL, IDC_HASHES}),
       L"DNS over HTTPS options"},
      {"dot", EDnsProtocol::Dot, false, "", with({IDC_HOSTNAME_LABEL, IDC_URL_OR_HOST, IDC_HASHES_LABEL, IDC_HASHES}),
       L"DNS over TLS options"},
      {"doq", EDnsProtocol::Doq, false, "", with({IDC_HOSTNAME_LABEL, IDC_URL_OR_HOST, IDC_HASHES_LABEL, IDC_HASHES}),
       L"DNS over QUIC options"},
      {"relay", EDnsProtocol::Relay, false, "", with({IDC_NO_RELAY_OPTIONS}), L"DNSCrypt Relay options"},
      {"nextdns_empty_address", EDnsProtocol::NextDns, false, "",
       V{IDC_NEXTDNS_ID, IDC_NEXTDNS_LINK, IDC_DEVICE_NAME, IDC_DEVICE_LABEL, IDC_USE_CURRENT, IDC_ULTRA_LOW_LATENCY},
       L"NextDNS options"},
      {"nextdns_address", EDnsProtocol::NextDns, false, "45.90.28.0",
       V{IDC_NEXTDNS_ID, IDC_NEXTDNS_LINK, IDC_DEVICE_NAME, IDC_DEVICE_LABEL, IDC_USE_CURRENT, IDC_ULTRA_LOW_LATENCY,
         IDC_ADDRESS_LABEL, IDC_ADDRESS},
       L"NextDNS options"},
      {"nextdns_ultra_low", EDnsProtocol::NextDns, true, "45.90.28.0",
       V{IDC_NEXTDNS_ID, IDC_NEXTDNS_LINK, IDC_DEVICE_NAME, IDC_DEVICE_LABEL, IDC_USE_CURRENT, IDC_ULTRA_LOW_LATENCY},
       L"NextDNS options"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SServerForm form;
    form.address = c.address;
    form.ultraLowLatency = c.ultraLow;
    const SServerPane pane = VisibleControls(c.protocol, form);
    EXPECT_EQ(pane.visible, c.visible);
    EXPECT_EQ(pane.caption, c.caption);
  }
  SServerForm form;
  form.useCurrentDevice = true;
  EXPECT_FALSE(VisibleControls(EDnsProtocol::NextDns, form).deviceNameEnabled);
}

class ServerForm : public testsupport::AppTest {
 protected:
  CScriptedPrompt prompt;
};

TEST_F(ServerForm, OkGivesANewServerTheNextIdAndAnEditKeepsItsId) {
  const uint32_t next = g_NextObjectId;
  CDnsServer server;
  CDnsServerForm dialog(server);
  dialog.fields = Form(EDnsProtocol::Plain);
  ASSERT_TRUE(dialog.Ok());
  EXPECT_EQ(server.id, next);
  EXPECT_EQ(g_NextObjectId, next + 1);
  server.rttMs = 12;
  server.status = EServerStatus::Ok;
  CDnsServerForm edit(server);
  edit.fields.address = "192.0.2.9";
  ASSERT_TRUE(edit.Ok());
  EXPECT_EQ(server.id, next);
  EXPECT_EQ(server.address, (ByteString{192, 0, 2, 9}));
  EXPECT_EQ(server.rttMs, -1);
  EXPECT_EQ(server.status, EServerStatus::Unknown);
  EXPECT_EQ(g_NextObjectId, next + 1);

  prompt.Answer(IDOK);
  CDnsServerForm bad(server);
  bad.fields.address = "nonsense";
  EXPECT_FALSE(bad.Ok());
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].text, L"Invalid IP address.");
  EXPECT_EQ(prompt.boxes[0].caption, L"DNS Server");
  EXPECT_EQ(prompt.boxes[0].type, MB_OK | MB_ICONEXCLAMATION);
  EXPECT_EQ(server.address, (ByteString{192, 0, 2, 9}));
}

TEST_F(ServerForm, ProtocolChangesAndTheDeviceName) {
  CDnsServer server;
  CDnsServerForm dialog(server);
  dialog.fields.protocolIndex = Index(EDnsProtocol::Doh);
  dialog.fields.urlOrHost = "https://dns.example/q";
  dialog.ChangeProtocol(Index(EDnsProtocol::Dot));
  EXPECT_EQ(dialog.fields.urlOrHost, "");
  dialog.fields.urlOrHost = "dot.example";
  dialog.ChangeProtocol(Index(EDnsProtocol::Doh));
  EXPECT_EQ(dialog.fields.urlOrHost, "dot.example");
  dialog.ChangeProtocol(Index(EDnsProtocol::Doq));
  EXPECT_EQ(dialog.fields.urlOrHost, "");

  dialog.fields.deviceName = L"typed";
  dialog.SetUseCurrentDevice(true);
  CDnsServer probe;
  probe.protocol = EDnsProtocol::NextDns;
  probe.nextdns_devname_auto = true;
  probe.PrepareNextDns();
  EXPECT_EQ(dialog.fields.deviceName, probe.nextdns_devname);
  EXPECT_FALSE(dialog.Pane().deviceNameEnabled);
}

TEST_F(ServerForm, StampDialogKeepsReplacesOrRefuses) {
  CDnsServer server = Server(EDnsProtocol::Plain, "192.0.2.1", 53);
  std::string stamp, error;
  ASSERT_TRUE(server.ToStamp(stamp, error));
  {
    CDnsStampForm unchanged(server);
    EXPECT_EQ(unchanged.InitialText(), stamp);
    EXPECT_TRUE(unchanged.Ok(stamp));
    EXPECT_FALSE(unchanged.Replaced());
  }
  {
    prompt.Answer(IDOK);
    CDnsStampForm bad(server);
    EXPECT_FALSE(bad.Ok("sdns://AAAA"));
    ASSERT_EQ(prompt.boxes.size(), 1u);
    EXPECT_EQ(prompt.boxes[0].text.rfind(L"Could not load DNS stamp.\nCannot parse stamp: ", 0), 0u);
    EXPECT_EQ(prompt.boxes[0].caption, L"DNS Stamp Error");
    EXPECT_EQ(prompt.boxes[0].type, MB_OK | MB_ICONEXCLAMATION);
    EXPECT_EQ(server.address, (ByteString{192, 0, 2, 1}));
  }
  CDnsServer other = Server(EDnsProtocol::Plain, "198.51.100.7", 5353);
  std::string otherStamp;
  ASSERT_TRUE(other.ToStamp(otherStamp, error));
  CDnsStampForm replaced(server);
  EXPECT_TRUE(replaced.Ok(otherStamp));
  EXPECT_TRUE(replaced.Replaced());
  EXPECT_EQ(server.address, (ByteString{198, 51, 100, 7}));
  EXPECT_EQ(server.port, 5353);
}

TEST_F(ServerForm, SdnsReloadsTheFieldsOnlyWhenTheStampReplacedTheServer) {
  CDnsServer edited;
  CDnsServerForm dialog(edited);
  // Fields that do not validate (no address yet) and values with no stamp form.
  dialog.fields = Form(EDnsProtocol::Plain, "");
  dialog.fields.name = L"typed name";
  dialog.fields.useTcp = true;
  dialog.fields.hashes = "kept text";
  const SServerForm typed = dialog.fields;
  auto keep = [](CDnsServer& server, bool& replaced) {
    CDnsStampForm stamp(server);
    replaced = false;
    return stamp.Ok(stamp.InitialText());
  };
  dialog.Stamp(keep);
  EXPECT_EQ(dialog.fields.address, typed.address);
  EXPECT_EQ(dialog.fields.hashes, "kept text");
  EXPECT_TRUE(dialog.fields.useTcp);
  EXPECT_EQ(dialog.fields.protocolIndex, typed.protocolIndex);

  CDnsServer source = Server(EDnsProtocol::Plain, "198.51.100.7", 5353);
  std::string otherStamp, error;
  ASSERT_TRUE(source.ToStamp(otherStamp, error));
  dialog.Stamp([&](CDnsServer& server, bool& replaced) {
    CDnsStampForm stamp(server);
    const bool ok = stamp.Ok(otherStamp);
    replaced = stamp.Replaced();
    return ok;
  });
  EXPECT_EQ(dialog.fields.address, "198.51.100.7:5353");
  EXPECT_EQ(dialog.fields.name, L"typed name");
  EXPECT_EQ(edited.address, ByteString{});  // only OK writes the record

  prompt.Answer(IDOK);
  dialog.fields = Form(EDnsProtocol::NextDns, "");
  dialog.fields.nextDnsId = "abc";
  dialog.Stamp([](CDnsServer& server, bool&) { return server.protocol == EDnsProtocol::NextDns; });
  ASSERT_EQ(prompt.boxes.size(), 1u);
  EXPECT_EQ(prompt.boxes[0].text, L"DNS Stamp does not support NextDNS.\nThe server will be exported as DNS over HTTP.");
  EXPECT_EQ(prompt.boxes[0].caption, L"DNS Stamp");
}

TEST_F(ServerForm, CheckShowsOkInGreenATimeoutInRedAndRefusesARelay) {
  platform::FakeClock clock;
  platform::SetClockSourceForTesting(&clock);
  platform::CMessageQueueWindow window;
  CRecordingCheckEngine engine;
  CDnsServer server;
  {
    CDnsServerChecker checker(&engine);
    CDnsServerForm dialog(server);
    dialog.fields = Form(EDnsProtocol::Plain);
    auto deliver = [&] {
      bool any = false;
      for (const auto& message : window.TakeAll()) {
        EXPECT_EQ(message.message, WM_DNSCHECK_RESULT);
        dialog.OnCheckResult(checker, reinterpret_cast<SServerCheckResult*>(message.wParam));
        any = true;
      }
      return any;
    };
    auto answer = [&] {
      const SServerCheck& check = engine.sent.back();
      ASSERT_TRUE(PostCheckResult(check.owner, check.server, std::nullopt, true, check.sequence, L"", false));
    };
    ASSERT_TRUE(dialog.StartCheck(checker, window.Handle(), "probe.tarnwick.test"));
    EXPECT_FALSE(dialog.checkEnabled);
    ASSERT_EQ(engine.sent.size(), 1u);
    EXPECT_EQ(engine.sent[0].testHost, "probe.tarnwick.test");
    answer();  // the warm-up
    clock.AdvanceMs(5);
    ASSERT_TRUE(deliver());
    clock.AdvanceMs(25);
    answer();
    ASSERT_TRUE(deliver());
    EXPECT_EQ(dialog.checkStatus, L"OK rtt=25 ms");
    EXPECT_FALSE(IsErrorStatus(dialog.checkStatus));
    EXPECT_TRUE(dialog.checkEnabled);

    ASSERT_TRUE(dialog.StartCheck(checker, window.Handle(), "probe.tarnwick.test"));
    clock.AdvanceMs(CDnsServerChecker::kTimeoutMs + 1);
    checker.CheckTimeouts();
    ASSERT_TRUE(deliver());
    EXPECT_EQ(dialog.checkStatus, L"Error: Timeout");
    EXPECT_TRUE(IsErrorStatus(dialog.checkStatus));

    prompt.Answer(IDOK);
    dialog.fields = Form(EDnsProtocol::Relay);
    const size_t sent = engine.sent.size();
    EXPECT_FALSE(dialog.StartCheck(checker, window.Handle(), "probe.tarnwick.test"));
    EXPECT_EQ(engine.sent.size(), sent);
    ASSERT_EQ(prompt.boxes.size(), 1u);
    EXPECT_EQ(prompt.boxes[0].text, L"Relay can only be tested together with a DNSCrypt server.");
    EXPECT_EQ(prompt.boxes[0].caption, L"DNS Server");
  }
  EXPECT_EQ(server.id, 0u);  // a check never writes the record
  platform::SetClockSourceForTesting(nullptr);
}

class PoolForms : public testsupport::AppTest {
 protected:
  CScriptedPrompt prompt;
};

TEST(RecheckText, ReadAsAtoiClampedToInt) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {{"12ab", 12}, {"abc", 0}, {"-5", -5}, {" +7", 7}, {"99999999999", 2147483647},
               {"-99999999999", -2147483647 - 1}, {"0", 0}};
  for (const Case& c : cases) EXPECT_EQ(ReadRecheckText(c.text), c.value) << c.text;
}

TEST_F(PoolForms, RedundancyOptionsRefuseBelowOneAndFillDefaults) {
  for (const char* text : {"0", "abc", "-5"}) {
    SCOPED_TRACE(text);
    prompt.Answer(IDOK);
    CPoolRedundancyForm form("probe.example", 30);
    form.recheckText = text;
    EXPECT_FALSE(form.Ok());
    EXPECT_EQ(form.recheckTime, 30);
    EXPECT_EQ(prompt.boxes.back().text, L"Recheck time should be greater than 0.");
    EXPECT_EQ(prompt.boxes.back().caption, L"Redundancy Pool Options");
    EXPECT_EQ(prompt.boxes.back().type, MB_OK | MB_ICONEXCLAMATION);
  }
  struct Case {
    const char* text;
    int value;
  } cases[] = {{"", 60}, {"12ab", 12}, {"99999999999", 2147483647}};
  for (const Case& c : cases) {
    CPoolRedundancyForm form("", -3);
    EXPECT_EQ(form.recheckText, "-3");
    form.recheckText = c.text;
    ASSERT_TRUE(form.Ok()) << c.text;
    EXPECT_EQ(form.recheckTime, c.value);
    EXPECT_EQ(form.recheckText, std::to_string(c.value));
    EXPECT_EQ(form.testHost, CDnsPool().testHost);
  }
}

TEST_F(PoolForms, PoolTypeOptionsStayAfterCancelAndAnEmptyNameIsRefused) {
  CDnsPool pool;
  pool.name = L"p";
  pool.type = EPoolType::Balancing;
  {
    CPoolForm form(pool);
    EXPECT_EQ(form.choice, 1);
    EXPECT_FALSE(form.OptionsEnabled());
    form.choice = 0;
    EXPECT_TRUE(form.OptionsEnabled());
    form.Options([](CPoolRedundancyForm& options) {
      options.testHost = "new.example";
      options.recheckText = "90";
      return options.Ok();
    });
    // Pool Type is then cancelled: no Ok().
  }
  EXPECT_EQ(pool.testHost, "new.example");
  EXPECT_EQ(pool.recheckDelaySec, 90);
  EXPECT_EQ(pool.type, EPoolType::Balancing);

  CPoolForm form(pool);
  form.Options([](CPoolRedundancyForm& options) {
    options.testHost = "cancelled.example";
    return false;
  });
  EXPECT_EQ(pool.testHost, "new.example");
  form.name.clear();
  prompt.Answer(IDOK);
  EXPECT_FALSE(form.Ok());
  EXPECT_EQ(prompt.boxes.back().text, L"Pool name cannot be empty.");
  EXPECT_EQ(prompt.boxes.back().caption, L"Pool Type");
  EXPECT_EQ(prompt.boxes.back().type, MB_OK | MB_ICONINFORMATION);
  form.name = L"renamed";
  form.choice = 0;
  ASSERT_TRUE(form.Ok());
  EXPECT_EQ(pool.name, L"renamed");
  EXPECT_EQ(pool.type, EPoolType::Redundancy);
}

}  // namespace
