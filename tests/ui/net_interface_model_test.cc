#include "Quorvane/ui/net_interface_model.h"

#include <gtest/gtest.h>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/clock.h"
#include "tests/app/app_fixture.h"

namespace {

using testsupport::CScriptedPrompt;

SNetInterface Adapter(const std::wstring& id, const std::wstring& name, bool up) {
  SNetInterface entry;
  entry.id = id;
  entry.name = name;
  entry.up = up;
  if (up) entry.addresses.resize(1);
  return entry;
}

std::vector<SNetInterface> ActionList() {
  std::vector<SNetInterface> list(3);
  for (auto& special : list) special.special = 1;
  list.push_back(Adapter(L"{0A1B2C3D-0000-1111-2222-333344445555}", L"eth0", true));
  list.push_back(Adapter(L"{0a1b2c3d-aaaa-bbbb-cccc-ddddeeeeffff}", L"wlan0", false));
  list.back().dnsSuffix = L"corp.example";
  return list;
}

TEST(IsBracedGuid, ExactShapeEitherCase) {
  struct Case {
    const wchar_t* text;
    bool ok;
  } cases[] = {
      {L"{0A1B2C3D-0000-1111-2222-333344445555}", true},
      {L"{0a1b2c3d-aaaa-bbbb-cccc-ddddeeeeffff}", true},
      {L"0a1b2c3d-aaaa-bbbb-cccc-ddddeeeeffff", false},
      {L"{0a1b2c3d-aaaa-bbbb-cccc-ddddeeeefff}", false},
      {L"{0a1b2c3d-aaaa-bbbb-cccc-ddddeeeefffg}", false},
      {L"{0a1b2c3daaaaa-bbbb-cccc-ddddeeeeffff}", false},
      {L"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsBracedGuid(c.text), c.ok) << WideToUtf8(c.text);
  // The id an enumerated adapter gets.
  GUID guid{0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_TRUE(IsBracedGuid(GuidToText(guid)));
}

TEST(BuildValueList, ListsEachAttributeWithTheDownMark) {
  auto list = ActionList();
  EXPECT_EQ(BuildValueList(InterfaceIdAdapter, list, {}, 0).values,
            (std::vector<std::wstring>{L"{0A1B2C3D-0000-1111-2222-333344445555} eth0",
                                       L"{0a1b2c3d-aaaa-bbbb-cccc-ddddeeeeffff} wlan0 [down]"}));
  EXPECT_EQ(BuildValueList(InterfaceIdName, list, {}, 0).values,
            (std::vector<std::wstring>{L"eth0", L"wlan0 [down]"}));
  EXPECT_EQ(BuildValueList(InterfaceIdDnsSuffix, list, {}, 0).values,
            (std::vector<std::wstring>{L"corp.example [down]"}));
  SNetInterface ssidEntry = Adapter(L"", L"", true);
  ssidEntry.idType = InterfaceIdSsid;
  ssidEntry.ssid = L"Cafe";
  list.push_back(ssidEntry);
  auto ssids = BuildValueList(InterfaceIdSsid, list, {{L"Home", true}, {L"Cafe", false}, {L"Attic", false}}, 0);
  EXPECT_EQ(ssids.values, (std::vector<std::wstring>{L"Attic [down]", L"Cafe", L"Home"}));
  EXPECT_TRUE(BuildValueList(7, list, {}, 0).values.empty());
}

TEST(BuildValueList, WaitNoticeOnlyEarlyWithFewNetworks) {
  struct Case {
    uint64_t ms;
    size_t networks;
    bool notice;
  } cases[] = {{0, 0, true}, {3999, 1, true}, {4000, 1, false}, {100, 2, false}};
  for (const Case& c : cases) {
    std::map<std::wstring, bool> ssids;
    for (size_t i = 0; i < c.networks; ++i) ssids[L"net" + std::to_wstring(i)] = false;
    EXPECT_EQ(BuildValueList(InterfaceIdSsid, {}, ssids, c.ms).waitNotice, c.notice) << c.ms << " " << c.networks;
    EXPECT_FALSE(BuildValueList(InterfaceIdName, {}, ssids, c.ms).waitNotice);
  }
}

TEST(ResolveChoice, SelectsListedAdaptersAndAppendsTheRest) {
  auto find = [](ENetInterfaceIdType, const std::wstring&, SNetInterface&) { return false; };
  auto list = ActionList();
  int choice = -1;
  // A listed id with its name and the down mark after it.
  ASSERT_TRUE(ResolveChoice(InterfaceIdAdapter, L"{0a1b2c3d-aaaa-bbbb-cccc-ddddeeeeffff} wlan0 [down]", list, choice,
                            find));
  EXPECT_EQ(choice, 4);
  EXPECT_EQ(list.size(), 5u);
  // An unknown id is appended with only the braced GUID.
  ASSERT_TRUE(ResolveChoice(InterfaceIdAdapter, L"{11111111-2222-3333-4444-555555555555} gone", list, choice, find));
  EXPECT_EQ(choice, 5);
  EXPECT_EQ(list[5].id, L"{11111111-2222-3333-4444-555555555555}");
  // The same SSID twice: two entries.
  ASSERT_TRUE(ResolveChoice(InterfaceIdSsid, L"Cafe [down]", list, choice, find));
  ASSERT_TRUE(ResolveChoice(InterfaceIdSsid, L"Cafe", list, choice, find));
  EXPECT_EQ(choice, 7);
  EXPECT_EQ(list[6].ssid, L"Cafe");
  EXPECT_EQ(list[7].ssid, L"Cafe");
  EXPECT_EQ(list[7].idType, InterfaceIdSsid);
}

TEST(ResolveChoice, FoundInterfaceIsCopiedWithoutItsId) {
  auto find = [](ENetInterfaceIdType, const std::wstring&, SNetInterface& out) {
    out = Adapter(L"{0A1B2C3D-0000-1111-2222-333344445555}", L"eth0", true);
    out.dnsSuffix = L"lan";
    return true;
  };
  std::vector<SNetInterface> list;
  int choice = -1;
  ASSERT_TRUE(ResolveChoice(InterfaceIdDnsSuffix, L"lan", list, choice, find));
  EXPECT_TRUE(list[0].id.empty());
  EXPECT_EQ(list[0].name, L"eth0");
  EXPECT_TRUE(list[0].Matches(InterfaceIdDnsSuffix, L"lan"));
}

TEST(ResolveChoice, RefusalsAreBoxesAndChangeNothing) {
  struct Case {
    int attribute;
    const wchar_t* value;
    const wchar_t* text;
  } cases[] = {
      {4, L"", L"Incorrect attribute type"},
      {-1, L"{0a1b2c3d-aaaa-bbbb-cccc-ddddeeeeffff}", L"Incorrect attribute type"},
      {InterfaceIdName, L" [down]", L"Please specify the value of the interface attribute."},
      {InterfaceIdAdapter, L"eth0",
       L"Adapter ID should be in GUID fromat like:\n{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"},
  };
  for (const Case& c : cases) {
    CScriptedPrompt prompt;
    prompt.Answer(IDOK);
    auto list = ActionList();
    int choice = -1;
    EXPECT_FALSE(ResolveChoice(c.attribute, c.value, list, choice, nullptr));
    ASSERT_EQ(prompt.boxes.size(), 1u);
    EXPECT_EQ(prompt.boxes[0].text, c.text);
    EXPECT_EQ(prompt.boxes[0].caption, L"Network Interface");
    EXPECT_EQ(prompt.boxes[0].type, MB_ICONEXCLAMATION);
    EXPECT_EQ(list.size(), 5u);
    EXPECT_EQ(choice, -1);
  }
}

TEST(NetInterfaceModel, WaitNoticeFollowsTheClock) {
  platform::FakeClock clock;
  platform::SetClockSourceForTesting(&clock);
  std::vector<SNetInterface> list;
  int scans = 0;
  CNetInterfaceModel model(list, {[&] { return ++scans, true; },
                                  [] { return std::map<std::wstring, bool>{{L"Home", true}}; }, nullptr});
  model.Open();
  {
    CScriptedPrompt prompt;
    prompt.Answer(IDOK);
    EXPECT_EQ(model.Values(InterfaceIdSsid), (std::vector<std::wstring>{L"Home"}));
    ASSERT_EQ(prompt.boxes.size(), 1u);
    EXPECT_EQ(prompt.boxes[0].text, L"Please wait for the update of WiFi network list.");
    EXPECT_EQ(prompt.boxes[0].caption, L"WiFi Networks");
    EXPECT_EQ(prompt.boxes[0].type, MB_ICONINFORMATION);
  }
  clock.AdvanceMs(4000);
  {
    CScriptedPrompt prompt;
    EXPECT_EQ(model.Values(InterfaceIdSsid).size(), 1u);
  }
  EXPECT_EQ(scans, 3);
  platform::SetClockSourceForTesting(nullptr);
}

}  // namespace
