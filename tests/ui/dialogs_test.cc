// The dialog base and the custom controls offscreen, with screenshots.
#include <gtest/gtest.h>

#include <clocale>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include "Quorvane/app/message_box.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/ui/dialog_resize.h"
#include "Quorvane/ui/filtered_edit.h"
#include "Quorvane/ui/message_box_ex_dlg.h"
#include "Quorvane/ui/ml_list_ctrl.h"
#include "tests/ui/ui_support.h"

namespace {

class CTestRuleDlg : public CDialogResize {
 public:
  CTestRuleDlg() {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Rule name", this));
    layout->addStretch(1);
    resize(400, 300);
  }
  std::wstring SizeKey() const override { return L"classCTestRuleDlg"; }
};

TEST(DialogResize, AResizedDialogReopensAtItsSize) {
  platform::WriteProfileInt(L"UI", L"classCTestRuleDlg.width", 0);
  platform::WriteProfileInt(L"UI", L"classCTestRuleDlg.height", 0);
  {
    CTestRuleDlg dialog;
    dialog.show();
    ASSERT_TRUE(uitest::Pump([&] { return dialog.isVisible(); }));
    EXPECT_EQ(dialog.size(), QSize(400, 300));
    EXPECT_EQ(dialog.minimumSize(), QSize(400, 300));
    EXPECT_EQ(dialog.maximumSize(), QSize(600, 450));  // growth factors 1.5
    EXPECT_TRUE(dialog.isSizeGripEnabled());
    dialog.resize(520, 410);
    uitest::Pump([&] { return dialog.size() == QSize(520, 410); });
    dialog.accept();
  }
  EXPECT_EQ(platform::GetProfileInt(L"UI", L"classCTestRuleDlg.width", 0), 520);
  CTestRuleDlg again;
  again.show();
  ASSERT_TRUE(uitest::Pump([&] { return again.isVisible(); }));
  EXPECT_EQ(again.size(), QSize(520, 410));
  uitest::Save(again, "dialog_reopened_at_its_size.png");
  again.reject();
}

TEST(MessageBoxEx, YesNoWithoutCloseEscapeIsNoAndATickIsKept) {
  const std::wstring caption = L"Tarnwick";
  const std::wstring message =
      L"There is an update for this version of software.\n\nDo you want to open the download page right now?";
  CMessageBoxExDlg box(caption, message, MB_YESNO | MB_ICONINFORMATION, L"Disable product updates check");
  EXPECT_FALSE(box.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_EQ(box.Button(1)->text(), "Yes");
  EXPECT_EQ(box.Button(2)->text(), "No");
  EXPECT_EQ(box.CheckBox()->text(), "Disable product updates check");
  QTimer::singleShot(0, &box, [&] {
    uitest::Save(box, "message_box_ex.png");
    box.CheckBox()->setChecked(true);
    QTest::keyClick(&box, Qt::Key_Escape);
  });
  EXPECT_EQ(box.DoModal(), IDNO);
  EXPECT_TRUE(box.Checked());
  EXPECT_EQ(platform::GetProfileInt(L"MessageBoxEx", box.Key(), 0), IDNO);

  CMessageBoxExDlg ok(caption, L"Plain", MB_OK, L"");
  EXPECT_EQ(ok.CheckBox()->text(), "Do not show this message again");
  QTimer::singleShot(0, &ok, [&] { ok.Button(1)->click(); });
  EXPECT_EQ(ok.DoModal(), IDOK);
  EXPECT_FALSE(ok.Checked());
}

TEST(FilteredEdit, AHashIsMarkedButNotInALinkAndALinkIsReported) {
  CFilteredEdit edit;
  SCharFilter letters;
  letters.ranges = {{u'a', u'z'}};
  letters.allowed = u".:/\n";
  edit.SetFilter(letters);
  edit.SetCue("hosts, one a line");
  EXPECT_EQ(edit.placeholderText(), "hosts, one a line");
  edit.setPlainText("ab#c file:/x#y");
  EXPECT_TRUE(edit.IsMarked(2));
  EXPECT_FALSE(edit.IsMarked(12));
  QString reported;
  edit.onLink = [&](const QString& link) { reported = link; };
  edit.resize(300, 80);
  edit.show();
  uitest::Pump([&] { return edit.isVisible(); });
  QTextCursor at(edit.document());
  at.setPosition(8);
  const QPoint point = edit.cursorRect(at).center();
  QTest::mouseClick(edit.viewport(), Qt::LeftButton, {}, point);
  EXPECT_EQ(reported, "file:/x#y");
  uitest::Save(edit, "filtered_edit.png");
}

TEST(MlListCtrl, LockedRowsNarrowColumnsAndCommittedChoices) {
  CMlListModel model(4);
  CMlListCtrl list(&model);
  model.AddRow({"Work", "", "", ""});
  model.AddRow({"Default", "", "", ""});
  model.SetLocked(1, true);
  model.SetCellChoices(0, 3, {"Server A", "Server B\r\n(backup)"}, 0);
  int committed = -1;
  list.onChoiceCommitted = [&](int row) { committed = row; };
  list.resize(500, 200);
  list.show();
  uitest::Pump([&] { return list.isVisible(); });

  EXPECT_FALSE(model.data(model.index(1, 0), Qt::CheckStateRole).isValid()) << "a locked row has no check box";
  EXPECT_FALSE(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));
  list.setCurrentIndex(model.index(1, 0));
  QTest::keyClick(&list, Qt::Key_Space);
  EXPECT_FALSE(model.IsChecked(1));
  EXPECT_TRUE(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
  EXPECT_TRUE(model.IsChecked(0));

  list.horizontalHeader()->resizeSection(2, 10);
  EXPECT_EQ(list.horizontalHeader()->sectionSize(2), CMlListCtrl::kMinColumnWidth);

  list.selectRow(0);
  ASSERT_TRUE(list.HasOpenEditor(0, 3));
  auto* combo = qobject_cast<QComboBox*>(list.indexWidget(model.index(0, 3)));
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->itemText(1), "Server B (backup)");
  combo->setCurrentIndex(1);
  combo->showPopup();
  combo->hidePopup();
  EXPECT_EQ(committed, 0);
  EXPECT_EQ(list.GetCellSelection(0, 3), 1);
  uitest::Save(list, "ml_list_ctrl.png");
  list.selectRow(1);
  EXPECT_FALSE(list.HasOpenEditor(0, 3));
  EXPECT_EQ(list.GetCellSelection(0, 3), 1);
}

TEST(DialogHelpers, ColumnRatiosControlListsAndTextExchange) {
  CMlListModel model(2);
  CMlListCtrl list(&model);
  model.AddRow({"a", "b"});
  list.resize(400, 200);
  list.show();
  uitest::Pump([&] { return list.isVisible(); });
  CListColumnRatios ratios(list.horizontalHeader());
  ratios.SetRatios({0.25, 0.5});
  ratios.Apply(true);
  const int width = list.horizontalHeader()->viewport()->width();
  EXPECT_EQ(list.horizontalHeader()->sectionSize(0), int(width * 0.25));
  list.horizontalHeader()->resizeSection(1, width / 4);
  ratios.Capture();
  EXPECT_NEAR(ratios.Ratios()[1], 0.25, 0.01);

  QWidget dialog;
  auto* first = new QLabel("one", &dialog);
  auto* second = new QLabel("two", &dialog);
  first->move(10, 40);
  MoveControls({first, nullptr, second}, -15);
  EXPECT_EQ(first->pos(), QPoint(10, 25));
  EnableControls({first, second}, false);
  EXPECT_FALSE(second->isEnabled());

  QLineEdit edit;
  const std::string oldLocale = setlocale(LC_CTYPE, nullptr);
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);  // the narrow side's codeset
  std::string narrow = "caf\xc3\xa9";
  DDX_TextString(false, &edit, narrow);
  EXPECT_EQ(edit.text(), QString::fromUtf8("caf\xc3\xa9"));
  edit.setText(QString::fromUtf8("na\xc3\xafve"));
  DDX_TextString(true, &edit, narrow);
  EXPECT_EQ(narrow, "na\xc3\xafve");
  std::wstring wide;
  DDX_TextWString(true, &edit, wide);
  EXPECT_EQ(wide, L"na\u00efve");
  setlocale(LC_CTYPE, oldLocale.c_str());
}

}  // namespace
