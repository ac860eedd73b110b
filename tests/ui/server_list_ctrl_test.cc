// The server list offscreen: both layouts' texts, sorting by the header
// with the selection kept, status colours, the owner's check marks and the
// double-click seam.
#include "Quorvane/ui/server_list_ctrl.h"

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QTest>

#include "tests/support/config_records.h"
#include "tests/ui/ui_support.h"

namespace {

using testsupport::MakeServer;

std::vector<CDnsServer> Fixture() {
  return {MakeServer(11, L"charlie", EDnsProtocol::Dot, "192.0.2.3", EServerStatus::Failed),
          MakeServer(12, L"Alpha", EDnsProtocol::Plain, "192.0.2.9", EServerStatus::Ok, 40),
          MakeServer(13, L"bravo", EDnsProtocol::DnsCrypt, "192.0.2.1", EServerStatus::Ok, 12),
          MakeServer(14, L"delta", EDnsProtocol::Plain, "192.0.2.5")};
}

QStringList Column(const CServerListModel& model, int column) {
  QStringList texts;
  for (int row = 0; row < model.rowCount(); ++row) texts << model.index(row, column).data().toString();
  return texts;
}

TEST(ServerListCtrl, TheTwoLayoutsNameTheirColumnsAndTexts) {
  std::vector<CDnsServer> servers = Fixture();
  CServerListModel import(&servers, 3);
  CServerListModel list(&servers, 1);
  import.statusText = [](uint32_t id) { return id == 12 ? QStringLiteral("40") : QString(); };
  for (CServerListModel* model : {&import, &list}) model->Refill();
  QStringList importHeads, listHeads;
  for (int c = 0; c < 4; ++c) {
    importHeads << import.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    listHeads << list.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
  }
  EXPECT_EQ(importHeads, QStringList({"Name", "Protocol", "Address or URL", "Status"}));
  EXPECT_EQ(listHeads, QStringList({"Name", "RTT", "Protocol", "Address or URL"}));
  // Sorted by name, case-insensitively, from the start.
  EXPECT_EQ(Column(list, 0), QStringList({"Alpha", "bravo", "charlie", "delta"}));
  EXPECT_EQ(Column(list, 1), QStringList({"40", "12", "", ""}));  // empty while unknown
  EXPECT_EQ(Column(import, 3), QStringList({"40", "", "", ""}));
  EXPECT_EQ(list.index(0, 3).data().toString(), QString::fromStdWString(servers[1].GetDisplayAddress()));
  EXPECT_EQ(import.index(0, 1).data().toString(), list.index(0, 2).data().toString());
  EXPECT_FALSE(import.index(0, 1).data().toString().isEmpty());
  // Status colours on every cell; Unknown keeps the default.
  EXPECT_EQ(list.index(0, 2).data(Qt::ForegroundRole).value<QColor>(), QColor(0, 200, 0));
  EXPECT_EQ(list.index(2, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(200, 0, 0));
  EXPECT_FALSE(list.index(3, 0).data(Qt::ForegroundRole).isValid());
  // No check marks without the owner's hooks.
  EXPECT_FALSE(list.flags(list.index(0, 0)) & Qt::ItemIsUserCheckable);
  EXPECT_FALSE(list.index(0, 0).data(Qt::CheckStateRole).isValid());
}

TEST(ServerListCtrl, HeaderClicksSortKeepingTheSelectionAndRefillFollowsTheServers) {
  std::vector<CDnsServer> servers = Fixture();
  CServerListCtrl control(&servers, 1);
  control.resize(600, 300);
  control.Model()->Refill();
  control.show();
  control.SelectIds({13});
  // RTT column: Ok before Failed before Unknown, Ok rows by round-trip time.
  control.horizontalHeader()->setSortIndicator(1, Qt::AscendingOrder);
  EXPECT_EQ(Column(*control.Model(), 0), QStringList({"bravo", "Alpha", "charlie", "delta"}));
  EXPECT_EQ(control.SelectedIds(), std::vector<uint32_t>({13}));
  control.horizontalHeader()->setSortIndicator(1, Qt::DescendingOrder);
  EXPECT_EQ(Column(*control.Model(), 0), QStringList({"delta", "charlie", "Alpha", "bravo"}));
  EXPECT_EQ(control.SelectedIds(), std::vector<uint32_t>({13}));
  EXPECT_EQ(control.selectionModel()->selectedRows().at(0).row(), 3);
  uitest::Save(control, "server_list_sorted_by_rtt.png");
  // Unsorted from now on: new rows go last.
  control.horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  servers.erase(servers.begin());  // charlie
  servers.push_back(MakeServer(15, L"aaa", EDnsProtocol::Doh, "192.0.2.0"));
  servers.back().doh_host_name = "doh.example";
  servers.back().doh_path = "/dns-query";
  control.Model()->Refill();
  EXPECT_EQ(Column(*control.Model(), 0), QStringList({"delta", "Alpha", "bravo", "aaa"}));
  EXPECT_EQ(control.Model()->index(3, 3).data().toString(), QStringLiteral("https://doh.example/dns-query"));
  // Address column: DoH after the rest.
  control.horizontalHeader()->setSortIndicator(3, Qt::AscendingOrder);
  EXPECT_EQ(Column(*control.Model(), 0), QStringList({"bravo", "delta", "Alpha", "aaa"}));
}

TEST(ServerListCtrl, CheckMarksAndDoubleClicksGoToTheOwner) {
  std::vector<CDnsServer> servers = Fixture();
  CServerListCtrl control(&servers, 3);
  std::set<uint32_t> checked;
  control.Model()->isChecked = [&](uint32_t id) { return checked.count(id) != 0; };
  control.Model()->setChecked = [&](uint32_t id, bool on) { on ? (void)checked.insert(id) : (void)checked.erase(id); };
  std::vector<uint32_t> activated;
  control.onActivated = [&](uint32_t id) { activated.push_back(id); };
  control.resize(600, 300);
  control.Model()->Refill();
  control.show();
  ASSERT_TRUE(uitest::Pump([&] { return control.isVisible(); }));
  CServerListModel& model = *control.Model();
  EXPECT_TRUE(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable);
  EXPECT_TRUE(model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole));  // bravo
  EXPECT_EQ(checked, std::set<uint32_t>({13}));
  EXPECT_EQ(model.index(1, 0).data(Qt::CheckStateRole).toInt(), Qt::Checked);
  const QRect cell = control.visualRect(model.index(2, 1));
  QTest::mouseClick(control.viewport(), Qt::LeftButton, {}, cell.center());
  QTest::mouseDClick(control.viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(activated, std::vector<uint32_t>({11}));
  // Without an editor installed, editing changes nothing.
  EXPECT_FALSE(EditServer(&control, servers[0]));
  SetServerEditor([](QWidget*, CDnsServer& server) {
    server.name = L"edited";
    return true;
  });
  EXPECT_TRUE(EditServer(&control, servers[0]));
  EXPECT_EQ(servers[0].name, L"edited");
  SetServerEditor(nullptr);
}

}  // namespace
