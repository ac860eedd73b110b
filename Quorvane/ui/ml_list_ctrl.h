// A list of multi-line rows: a check box in the first column except on
// locked rows, drop-down choices in some cells whose editors open on the
// selected row (a closed drop-down commits), label edits of the first column
// only after a click on it, and columns never narrower than 40 px. UI thread.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QStyledItemDelegate>
#include <QTableView>
#include <functional>
#include <map>
#include <set>
#include <vector>

class CMlListModel : public QAbstractTableModel {
 public:
  struct SCell {
    std::vector<QString> choices;
    int selected = -1;
  };

  explicit CMlListModel(int columns, QObject* parent = nullptr) : QAbstractTableModel(parent), m_columns(columns) {}

  int AddRow(const QStringList& texts);
  // Rows, cells, colours and locks forgotten; the headers stay.
  void Clear();
  void SetHeaders(QStringList headers) { m_headers = std::move(headers); }
  void SetLocked(int row, bool locked);
  bool IsLocked(int row) const { return m_locked.count(row) != 0; }
  bool IsChecked(int row) const { return m_rows.at(row).checked; }
  void SetItemColor(int row, bool set, QColor colour);
  void SetCellChoices(int row, int column, std::vector<QString> choices, int selected);
  const SCell* Cell(int row, int column) const;
  void SetCellSelection(int row, int column, int selected);
  bool HasCellInColumn3(int row) const { return Cell(row, 3) != nullptr; }

  int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(m_rows.size()); }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : m_columns; }
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // A check state changed; a choice was committed.
  std::function<void(int row)> onStateChanged;
  // A label edit ended; false keeps the old text.
  std::function<bool(int row, const QString& text)> onLabelEdited;

 private:
  struct SRow {
    QStringList texts;
    bool checked = false;
  };
  int m_columns;
  QStringList m_headers;
  std::vector<SRow> m_rows;
  std::set<int> m_locked;
  std::map<int, QColor> m_colours;
  std::map<std::pair<int, int>, SCell> m_cells;
};

class CMlListCtrl : public QTableView {
 public:
  static constexpr int kMinColumnWidth = 40;

  explicit CMlListCtrl(CMlListModel* model, QWidget* parent = nullptr);

  void SetTwoLineRows();
  // Closes the editors, then empties the model.
  void ClearRows();
  int GetCellSelection(int row, int column);
  bool LabelClickFlag() const { return m_labelClick; }
  // Which rows have their editors open.
  bool HasOpenEditor(int row, int column) const;

  // A drop-down closed on the selected row: its choices are to be read.
  std::function<void(int row)> onChoiceCommitted;

 protected:
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;

 private:
  friend class CChoiceDelegate;
  void CloseEditors();
  void OpenEditors(int row);

  CMlListModel* m_model;
  int m_linesPerRow = 1;
  bool m_labelClick = true;
  std::set<std::pair<int, int>> m_open;
};
