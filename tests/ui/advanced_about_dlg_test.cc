// Advanced Settings and About offscreen, driven through their widgets: the
// refusals, what reaches the settings and the driver, Defaults then
// Cancel, the warnings, and the About box's logo, link and check box.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "Quorvane/app/update_checker.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/ui/about_dlg.h"
#include "Quorvane/ui/advanced_dlg.h"
#include "Quorvane/ui/message_box_prompt.h"
#include "tests/app/app_fixture.h"
#include "tests/ui/ui_support.h"

namespace {

class CRecordingDriver : public CAdvancedDriver {
 public:
  void Configure(bool blockTcp, bool intercept) override { calls.push_back({blockTcp, intercept}); }
  std::vector<std::pair<bool, bool>> calls;
};

class Dialogs : public testsupport::AppTest {
 protected:
  Dialogs() {
    g_Configuration.path = (Folder() / "conf.xml").wstring();
    // The flush would run on the machine itself.
    g_Configuration.settings.clearDnsCache = false;
  }
  bool Saved() const { return std::filesystem::exists(Folder() / "conf.xml"); }

  testsupport::CScriptedPrompt m_prompt;
  CRecordingDriver m_driver;
};

TEST_F(Dialogs, AdvancedRefusesBadTtlsAndKeepsItsDialogOpen) {
  CAdvancedDlg dialog(nullptr, &m_driver);
  dialog.show();
  EXPECT_EQ(dialog.TtlMin()->text(), "0");
  EXPECT_EQ(dialog.TtlMax()->text(), "2147483647");
  const struct {
    const char *min, *max;
    const wchar_t* refusal;
  } cases[] = {
      {"", "10", L"TTL Min cannot be empty."},
      {"-1", "10", L"TTL Min should be within range 0 - 2147483647."},
      {"2147483648", "10", L"TTL Min should be within range 0 - 2147483647."},
      {"5", "2147483648", L"TTL Max should be within range 0 - 2147483647."},
      {"60", "30", L"TTL Max (30) cannot be less than TTL Min (60)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refusal);
    dialog.TtlMin()->setText(c.min);
    dialog.TtlMax()->setText(c.max);
    m_prompt.Answer(IDOK);
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
    ASSERT_FALSE(m_prompt.boxes.empty());
    EXPECT_EQ(m_prompt.boxes.back().text, c.refusal);
    EXPECT_EQ(m_prompt.boxes.back().caption, L"Advanced Settings");
    EXPECT_TRUE(dialog.isVisible());
  }
  uitest::Save(dialog, "advanced_refusal.png");
  // The last refusal as the desktop's box shows it.
  auto box = MakeMessageBox(m_prompt.boxes.back().text, m_prompt.boxes.back().caption, MB_ICONEXCLAMATION);
  box->show();
  uitest::Save(*box, "advanced_refusal_box.png");
  box->hide();
  EXPECT_FALSE(Saved());
  EXPECT_TRUE(m_driver.calls.empty());
  EXPECT_EQ(uint32_t(g_Configuration.settings.ttlMin), 0u);

  // Letters read as 0; an equal pair is accepted.
  dialog.TtlMin()->setText("abc");
  dialog.TtlMax()->setText("0");
  QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(uint32_t(g_Configuration.settings.ttlMax), 0u);
  EXPECT_TRUE(Saved());
}

TEST_F(Dialogs, AdvancedTellsTheDriverOnlyOfItsTwoOptions) {
  g_Configuration.settings.clearDnsCache = true;
  {
    // The cache flag alone (switched off, so the save flushes nothing).
    CAdvancedDlg dialog(nullptr, &m_driver);
    dialog.TtlMin()->setText("30");
    dialog.TtlMax()->setText("30");
    QTest::mouseClick(dialog.ClearCache(), Qt::LeftButton);
    ASSERT_FALSE(dialog.ClearCache()->isChecked());
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
    EXPECT_TRUE(m_driver.calls.empty());
    EXPECT_FALSE(g_Configuration.settings.clearDnsCache);
    EXPECT_EQ(uint32_t(g_Configuration.settings.ttlMin), 30u);
  }
  {
    CAdvancedDlg dialog(nullptr, &m_driver);
    m_prompt.Answer(IDOK);
    dialog.Intercept()->click();  // on: its warning
    ASSERT_EQ(m_prompt.boxes.size(), 1u);
    EXPECT_EQ(m_prompt.boxes[0].caption, L"Intercept DNS packets injected by third party filters");
    dialog.Intercept()->click();  // off: nothing
    EXPECT_EQ(m_prompt.boxes.size(), 1u);
    m_prompt.Answer(IDOK);
    dialog.Intercept()->click();
    m_prompt.Answer(IDOK);
    dialog.CaptivePortal()->click();
    EXPECT_EQ(m_prompt.boxes.back().caption, L"Enable captive portal detection");
    dialog.BlockTcp()->click();
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
    // One request with both current values.
    EXPECT_EQ(m_driver.calls, (std::vector<std::pair<bool, bool>>{{false, true}}));
    EXPECT_TRUE(g_Configuration.settings.interceptOthers);
    EXPECT_TRUE(g_Configuration.settings.captivePortalDetection);
  }
}

TEST_F(Dialogs, AdvancedDefaultsThenCancelStoresNothing) {
  g_Configuration.settings.ttlMin = 40;
  g_Configuration.settings.blockTcpPort53 = false;
  CAdvancedDlg dialog(nullptr, &m_driver);
  EXPECT_EQ(dialog.TtlMin()->text(), "40");
  QTest::mouseClick(dialog.DefaultsButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.TtlMin()->text(), "0");
  EXPECT_EQ(dialog.TtlMax()->text(), "2147483647");
  EXPECT_TRUE(dialog.ClearCache()->isChecked());
  EXPECT_TRUE(dialog.BlockTcp()->isChecked());
  EXPECT_FALSE(dialog.CaptivePortal()->isChecked());
  EXPECT_FALSE(dialog.Intercept()->isChecked());
  QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_EQ(uint32_t(g_Configuration.settings.ttlMin), 40u);
  EXPECT_FALSE(g_Configuration.settings.blockTcpPort53);
  EXPECT_FALSE(Saved());
  EXPECT_TRUE(m_driver.calls.empty());
}

TEST_F(Dialogs, AboutShowsTheLogoAndWritesItsCheckBoxAtOnce) {
  // Scaled to the control's height, aspect kept, centred, top-aligned.
  EXPECT_EQ(CLogoCtrl::Placement({192, 96}, {400, 120}), QRect(80, 0, 240, 120));
  EXPECT_EQ(CLogoCtrl::Placement({}, {400, 120}), QRect());
  platform::WriteProfileInt(L"Settings", L"NotShowAbout", 1);
  CAboutDlg dialog;
  std::vector<std::string> opened;
  dialog.openUrl = [&](const std::string& url) { opened.push_back(url); };
  dialog.show();
  ASSERT_TRUE(uitest::Pump([&] { return dialog.isVisible(); }));
  EXPECT_FALSE(dialog.Logo()->Image().isNull()) << "160.png beside the test binary";
  EXPECT_TRUE(dialog.Version()->text().startsWith("Version 1.38"));
  EXPECT_TRUE(dialog.NotShowAbout()->isChecked());
  uitest::Save(dialog, "about.png");
  dialog.NotShowAbout()->click();
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"NotShowAbout", 7), 0);
  dialog.NotShowAbout()->click();
  EXPECT_EQ(platform::GetProfileInt(L"Settings", L"NotShowAbout", 7), 1);
  emit dialog.Link()->linkActivated(QString(kMakerSite));
  EXPECT_EQ(opened, std::vector<std::string>({kMakerSite}));
  EXPECT_TRUE(dialog.Link()->text().contains(QString("href=\"") + kMakerSite + "\""));
}

}  // namespace
