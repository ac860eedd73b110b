#include "Quorvane/ui/server_list_ctrl.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QStyledItemDelegate>
#include <algorithm>

#include "Quorvane/config/dns_protocol.h"
#include "Quorvane/ui/server_import_model.h"

namespace {

// The status colour also on a selected row, where the style would draw the
// highlight-text colour.
class CStatusColourDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    const QVariant colour = index.data(Qt::ForegroundRole);
    if (colour.canConvert<QColor>()) option->palette.setColor(QPalette::HighlightedText, colour.value<QColor>());
  }
};

ServerEditor& Editor() {
  static ServerEditor editor;
  return editor;
}

}  // namespace

QColor ServerStatusColour(EServerStatus status) {
  switch (status) {
    case EServerStatus::Ok: return QColor(0, 200, 0);
    case EServerStatus::Failed: return QColor(200, 0, 0);
    default: return {};
  }
}

CServerListModel::CServerListModel(std::vector<CDnsServer>* servers, int statusColumn, QObject* parent)
    : QAbstractTableModel(parent), m_servers(servers), m_statusColumn(statusColumn) {}

const CDnsServer* CServerListModel::Server(int row) const {
  if (row < 0 || size_t(row) >= m_ids.size()) return nullptr;
  const int index = FindIndexById(*m_servers, m_ids[size_t(row)]);
  return index < 0 ? nullptr : &(*m_servers)[size_t(index)];
}

int CServerListModel::RowOf(uint32_t id) const {
  const auto it = std::find(m_ids.begin(), m_ids.end(), id);
  return it == m_ids.end() ? -1 : int(it - m_ids.begin());
}

void CServerListModel::Refill() {
  for (size_t row = m_ids.size(); row-- > 0;) {
    if (FindIndexById(*m_servers, m_ids[row]) >= 0) continue;
    beginRemoveRows({}, int(row), int(row));
    m_ids.erase(m_ids.begin() + std::ptrdiff_t(row));
    endRemoveRows();
  }
  std::vector<uint32_t> added;
  for (const CDnsServer& server : *m_servers)
    if (RowOf(server.id) < 0) added.push_back(server.id);
  if (!added.empty()) {
    beginInsertRows({}, int(m_ids.size()), int(m_ids.size() + added.size() - 1));
    m_ids.insert(m_ids.end(), added.begin(), added.end());
    endInsertRows();
  }
  SortRows();
}

void CServerListModel::RefreshRow(uint32_t id) {
  const int row = RowOf(id);
  if (row >= 0) emit dataChanged(index(row, 0), index(row, 3));
}

void CServerListModel::Clear() {
  beginResetModel();
  m_ids.clear();
  endResetModel();
}

QString CServerListModel::Text(const CDnsServer& server, int column) const {
  if (column == 0) return QString::fromStdWString(server.name);
  if (column == m_statusColumn) {
    if (statusText) return statusText(server.id);
    return server.rttMs == -1 ? QString() : QString::number(server.rttMs);
  }
  if (column == ProtocolColumn()) {
    const auto it = g_ProtocolTable.find(server.protocol);
    return it == g_ProtocolTable.end() ? QString() : QString::fromStdString(it->second.second);
  }
  if (column == AddressColumn()) return QString::fromStdWString(server.GetDisplayAddress());
  return {};
}

QVariant CServerListModel::data(const QModelIndex& index, int role) const {
  const CDnsServer* server = Server(index.row());
  if (!server || index.column() < 0 || index.column() > 3) return {};
  switch (role) {
    case Qt::DisplayRole: return Text(*server, index.column());
    case Qt::ForegroundRole: {
      const QColor colour = ServerStatusColour(server->status);
      return colour.isValid() ? QVariant(colour) : QVariant();
    }
    case Qt::CheckStateRole:
      if (index.column() == 0 && isChecked) return isChecked(server->id) ? Qt::Checked : Qt::Unchecked;
      return {};
    case Qt::UserRole: return server->id;
    default: return {};
  }
}

QVariant CServerListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section == 0) return QStringLiteral("Name");
  if (section == m_statusColumn) return m_statusColumn == 3 ? QStringLiteral("Status") : QStringLiteral("RTT");
  if (section == ProtocolColumn()) return QStringLiteral("Protocol");
  if (section == AddressColumn()) return QStringLiteral("Address or URL");
  return {};
}

bool CServerListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  const CDnsServer* server = Server(index.row());
  if (!server || role != Qt::CheckStateRole || index.column() != 0 || !setChecked) return false;
  setChecked(server->id, value.toInt() == Qt::Checked);
  emit dataChanged(index, index, {Qt::CheckStateRole});
  return true;
}

Qt::ItemFlags CServerListModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags flags = QAbstractTableModel::flags(index);
  if (index.isValid() && index.column() == 0 && isChecked) flags |= Qt::ItemIsUserCheckable;
  if (index.isValid() && index.column() == 0 && namesEditable) flags |= Qt::ItemIsEditable;
  if (index.isValid() && rowsDraggable) flags |= Qt::ItemIsDragEnabled;
  return flags;
}

void CServerListModel::sort(int column, Qt::SortOrder order) {
  m_sortColumn = column;
  m_sortOrder = order;
  SortRows();
}

void CServerListModel::SortRows() {
  if (m_sortColumn < 0 || m_ids.size() < 2) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<uint32_t> beforeIds;
  for (const QModelIndex& at : before) beforeIds.push_back(m_ids[size_t(at.row())]);
  const bool descending = m_sortOrder == Qt::DescendingOrder;
  std::stable_sort(m_ids.begin(), m_ids.end(), [&](uint32_t a, uint32_t b) {
    const int c = CompareServerRows(*m_servers, a, b, m_sortColumn, m_statusColumn);
    return descending ? c > 0 : c < 0;
  });
  QModelIndexList after;
  for (size_t i = 0; i < beforeIds.size(); ++i) after.push_back(index(RowOf(beforeIds[i]), before[int(i)].column()));
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

CServerListCtrl::CServerListCtrl(std::vector<CDnsServer>* servers, int statusColumn, QWidget* parent)
    : QTableView(parent), m_model(new CServerListModel(servers, statusColumn, this)) {
  setModel(m_model);
  setItemDelegate(new CStatusColourDelegate(this));
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(true);
  setWordWrap(false);
  verticalHeader()->hide();
  horizontalHeader()->setSectionsMovable(true);
  horizontalHeader()->setHighlightSections(false);
  setSortingEnabled(true);
  sortByColumn(0, Qt::AscendingOrder);
  connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& at) {
    if (at.isValid() && onActivated) onActivated(m_model->IdAt(at.row()));
  });
}

std::vector<uint32_t> CServerListCtrl::SelectedIds() const {
  std::vector<int> rows;
  for (const QModelIndex& at : selectionModel()->selectedRows()) rows.push_back(at.row());
  std::sort(rows.begin(), rows.end());
  std::vector<uint32_t> ids;
  for (int row : rows) ids.push_back(m_model->IdAt(row));
  return ids;
}

void CServerListCtrl::SelectIds(const std::set<uint32_t>& ids) {
  QItemSelection selection;
  for (uint32_t id : ids)
    if (const int row = m_model->RowOf(id); row >= 0)
      selection.select(m_model->index(row, 0), m_model->index(row, m_model->columnCount() - 1));
  selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void CServerListCtrl::ScrollToId(uint32_t id) {
  if (const int row = m_model->RowOf(id); row >= 0) scrollTo(m_model->index(row, 0));
}

void CServerListCtrl::keyPressEvent(QKeyEvent* event) {
  if (onKey && onKey(event)) return;
  QTableView::keyPressEvent(event);
}

void SetServerEditor(ServerEditor editor) { Editor() = std::move(editor); }

bool EditServer(QWidget* parent, CDnsServer& server) { return Editor() && Editor()(parent, server); }
