#include "Quorvane/ui/ml_list_ctrl.h"

#include <QComboBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>

int CMlListModel::AddRow(const QStringList& texts) {
  const int row = int(m_rows.size());
  beginInsertRows({}, row, row);
  m_rows.push_back({texts, false});
  endInsertRows();
  return row;
}

void CMlListModel::Clear() {
  beginResetModel();
  m_rows.clear();
  m_locked.clear();
  m_colours.clear();
  m_cells.clear();
  endResetModel();
}

QVariant CMlListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section < m_headers.size()) return m_headers[section];
  return QAbstractTableModel::headerData(section, orientation, role);
}

void CMlListModel::SetLocked(int row, bool locked) {
  if (locked) m_locked.insert(row);
  else m_locked.erase(row);
  emit dataChanged(index(row, 0), index(row, m_columns - 1));
}

void CMlListModel::SetItemColor(int row, bool set, QColor colour) {
  if (set) m_colours[row] = colour;
  else m_colours.erase(row);
  emit dataChanged(index(row, 0), index(row, m_columns - 1));
}

void CMlListModel::SetCellChoices(int row, int column, std::vector<QString> choices, int selected) {
  m_cells.erase({row, column});
  if (!choices.empty()) m_cells[{row, column}] = SCell{std::move(choices), selected};
  emit dataChanged(index(row, column), index(row, column));
}

const CMlListModel::SCell* CMlListModel::Cell(int row, int column) const {
  auto it = m_cells.find({row, column});
  return it == m_cells.end() ? nullptr : &it->second;
}

void CMlListModel::SetCellSelection(int row, int column, int selected) {
  auto it = m_cells.find({row, column});
  if (it != m_cells.end()) it->second.selected = selected;
}

QVariant CMlListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= int(m_rows.size())) return {};
  const SRow& row = m_rows[index.row()];
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      if (const SCell* cell = Cell(index.row(), index.column())) {
        // Carriage returns dropped, line feeds as blanks.
        if (cell->selected < 0 || cell->selected >= int(cell->choices.size())) return QString();
        return QString(cell->choices[cell->selected]).remove('\r').replace('\n', ' ');
      }
      return index.column() < row.texts.size() ? row.texts[index.column()] : QString();
    case Qt::CheckStateRole:
      if (index.column() != 0 || IsLocked(index.row())) return {};
      return row.checked ? Qt::Checked : Qt::Unchecked;
    case Qt::ForegroundRole: {
      auto it = m_colours.find(index.row());
      return it == m_colours.end() ? QVariant() : QVariant(it->second);
    }
    case Qt::TextAlignmentRole:
      return int(Qt::AlignLeft | Qt::AlignVCenter);
    default:
      return {};
  }
}

bool CMlListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid()) return false;
  SRow& row = m_rows[index.row()];
  if (role == Qt::CheckStateRole) {
    if (index.column() != 0 || IsLocked(index.row())) return false;
    row.checked = value.toInt() == Qt::Checked;
    emit dataChanged(index, index);
    if (onStateChanged) onStateChanged(index.row());
    return true;
  }
  if (role == Qt::EditRole && index.column() < row.texts.size() && !Cell(index.row(), index.column())) {
    if (index.column() == 0 && onLabelEdited && !onLabelEdited(index.row(), value.toString())) return false;
    row.texts[index.column()] = value.toString();
    emit dataChanged(index, index);
    return true;
  }
  return false;
}

Qt::ItemFlags CMlListModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == 0 && !IsLocked(index.row())) flags |= Qt::ItemIsUserCheckable | Qt::ItemIsEditable;
  if (Cell(index.row(), index.column())) flags |= Qt::ItemIsEditable;
  return flags;
}

// A drop-down whose close-up commits.
class CChoiceCombo : public QComboBox {
 public:
  using QComboBox::QComboBox;
  std::function<void()> onCloseUp;
  void hidePopup() override {
    QComboBox::hidePopup();
    if (onCloseUp) onCloseUp();
  }
};

class CChoiceDelegate : public QStyledItemDelegate {
 public:
  explicit CChoiceDelegate(CMlListCtrl* list) : QStyledItemDelegate(list), m_list(list) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const CMlListModel::SCell* cell = m_list->m_model->Cell(index.row(), index.column());
    if (!cell) return QStyledItemDelegate::createEditor(parent, option, index);
    auto* combo = new CChoiceCombo(parent);
    for (const QString& choice : cell->choices) combo->addItem(QString(choice).remove('\r').replace('\n', ' '));
    combo->setMaxVisibleItems(30);
    const int row = index.row(), column = index.column();
    combo->onCloseUp = [this, combo, row, column] {
      m_list->m_model->SetCellSelection(row, column, combo->currentIndex());
      if (m_list->onChoiceCommitted) m_list->onChoiceCommitted(row);
    };
    return combo;
  }
  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    if (auto* combo = dynamic_cast<CChoiceCombo*>(editor)) {
      if (const CMlListModel::SCell* cell = m_list->m_model->Cell(index.row(), index.column()))
        combo->setCurrentIndex(cell->selected);
      return;
    }
    QStyledItemDelegate::setEditorData(editor, index);
  }
  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
    if (auto* combo = dynamic_cast<CChoiceCombo*>(editor)) {
      m_list->m_model->SetCellSelection(index.row(), index.column(), combo->currentIndex());
      return;
    }
    QStyledItemDelegate::setModelData(editor, model, index);
  }
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option, const QModelIndex&) const override {
    editor->setGeometry(option.rect.adjusted(1, 1, -1, -1));
  }

 private:
  CMlListCtrl* m_list;
};

CMlListCtrl::CMlListCtrl(CMlListModel* model, QWidget* parent) : QTableView(parent), m_model(model) {
  setModel(model);
  setItemDelegate(new CChoiceDelegate(this));
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::SelectedClicked);
  setWordWrap(true);
  verticalHeader()->hide();
  horizontalHeader()->setMinimumSectionSize(kMinColumnWidth);
  const QFontMetrics metrics(font());
  const int line = metrics.height() + metrics.leading();
  verticalHeader()->setDefaultSectionSize(line * m_linesPerRow + line * 70 / 100 + 1);
}

void CMlListCtrl::SetTwoLineRows() {
  m_linesPerRow = 2;
  const QFontMetrics metrics(font());
  const int line = metrics.height() + metrics.leading();
  verticalHeader()->setDefaultSectionSize(line * m_linesPerRow + line * 70 / 100 + 1);
}

void CMlListCtrl::ClearRows() {
  CloseEditors();
  m_model->Clear();
}

int CMlListCtrl::GetCellSelection(int row, int column) {
  for (const auto& [r, c] : m_open)
    if (QWidget* editor = indexWidget(m_model->index(r, c)))
      if (auto* combo = dynamic_cast<QComboBox*>(editor)) m_model->SetCellSelection(r, c, combo->currentIndex());
  const CMlListModel::SCell* cell = m_model->Cell(row, column);
  return cell ? cell->selected : -1;
}

bool CMlListCtrl::HasOpenEditor(int row, int column) const { return m_open.count({row, column}) != 0; }

bool CMlListCtrl::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  // Label edits of the first column: never on a locked row, and only after
  // a click on the label; choice editors are persistent and pass.
  if (index.isValid() && index.column() == 0 && trigger != QAbstractItemView::AllEditTriggers &&
      trigger != QAbstractItemView::NoEditTriggers && (m_model->IsLocked(index.row()) || !m_labelClick))
    return false;
  return QTableView::edit(index, trigger, event);
}

void CMlListCtrl::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && currentIndex().isValid() && m_model->IsLocked(currentIndex().row())) {
    event->accept();
    return;
  }
  QTableView::keyPressEvent(event);
}

void CMlListCtrl::mousePressEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (index.isValid() && event->button() == Qt::LeftButton) {
    if (index.column() == 0) m_labelClick = !m_labelClick;
    else m_labelClick = false;
  }
  QTableView::mousePressEvent(event);
}

void CMlListCtrl::CloseEditors() {
  for (const auto& [r, c] : m_open) {
    const QModelIndex index = m_model->index(r, c);
    if (QWidget* editor = indexWidget(index))
      if (auto* combo = dynamic_cast<QComboBox*>(editor)) m_model->SetCellSelection(r, c, combo->currentIndex());
    closePersistentEditor(index);
  }
  m_open.clear();
}

void CMlListCtrl::OpenEditors(int row) {
  for (int column = 0; column < m_model->columnCount(); ++column) {
    if (!m_model->Cell(row, column)) continue;
    openPersistentEditor(m_model->index(row, column));
    m_open.insert({row, column});
  }
}

void CMlListCtrl::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
  QTableView::selectionChanged(selected, deselected);
  CloseEditors();
  const QModelIndexList rows = selectionModel()->selectedRows();
  if (rows.isEmpty()) return;
  OpenEditors(rows.front().row());
  m_labelClick = false;
}
