// The server list of the import dialog and of the DNS Servers dialog: an
// item model over the owner's server vector (each row is a server id, the
// owner keeps the servers) sorted by CompareServerRows, and its view, which
// draws Ok green and Failed red, on the highlight too. Two layouts, fixed
// by the status column: 3 gives Name, Protocol, Address or URL, Status (the
// import); 1 gives Name, RTT, Protocol, Address or URL (the server list).
// UI thread.
#pragma once

#include <QAbstractTableModel>
#include <QTableView>
#include <functional>
#include <set>
#include <vector>

#include "Quorvane/config/dns_server.h"

class CServerListModel : public QAbstractTableModel {
 public:
  // servers: the owner's, not owned; it outlives the model.
  CServerListModel(std::vector<CDnsServer>* servers, int statusColumn, QObject* parent = nullptr);

  int StatusColumn() const { return m_statusColumn; }
  int ProtocolColumn() const { return m_statusColumn == 3 ? 1 : 2; }
  int AddressColumn() const { return m_statusColumn == 3 ? 2 : 3; }

  // Drops the rows whose id names no server any more, adds a row for every
  // server without one, and sorts again by the current column.
  void Refill();
  // Every cell of the server's row changed.
  void RefreshRow(uint32_t id);
  // Drops every row (the servers stay as they are).
  void Clear();

  uint32_t IdAt(int row) const { return m_ids.at(size_t(row)); }
  int RowOf(uint32_t id) const;  // -1 when it has no row
  const std::vector<uint32_t>& Ids() const { return m_ids; }
  int SortColumn() const { return m_sortColumn; }
  Qt::SortOrder SortOrder() const { return m_sortOrder; }

  // Check marks in column 0 when isChecked is set: the owner keeps them and
  // setChecked reports a click (or a Space) on one.
  std::function<bool(uint32_t id)> isChecked;
  std::function<void(uint32_t id, bool checked)> setChecked;
  // The Status column's text; without it the column shows the RTT in
  // milliseconds, empty while unknown.
  std::function<QString(uint32_t id)> statusText;
  // The DNS Servers layout: names edited in place (the view's delegate
  // commits them to the owner) and rows dragged onto pools.
  bool namesEditable = false;
  bool rowsDraggable = false;

  int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(m_ids.size()); }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 4; }
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // column -1 leaves the rows as they stand from now on.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  const CDnsServer* Server(int row) const;
  QString Text(const CDnsServer& server, int column) const;
  void SortRows();

  std::vector<CDnsServer>* m_servers;
  int m_statusColumn;
  std::vector<uint32_t> m_ids;
  int m_sortColumn = 0;
  Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
};

// Ok green, Failed red, else none.
QColor ServerStatusColour(EServerStatus status);

class CServerListCtrl : public QTableView {
 public:
  CServerListCtrl(std::vector<CDnsServer>* servers, int statusColumn, QWidget* parent = nullptr);

  CServerListModel* Model() const { return m_model; }
  // The selected rows' ids, top to bottom.
  std::vector<uint32_t> SelectedIds() const;
  void SelectIds(const std::set<uint32_t>& ids);
  void ScrollToId(uint32_t id);

  // A double-click on a row (the owner edits the server).
  std::function<void(uint32_t id)> onActivated;
  // A key on the list; true when the owner took it.
  std::function<bool(QKeyEvent* event)> onKey;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  CServerListModel* m_model;
};

// Edits one server in its own dialog, filled in by the DNS server dialog;
// true on OK. Without one a double-click edits nothing.
using ServerEditor = std::function<bool(QWidget* parent, CDnsServer& server)>;
void SetServerEditor(ServerEditor editor);
bool EditServer(QWidget* parent, CDnsServer& server);
