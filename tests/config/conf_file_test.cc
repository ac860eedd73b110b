#include "Quorvane/config/conf_file.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>

#include <functional>
#include <memory>
#include <string>

#include "Quorvane/foundation/address_utils.h"
#include "Quorvane/foundation/net_interfaces.h"
#include "Quorvane/platform/net_adapters.h"
#include "tests/config/conf_test_util.h"

namespace {

using ConfRead = testsupport::ConfFileTest;
using ConfSave = testsupport::ConfFileTest;

using testsupport::ConfData;
using testsupport::ConfText;
using testsupport::LoadConfText;
using testsupport::TempFolder;
using testsupport::WidePath;

TEST(ConfNumbers, LeadingDigitsWithinTheTypesRange) {
  struct Case {
    const char* text;
    bool u32ok;
    uint32_t u32;
    bool u16ok;
    uint16_t u16;
    bool i32ok;
    int32_t i32;
  };
  const Case cases[] = {
      {"0", true, 0, true, 0, true, 0},
      {"853x", true, 853, true, 853, true, 853},
      {"00012", true, 12, true, 12, true, 12},
      {"65535", true, 65535, true, 65535, true, 65535},
      {"65536", true, 65536, false, 0, true, 65536},
      {"2147483647", true, 2147483647, false, 0, true, 2147483647},
      {"2147483648", true, 2147483648u, false, 0, false, 0},
      {"4294967295", true, 4294967295u, false, 0, false, 0},
      {"4294967296", false, 0, false, 0, false, 0},
      {"99999999999999999999999", false, 0, false, 0, false, 0},
      {"-1", false, 0, false, 0, true, -1},
      {"-2147483648", false, 0, false, 0, true, INT32_MIN},
      {"-2147483649", false, 0, false, 0, false, 0},
      {"-0", false, 0, false, 0, true, 0},
      {"-", false, 0, false, 0, false, 0},
      {"--1", false, 0, false, 0, false, 0},
      {"", false, 0, false, 0, false, 0},
      {"abc", false, 0, false, 0, false, 0},
      {" 5", false, 0, false, 0, false, 0},
      {"+5", false, 0, false, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t u32 = 7;
    uint16_t u16 = 7;
    int32_t i32 = 7;
    EXPECT_EQ(ParseNumber(c.text, u32), c.u32ok);
    EXPECT_EQ(u32, c.u32ok ? c.u32 : 7u);
    EXPECT_EQ(ParseNumber(c.text, u16), c.u16ok);
    EXPECT_EQ(u16, c.u16ok ? c.u16 : 7);
    EXPECT_EQ(ParseNumber(c.text, i32), c.i32ok);
    EXPECT_EQ(i32, c.i32ok ? c.i32 : 7);
  }
}

TEST(ConfFamily, OnlyTheFilesTwoAndTwentyThree) {
  uint32_t native = 99;
  EXPECT_TRUE(ConfFamilyToNative(2, native));
  EXPECT_EQ(native, static_cast<uint32_t>(AF_INET));
  EXPECT_TRUE(ConfFamilyToNative(23, native));
  EXPECT_EQ(native, static_cast<uint32_t>(AF_INET6));
  for (int32_t other : {0, 10, 24, -2}) {  // 10 is the native AF_INET6
    EXPECT_FALSE(ConfFamilyToNative(other, native)) << other;
    EXPECT_EQ(native, static_cast<uint32_t>(AF_INET6));
  }
  EXPECT_EQ(NativeFamilyToConf(AF_INET), 2);
  EXPECT_EQ(NativeFamilyToConf(AF_INET6), 23);
  EXPECT_EQ(NativeFamilyToConf(0), 0);
  EXPECT_EQ(NativeFamilyToConf(AF_UNIX), 0);
}

TEST(ConfAttributes, AbsentInvalidAndMandatory) {
  CXmlDoc element(L"Rule");
  element.AddAttribute("flag", "true");
  element.AddAttribute("off", "false");
  element.AddAttribute("word", "TRUE");
  element.AddAttribute("count", "12abc");
  element.AddAttribute("neg", "-3");
  element.AddAttribute("text", "B\xC3\xBCro");

  bool flag = false;
  EXPECT_TRUE(element.GetAttributeBool("flag", flag, true));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(element.GetAttributeBool("off", flag, true));
  EXPECT_FALSE(flag);
  flag = true;
  EXPECT_FALSE(element.GetAttributeBool("word", flag, false));
  EXPECT_TRUE(flag);
  EXPECT_FALSE(element.GetAttributeBool("absent", flag, false));

  uint32_t count = 5;
  EXPECT_TRUE(element.GetAttributeUInt("count", count, true));
  EXPECT_EQ(count, 12u);
  EXPECT_FALSE(element.GetAttributeUInt("neg", count, false));
  EXPECT_EQ(count, 12u);
  int32_t neg = 0;
  EXPECT_TRUE(element.GetAttributeInt("neg", neg));
  EXPECT_EQ(neg, -3);
  EXPECT_FALSE(element.GetAttributeInt("text", neg));
  EXPECT_EQ(neg, -3);

  std::wstring wide;
  EXPECT_TRUE(element.GetAttributeW("text", wide, true));
  EXPECT_EQ(wide, L"B\u00fcro");

  auto messageOf = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const CXmlDoc::XmlExc& e) {
      return e.Message();
    }
    return std::wstring(L"no exception");
  };
  const std::wstring incorrect = L"Incorrect value of attribute \"word\" of node <Rule>.";
  EXPECT_EQ(messageOf([&] { element.GetAttributeBool("word", flag, true); }), incorrect);
  EXPECT_EQ(messageOf([&] { element.GetAttributeUInt("neg", count, true); }),
            L"Incorrect value of attribute \"neg\" of node <Rule>.");
  const std::wstring missing = L"The mandatory attribute \"enabled\" not found in node <Rule>.";
  std::string narrow;
  EXPECT_EQ(messageOf([&] { element.GetAttribute("enabled", narrow, true); }), missing);
  EXPECT_EQ(messageOf([&] { element.GetAttributeW("enabled", wide, true); }), missing);
  EXPECT_EQ(messageOf([&] { element.GetAttributeBool("enabled", flag, true); }), missing);
  EXPECT_EQ(messageOf([&] { element.GetAttributeUInt("enabled", count, true); }), missing);

  EXPECT_TRUE(element.GetChildren(L"DnsServer").empty());
}

TEST(ConfAttributes, SettersWriteTheFilesFormsAndKeepTheFirstValue) {
  CXmlDoc element(L"DnsServer");
  element.SetAttributeUInt("id", 4294967295u);
  element.SetAttributeInt("delay", -60);
  element.SetAttributeBool("on", true);
  element.SetAttributeBool("off", false);
  element.SetAttributeW("name", L"B\u00fcro \U0001F600");
  element.SetAttribute("id", "1");
  element.SetAttributeBool("on", false);
  EXPECT_EQ(element.m_attributes.at("id"), "4294967295");
  EXPECT_EQ(element.m_attributes.at("delay"), "-60");
  EXPECT_EQ(element.m_attributes.at("on"), "1");
  EXPECT_EQ(element.m_attributes.at("off"), "0");
  EXPECT_EQ(element.m_attributes.at("name"), "B\xC3\xBCro \xF0\x9F\x98\x80");
  EXPECT_EQ(element.m_attributeOrder, (std::list<std::string>{"id", "delay", "on", "off", "name"}));
}

// Each case is a whole file; check sees the loaded profile.
struct ReadCase {
  const char* name;
  std::string body;
  std::function<void(const CProfile&)> check;
};

const std::string kServer = "\t<DnsServer id=\"1001\" name=\"One\" protocol=\"plain\" af=\"2\" ip=\"192.0.2.1\" />\n";

std::string Rule(const std::string& attributes) { return "\t<Rule " + attributes + " />\n"; }

TEST_F(ConfRead, ValueFormatsAndDefaults) {
  const ReadCase cases[] = {
      {"port_absent_is_the_protocols",
       "\t<DnsServer id=\"1\" name=\"T\" protocol=\"dot\" dot_host_name=\"t.example\" />\n",
       [](const CProfile& p) { EXPECT_EQ(p.servers[0].port, 853); }},
      {"port_too_large_keeps_the_default",
       "\t<DnsServer id=\"1\" name=\"T\" port=\"70000\" protocol=\"doq\" doq_host_name=\"q.example\" />\n",
       [](const CProfile& p) { EXPECT_EQ(p.servers[0].port, 853); }},
      {"port_letters_keep_the_default",
       "\t<DnsServer id=\"1\" name=\"T\" port=\"abc\" protocol=\"plain\" af=\"2\" ip=\"192.0.2.1\" />\n",
       [](const CProfile& p) { EXPECT_EQ(p.servers[0].port, 53); }},
      {"port_trailing_letters_ignored",
       "\t<DnsServer id=\"1\" name=\"T\" port=\"853x\" protocol=\"plain\" af=\"23\" ip=\"::1\" />\n",
       [](const CProfile& p) {
         EXPECT_EQ(p.servers[0].port, 853);
         EXPECT_EQ(p.servers[0].family, static_cast<uint32_t>(AF_INET6));
         EXPECT_TRUE(p.servers[0].addressKnown);
       }},
      {"dnscrypt_tcp_on_when_absent_or_invalid",
       "\t<DnsServer id=\"1\" name=\"A\" protocol=\"dnscrypt\" af=\"2\" ip=\"192.0.2.1\" "
       "dnscrypt_provider_name=\"p\" dnscrypt_public_key=\"\" />\n"
       "\t<DnsServer id=\"2\" name=\"B\" protocol=\"dnscrypt\" af=\"2\" ip=\"192.0.2.1\" "
       "dnscrypt_provider_name=\"p\" dnscrypt_public_key=\"ab cd:EF\" dnscrypt_force_tcp=\"yes\" />\n"
       "\t<DnsServer id=\"3\" name=\"C\" protocol=\"dnscrypt\" af=\"2\" ip=\"192.0.2.1\" "
       "dnscrypt_provider_name=\"p\" dnscrypt_public_key=\"00\" dnscrypt_force_tcp=\"0\" />\n",
       [](const CProfile& p) {
         EXPECT_TRUE(p.servers[0].dnscrypt_force_tcp);
         EXPECT_TRUE(p.servers[0].dnscrypt_public_key.empty());
         EXPECT_TRUE(p.servers[1].dnscrypt_force_tcp);
         EXPECT_EQ(p.servers[1].dnscrypt_public_key, (ByteString{0xAB, 0xCD, 0xEF}));
         EXPECT_FALSE(p.servers[2].dnscrypt_force_tcp);
       }},
      {"attributes_of_other_protocols_ignored",
       "\t<DnsServer id=\"1\" name=\"R\" protocol=\"relay\" af=\"2\" ip=\"192.0.2.1\" plain_use_tcp=\"1\" "
       "dot_host_name=\"x\" doh_hashes=\"zz\" />\n",
       [](const CProfile& p) {
         EXPECT_FALSE(p.servers[0].plain_use_tcp);
         EXPECT_TRUE(p.servers[0].dot_host_name.empty());
         EXPECT_EQ(p.servers[0].port, 443);
       }},
      {"nextdns_without_address_gets_the_services",
       "\t<DnsServer id=\"1\" name=\"N\" protocol=\"nextdns\" nextdns_id=\"abc\" nextdns_devname=\"My PC\" />\n",
       [](const CProfile& p) {
         const CDnsServer& s = p.servers[0];
         EXPECT_EQ(s.family, static_cast<uint32_t>(AF_INET));
         EXPECT_EQ(s.address, (ByteString{45, 90, 28, 0}));
         EXPECT_TRUE(s.addressKnown);
         EXPECT_TRUE(s.dnssec_supported);
         EXPECT_EQ(s.doh_path, "/abc/My%20PC");
       }},
      {"pool_type_absent_or_unspec_is_balancing",
       kServer + "\t<DnsPool id=\"2\" name=\"A\" redundancy_recheck_delay=\"0\">\n\t\t<DnsServer id=\"1001\" />\n"
                 "\t</DnsPool>\n\t<DnsPool id=\"3\" name=\"B\" type=\"unspec\">\n\t\t<DnsServer id=\"1001\" />\n"
                 "\t</DnsPool>\n",
       [](const CProfile& p) {
         EXPECT_EQ(p.pools[0].type, EPoolType::Balancing);
         EXPECT_EQ(p.pools[0].recheckDelaySec, 60);
         EXPECT_EQ(p.pools[1].type, EPoolType::Balancing);
       }},
      {"redundancy_defaults",
       kServer + "\t<DnsPool id=\"2\" name=\"A\" type=\"redundancy\" redundancy_test_host=\"\">\n"
                 "\t\t<DnsServer id=\"1001\" />\n\t</DnsPool>\n",
       [](const CProfile& p) {
         EXPECT_EQ(p.pools[0].type, EPoolType::Redundancy);
         EXPECT_EQ(p.pools[0].testHost, g_DefaultTestHost);
         EXPECT_EQ(p.pools[0].recheckDelaySec, 60);
         EXPECT_EQ(p.pools[0].serverIds, (std::vector<uint32_t>{1001}));
       }},
      {"action_any_case_and_flags_as_words",
       Rule("name=\"R\" enabled=\"false\" dnssec_local_validation=\"true\" hostnames=\"a.example\" "
            "action=\"BYPASS\" action_id=\"0\""),
       [](const CProfile& p) {
         EXPECT_EQ(p.rules[0].action, ERuleAction::Bypass);
         EXPECT_FALSE(p.rules[0].enabled);
         EXPECT_TRUE(p.rules[0].dnssec_local_validation);
         EXPECT_TRUE(p.rules[0].block_return_zero_ip);
         EXPECT_TRUE(p.rules[0].Match("A.example"));
       }},
      {"server_rule_without_target_loads",
       Rule("name=\"R\" enabled=\"1\" hostnames=\"*\" action=\"process_server\" action_id=\"0\""),
       [](const CProfile& p) {
         EXPECT_EQ(p.rules[0].action, ERuleAction::ProcessServer);
         EXPECT_EQ(p.rules[0].action_id, 0u);
       }},
      {"block_rule_target_not_checked",
       Rule("name=\"R\" enabled=\"1\" hostnames=\"*\" action=\"block\" action_id=\"77\""),
       [](const CProfile& p) { EXPECT_EQ(p.rules[0].action_id, 77u); }},
      {"default_elsewhere_accepted_and_one_appended",
       Rule("name=\"default\" enabled=\"1\" hostnames=\"*\" action=\"block\" action_id=\"0\"") +
           Rule("name=\"Default\" enabled=\"1\" hostnames=\"x.example\" action=\"block\" action_id=\"0\"") +
           Rule("name=\"default\" enabled=\"1\" hostnames=\"*\" action=\"block\" action_id=\"0\""),
       [](const CProfile& p) {
         ASSERT_EQ(p.rules.size(), 4u);
         EXPECT_EQ(p.rules[2].name, L"default");
         EXPECT_EQ(p.rules[3].name, L"Default");
         EXPECT_EQ(p.rules[3].action, ERuleAction::Bypass);
         EXPECT_EQ(p.rules[3].hostnames, L"*");
       }},
      {"last_default_kept_alone",
       Rule("name=\"Default\" enabled=\"0\" hostnames=\"*\" action=\"block\" action_id=\"0\""),
       [](const CProfile& p) {
         ASSERT_EQ(p.rules.size(), 1u);
         EXPECT_EQ(p.rules[0].action, ERuleAction::Block);
       }},
      {"no_rules_get_the_default", "",
       [](const CProfile& p) {
         ASSERT_EQ(p.rules.size(), 1u);
         EXPECT_EQ(p.rules[0].name, L"Default");
       }},
      {"interface_type_read_only_with_an_id",
       Rule("name=\"A\" enabled=\"1\" hostnames=\"*\" action=\"bypass\" action_id=\"0\" "
            "interface_id_type=\"nonsense\" interface_name=\"ignored\"") +
           Rule("name=\"B\" enabled=\"1\" hostnames=\"*\" action=\"bypass\" action_id=\"0\" "
                "interface_id=\"tarnwick-no-such-if\" interface_id_type=\"name\" interface_name=\"ignored\"") +
           Rule("name=\"C\" enabled=\"1\" hostnames=\"*\" action=\"bypass\" action_id=\"0\" "
                "interface_id=\"{00000000-0000-0000-0000-000000000001}\" interface_name=\"Old LAN\""),
       [](const CProfile& p) {
         EXPECT_EQ(p.rules[0].interface_id_type, InterfaceIdAdapter);
         EXPECT_TRUE(p.rules[0].interface_name.empty());
         EXPECT_EQ(p.rules[1].interface_id_type, InterfaceIdName);
         EXPECT_TRUE(p.rules[1].interface_name.empty());
         EXPECT_EQ(p.rules[2].interface_id_type, InterfaceIdAdapter);
         EXPECT_EQ(p.rules[2].interface_name, L"Old LAN");
       }},
      {"settings_invalid_values_keep_the_profiles",
       "\t<Settings ttlMin=\"x\" ttlMax=\"600\" blockTcpPort53=\"no\" interceptOthers=\"1\">\n"
       "\t\t<DnsChecker testsPerTime=\"many\" importUrls=\"\" />\n\t</Settings>\n",
       [](const CProfile& p) {
         EXPECT_EQ(p.settings.ttlMin, 0u);
         EXPECT_EQ(p.settings.ttlMax, 600u);
         EXPECT_TRUE(p.settings.blockTcpPort53);
         EXPECT_TRUE(p.settings.interceptOthers);
         EXPECT_EQ(p.checkerSettings.testsPerTime, 15);
         EXPECT_EQ(p.checkerSettings.importUrls, SDnsCheckerSettings::DefaultImportUrls());
       }},
      {"import_urls_replace_the_defaults",
       "\t<Settings>\n\t\t<DnsChecker testTarget=\"t.example\" importUrls=\"\r\nhttp://a.example/x\n\n"
       "https://b.example/y\r\n\" />\n\t</Settings>\n",
       [](const CProfile& p) {
         EXPECT_EQ(p.checkerSettings.testTarget, "t.example");
         EXPECT_EQ(p.checkerSettings.importUrls,
                   (std::vector<std::string>{"http://a.example/x", "https://b.example/y"}));
       }},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    CProfile profile;
    std::wstring error;
    ASSERT_TRUE(LoadConfText(folder, ConfText(c.body), profile, error)) << WideToUtf8(error);
    c.check(profile);
  }
}

// One adapter, "lan0", that is up.
class OneAdapterSource : public platform::NetAdapterSource {
 public:
  bool EnumerateAdapters(std::vector<platform::SAdapterInfo>& out) override {
    platform::SAdapterInfo adapter;
    adapter.name = "lan0";
    adapter.uuid = platform::InterfaceUuidFromName(adapter.name);
    adapter.up = true;
    adapter.addresses = {TextToSockaddr("192.0.2.10")};
    adapter.dnsSuffix = "corp.example";
    out = {adapter};
    return true;
  }
  bool EnumerateWlanNetworks(std::vector<platform::SWlanNetwork>& out) override {
    out.clear();
    return false;
  }
  std::vector<sockaddr_storage> LoadSystemDnsServers() override { return {}; }
  bool RequestWlanScan() override { return false; }
  std::unique_ptr<platform::NetChangeWatcher> StartWatcher(std::function<void()>) override { return nullptr; }
};

TEST_F(ConfRead, InterfacePresentNowGivesItsCurrentName) {
  OneAdapterSource source;
  platform::SetNetAdapterSourceForTesting(&source);
  ResetNetInterfacesForTesting();
  SNetInterface lan;
  const bool found = FindNetInterface(InterfaceIdName, L"lan0", lan);

  const std::string rest = "enabled=\"1\" hostnames=\"*\" action=\"bypass\" action_id=\"0\"";
  const std::string body =
      Rule("name=\"ById\" " + rest + " interface_id=\"" + WideToUtf8(lan.id) +
           "\" interface_id_type=\"id\" interface_name=\"Old name\"") +
      Rule("name=\"BySuffix\" " + rest + " interface_id=\"corp.example\" interface_id_type=\"dns_suffix\"") +
      Rule("name=\"Gone\" " + rest +
           " interface_id=\"{00000000-0000-0000-0000-000000000001}\" interface_id_type=\"id\" "
           "interface_name=\"Old name\"");
  TempFolder folder;
  CProfile profile;
  std::wstring error;
  const bool loaded = LoadConfText(folder, ConfText(body), profile, error);
  platform::SetNetAdapterSourceForTesting(nullptr);
  ResetNetInterfacesForTesting();

  ASSERT_TRUE(found);
  ASSERT_TRUE(loaded) << WideToUtf8(error);
  EXPECT_EQ(profile.rules[0].interface_name, L"lan0");
  EXPECT_EQ(profile.rules[1].interface_name, L"lan0");
  EXPECT_EQ(profile.rules[2].interface_name, L"Old name");
}

TEST_F(ConfRead, NextObjectIdFollowsTheHighestIdRead) {
  struct Case {
    std::string body;
    uint32_t next;
  };
  const Case cases[] = {
      {"", 1001},
      {"\t<DnsServer id=\"5\" name=\"A\" protocol=\"relay\" />\n", 1001},
      {"\t<DnsServer id=\"4000\" name=\"A\" protocol=\"relay\" />\n\t<DnsServer id=\"3000\" name=\"B\" "
       "protocol=\"plain\" af=\"2\" ip=\"192.0.2.1\" />\n\t<DnsPool id=\"4500\" name=\"P\">\n\t\t<DnsServer "
       "id=\"3000\" />\n\t</DnsPool>\n",
       4501},
      // The highest id a file may hold leaves the counter at its last value, never 0.
      {"\t<DnsServer id=\"4294967294\" name=\"A\" protocol=\"relay\" />\n", 4294967295u},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    CProfile profile;
    std::wstring error;
    g_NextObjectId = 7;
    ASSERT_TRUE(LoadConfText(folder, ConfText(c.body), profile, error)) << WideToUtf8(error);
    EXPECT_EQ(g_NextObjectId, c.next);
  }
}

// One fixture per message; what was appended before the failure is counted.
TEST_F(ConfRead, BrokenFilesGiveTheirMessage) {
  struct Case {
    const char* file;
    std::wstring error;
    size_t servers, pools, rules;
  };
  const Case cases[] = {
      {"no_declaration.xml", L"Incorrect header format.", 0, 0, 0},
      {"no_profile_element.xml", L"Correct file header not found.", 0, 0, 0},
      {"format_2.xml", L"Incorrect file format version.", 0, 0, 0},
      {"newer_version.xml", L"The file was generated by a newer version of the program.", 0, 0, 0},
      {"duplicate_server_id.xml", L"Duplicated ID 1001", 1, 0, 0},
      {"pool_id_of_server.xml", L"Duplicated ID 1001", 1, 0, 0},
      // The next free id would wrap to 0, the id of "none".
      {"server_id_wraps.xml", L"Incorrect ID 4294967295 of server Last.", 1, 0, 0},
      {"pool_id_wraps.xml", L"Incorrect ID 4294967295 of pool Pool.", 1, 0, 0},
      {"protocol_unspec.xml", L"Protocol for server One is missing.", 0, 0, 0},
      {"protocol_unknown.xml", L"Protocol for server One is missing.", 0, 0, 0},
      {"protocol_absent.xml", L"Xml error: The mandatory attribute \"protocol\" not found in node <DnsServer>.", 0,
       0, 0},
      {"server_id_letters.xml", L"Xml error: Incorrect value of attribute \"id\" of node <DnsServer>.", 0, 0, 0},
      {"family_10.xml", L"Incorrect address family 10 of server One.", 0, 0, 0},
      {"ip_without_family.xml", L"Address family not specified for server One.", 0, 0, 0},
      {"ip_of_other_family.xml", L"Incorrect IP address of server One.", 0, 0, 0},
      {"plain_without_ip.xml", L"Xml error: The mandatory attribute \"ip\" not found in node <DnsServer>.", 0, 0, 0},
      {"public_key_not_hex.xml", L"Incorrect format of public key hash of server Crypt.", 0, 0, 0},
      {"hashes_short.xml", L"Incorrect format of hashes of server Https.", 0, 0, 0},
      {"dot_without_target.xml", L"IP address or hostname should be set for Tls DoT server.", 0, 0, 0},
      {"doq_without_target.xml", L"IP address or hostname should be set for Quic DoQ server.", 0, 0, 0},
      {"pool_type_capital.xml", L"Incorrect type of pool Pool.", 1, 0, 0},
      {"pool_recheck_zero.xml", L"redundancy_recheck_delay of pool Pool should be greater than 0.", 1, 0, 0},
      {"pool_without_members.xml", L"Pool Pool does not have any servers.", 1, 0, 0},
      {"pool_member_without_id.xml", L"Xml error: The mandatory attribute \"id\" not found in node <DnsServer>.", 1,
       0, 0},
      {"rule_hostnames_empty.xml", L"Incorrect hostnames in the rule R. List cannot be empty.", 1, 0, 0},
      {"rule_action_unknown.xml", L"Incorrect action for the rule R.", 1, 0, 0},
      {"rule_server_deleted.xml", L"Rule R refers to nonexistent server ID 1002.", 1, 1, 0},
      {"rule_pool_deleted.xml", L"Rule P refers to nonexistent pool ID 2002.", 1, 1, 1},
      {"rule_interface_type_unknown.xml", L"Rule R refers to interface by unknown id type mac.", 0, 0, 0},
      {"rule_without_enabled.xml", L"Xml error: The mandatory attribute \"enabled\" not found in node <Rule>.", 0, 0,
       0},
      {"rule_enabled_yes.xml", L"Xml error: Incorrect value of attribute \"enabled\" of node <Rule>.", 0, 0, 0},
      // The Default rule is appended before the settings are read.
      {"import_urls_without_scheme.xml", L"The URL must start with http:// or https://", 0, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    CProfile profile;
    std::wstring error;
    bool openFailed = true;
    bool checkVersion = true;
    EXPECT_FALSE(profile.Load(error, openFailed, checkVersion, WidePath(ConfData("broken/" + std::string(c.file)))));
    EXPECT_EQ(error, c.error);
    EXPECT_FALSE(openFailed);
    EXPECT_EQ(profile.servers.size(), c.servers);
    EXPECT_EQ(profile.pools.size(), c.pools);
    EXPECT_EQ(profile.rules.size(), c.rules);
  }
}

TEST_F(ConfRead, NewerVersionLoadsOnceTheCallerAgrees) {
  const std::wstring newer = WidePath(ConfData("broken/newer_version.xml"));
  std::wstring error;
  bool openFailed = false;
  bool checkVersion = true;
  CProfile first;
  EXPECT_FALSE(first.Load(error, openFailed, checkVersion, newer));
  EXPECT_FALSE(checkVersion);
  CProfile second;
  EXPECT_TRUE(second.Load(error, openFailed, checkVersion, newer)) << WideToUtf8(error);
  EXPECT_EQ(second.servers.size(), 1u);
  EXPECT_FALSE(checkVersion);

  // The format itself is never negotiable.
  CProfile third;
  EXPECT_FALSE(third.Load(error, openFailed, checkVersion, WidePath(ConfData("broken/format_2.xml"))));
  EXPECT_EQ(error, L"Incorrect file format version.");
}

TEST_F(ConfRead, PathArgumentOrTheProfilesOwn) {
  TempFolder folder;
  const std::wstring missing = WidePath(folder.Path() / "Configuration.xml");
  CProfile profile;
  profile.path = missing;
  std::wstring error;
  bool openFailed = false;
  bool checkVersion = true;
  EXPECT_FALSE(profile.Load(error, openFailed, checkVersion, L""));
  EXPECT_TRUE(openFailed);
  EXPECT_EQ(error, L"Could not open file for reading " + missing);

  // Saved through the profile's path, read back through an explicit one.
  profile.ResetToDefault();
  ASSERT_TRUE(profile.Save(error, L"")) << WideToUtf8(error);
  CProfile read;
  EXPECT_TRUE(read.Load(error, openFailed, checkVersion, missing)) << WideToUtf8(error);
  EXPECT_FALSE(openFailed);
  EXPECT_TRUE(read.path.empty());
  EXPECT_TRUE(read.IsDefault());
}

TEST_F(ConfSave, FailedWriteKeepsThePreviousFile) {
  TempFolder folder;
  const auto path = folder.Path() / "Configuration.xml";
  CProfile profile;
  profile.ResetToDefault();
  std::wstring error;
  ASSERT_TRUE(profile.Save(error, WidePath(path))) << WideToUtf8(error);
  const std::string before = testsupport::ReadBytes(path);

  // A file-size limit makes the write fail even for root.
  for (int i = 0; i < 50; ++i) {
    CRule rule;
    rule.name = L"Rule " + std::to_wstring(i);
    profile.rules.insert(profile.rules.begin(), rule);
  }
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = before.size() + 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = profile.Save(error, WidePath(path));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(saved);
  EXPECT_EQ(error.rfind(L"Could not write file " + WidePath(path), 0), 0u) << WideToUtf8(error);
  EXPECT_EQ(testsupport::ReadBytes(path), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 1);
}

TEST_F(ConfSave, UnwritableFolderReportsTheWritersError) {
  TempFolder folder;
  testsupport::WriteBytes(folder.Path() / "file", "x");
  const std::wstring path = WidePath(folder.Path() / "file" / "Configuration.xml");
  CProfile profile;
  std::wstring error;
  EXPECT_FALSE(profile.Save(error, path));
  EXPECT_EQ(error, L"Could not open file for writing " + path);
}

}  // namespace
