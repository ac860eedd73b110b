#include "Quorvane/ui/server_list_dlg.h"

#include <QApplication>
#include <QDrag>
#include <QDragMoveEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>

#include "Quorvane/app/message_box.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/ui/dns_server_dlg.h"
#include "Quorvane/ui/pool_dlg.h"
#include "Quorvane/ui/server_import_dlg.h"

namespace {

constexpr int kIdRole = Qt::UserRole;
constexpr const char* kDragMime = "application/x-tarnwick-server-ids";

QString Q(const std::wstring& text) { return QString::fromStdWString(text); }

uint32_t IdOf(const QTreeWidgetItem* item) { return item ? item->data(0, kIdRole).toUInt() : 0; }

void SetColour(QTreeWidgetItem* item, EItemColour colour) {
  if (colour == EItemColour::Default) {
    item->setData(0, Qt::ForegroundRole, QVariant());
  } else {
    item->setForeground(0, QColor(colour == EItemColour::Green ? QColor(0, 200, 0) : QColor(200, 0, 0)));
  }
}

// The server list: its drag carries the dragged ids and the dialog's image.
class CDragList : public CServerListCtrl {
 public:
  CDragList(CServerListDlg& dialog, std::vector<CDnsServer>* servers, QWidget* parent)
      : CServerListCtrl(servers, 1, parent), m_dialog(dialog) {}

 protected:
  void startDrag(Qt::DropActions) override {
    if (!m_dialog.PoolPaneShown()) return;
    setFocus();
    const std::vector<uint32_t> ids = m_dialog.DraggedIds();
    if (ids.empty()) return;
    QStringList texts;
    for (uint32_t id : ids) texts << QString::number(id);
    auto* mime = new QMimeData;
    mime->setData(kDragMime, texts.join(',').toUtf8());
    auto* drag = new QDrag(this);
    drag->setMimeData(mime);
    drag->setPixmap(m_dialog.DragImage(ids));
    drag->setHotSpot(QPoint(8, 8));
    drag->exec(Qt::CopyAction);
  }

 private:
  CServerListDlg& m_dialog;
};

std::vector<uint32_t> IdsOf(const QMimeData* mime) {
  std::vector<uint32_t> ids;
  for (const QByteArray& part : mime->data(kDragMime).split(','))
    if (!part.isEmpty()) ids.push_back(part.toUInt());
  return ids;
}

}  // namespace

// Label edits: the editor starts with the record's own name (a pool's
// without its type), and a commit goes to the editor model, not the item.
class CLabelDelegate : public QStyledItemDelegate {
 public:
  CLabelDelegate(CServerListDlg& dialog, QAbstractItemView* view)
      : QStyledItemDelegate(view), m_dialog(dialog), m_view(view) {
    connect(this, &QAbstractItemDelegate::closeEditor, this, [this] { m_dialog.m_labelEditOpen = false; });
  }
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    if (index.column() != 0) return nullptr;
    m_dialog.m_labelEditOpen = true;
    return QStyledItemDelegate::createEditor(parent, option, index);
  }
  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    if (auto* line = qobject_cast<QLineEdit*>(editor)) line->setText(m_dialog.LabelEditorText(m_view, index));
  }
  void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override {
    if (auto* line = qobject_cast<QLineEdit*>(editor)) m_dialog.OnLabelCommitted(m_view, index, line->text());
  }

 protected:
  // The status colour also on a selected row.
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    const QVariant colour = index.data(Qt::ForegroundRole);
    if (colour.canConvert<QColor>()) option->palette.setColor(QPalette::HighlightedText, colour.value<QColor>());
  }

 private:
  CServerListDlg& m_dialog;
  QAbstractItemView* m_view;
};

CServerListDlg::CColorTreeCtrl::CColorTreeCtrl(CServerListDlg& dialog) : QTreeWidget(&dialog), m_dialog(dialog) {
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
}

void CServerListDlg::CColorTreeCtrl::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasFormat(kDragMime)) event->acceptProposedAction();
}

void CServerListDlg::CColorTreeCtrl::dragMoveEvent(QDragMoveEvent* event) {
  if (!event->mimeData()->hasFormat(kDragMime)) return;
  QTreeWidgetItem* item = itemAt(event->position().toPoint());
  if (item && !item->parent()) item->setExpanded(true);
  setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
  event->acceptProposedAction();
}

void CServerListDlg::CColorTreeCtrl::dropEvent(QDropEvent* event) {
  if (!event->mimeData()->hasFormat(kDragMime)) return;
  event->acceptProposedAction();
  m_dialog.DropOn(itemAt(event->position().toPoint()), IdsOf(event->mimeData()));
}

CServerListDlg::CServerListDlg(std::vector<CDnsServer>* servers, std::vector<CDnsPool>* pools,
                               const std::vector<CRule>* rules, QWidget* parent, CServerCheckEngine* engine)
    : CDialogResize(parent),
      m_servers(*servers),
      m_pools(*pools),
      m_editor(*servers, *pools, *rules),
      m_checker(engine) {
  setWindowTitle("DNS Servers");
  m_window.Bind(
      this, [this](const platform::SWindowMessage& message) { return OnMessage(message); },
      [](const platform::SWindowMessage& message) {
        // The dialog's own checker's result that it never handled.
        if (message.message == WM_DNSCHECK_RESULT && message.lParam == 0)
          delete reinterpret_cast<SServerCheckResult*>(message.wParam);
      });

  SetGrowthFactors(1.5, 1.5);
  serverDialog = [this](CDnsServer& server) { return EditServerInDialog(this, server); };
  poolDialog = [this](CDnsPool& pool) { return CPoolDlg(&pool, this).DoModal() == IDOK; };
  importDialog = [this]() -> std::optional<std::vector<CDnsServer>> {
    CServerImportDlg import(this);
    if (import.exec() != QDialog::Accepted) return std::nullopt;
    return import.m_result;
  };

  auto button = [this](int id, const char* text, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QString::number(id));
    m_buttons[id] = b;
    return b;
  };
  auto* layout = new QGridLayout(this);
  m_list = new CDragList(*this, servers, this);
  m_list->setObjectName("1019");
  m_list->Model()->namesEditable = true;
  m_list->Model()->rowsDraggable = true;
  m_list->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
  m_list->setItemDelegate(new CLabelDelegate(*this, m_list));
  m_list->setDragEnabled(true);
  m_list->setDragDropMode(QAbstractItemView::DragOnly);
  m_ratios.SetHeader(m_list->horizontalHeader());
  m_ratios.SetRatios({0.3, 0.1, 0.2, 0.4});
  layout->addWidget(m_list, 0, 0);
  auto* side = new QVBoxLayout;
  side->addWidget(button(3, "Add...", this));
  side->addWidget(button(8, "Get from\nthe web...", this));
  side->addWidget(button(4, "Edit...", this));
  side->addWidget(button(5, "Remove", this));
  side->addWidget(button(1037, "Check", this));
  side->addStretch(1);
  layout->addLayout(side, 0, 1);

  m_poolPane = new QWidget(this);
  auto* pane = new QGridLayout(m_poolPane);
  pane->setContentsMargins(0, 0, 0, 0);
  m_hint = new QLabel(
      "Drag and Drop DNS servers from the list to add them into a pool.\nA random server from the pool will be used "
      "for each request.",
      m_poolPane);
  m_hint->setObjectName("1023");
  pane->addWidget(m_hint, 0, 0, 1, 2);
  m_tree = new CColorTreeCtrl(*this);
  m_tree->setParent(m_poolPane);
  m_tree->setObjectName("1021");
  m_tree->setHeaderHidden(true);
  m_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_tree->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
  m_tree->setExpandsOnDoubleClick(false);
  m_tree->setItemDelegate(new CLabelDelegate(*this, m_tree));
  pane->addWidget(m_tree, 1, 0);
  auto* poolButtons = new QVBoxLayout;
  poolButtons->addWidget(button(6, "Create", m_poolPane));
  poolButtons->addWidget(button(9, "Type...", m_poolPane));
  poolButtons->addWidget(button(7, "Remove", m_poolPane));
  poolButtons->addStretch(1);
  pane->addLayout(poolButtons, 1, 1);
  m_poolPane->setFixedHeight(190);
  layout->addWidget(m_poolPane, 1, 0, 1, 2);

  auto* bottom = new QHBoxLayout;
  QPushButton* ok = button(1, "OK", this);
  ok->setDefault(true);
  bottom->addWidget(ok);
  bottom->addStretch(1);
  bottom->addWidget(button(1020, "Server Pools", this));
  bottom->addStretch(1);
  bottom->addWidget(button(2, "Cancel", this));
  layout->addLayout(bottom, 2, 0, 1, 2);
  layout->setRowStretch(0, 1);

  connect(Button(3), &QPushButton::clicked, this, [this] { OnAdd(); });
  connect(Button(8), &QPushButton::clicked, this, [this] { OnImport(); });
  connect(Button(4), &QPushButton::clicked, this, [this] { OnEdit(); });
  connect(Button(5), &QPushButton::clicked, this, [this] { OnRemoveServers(); });
  connect(Button(1037), &QPushButton::clicked, this, [this] { OnCheck(); });
  connect(Button(6), &QPushButton::clicked, this, [this] { OnCreatePool(); });
  connect(Button(9), &QPushButton::clicked, this, [this] { OnPoolType(); });
  connect(Button(7), &QPushButton::clicked, this, [this] { OnRemovePoolItems(); });
  connect(Button(1020), &QPushButton::clicked, this, [this] { ShowPoolPane(true); });
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(Button(2), &QPushButton::clicked, this, &QDialog::reject);
  connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { UpdateButtons(); });
  connect(m_tree, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
  m_list->onActivated = [this](uint32_t) { OnEdit(); };
  m_list->onKey = [this](QKeyEvent* key) {
    if (key->key() != Qt::Key_Delete || m_labelEditOpen) return false;
    OnRemoveServers();
    return true;
  };
  connect(m_tree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    if (!item->parent()) {
      OnPoolType();
      return;
    }
    SelectRow(IdOf(item));
    OnEdit();
  });
  m_list->installEventFilter(this);
  m_tree->installEventFilter(this);

  resize(620, 560);
  FillList();
  FillTree();
  UpdateButtons();
  connect(&m_timer, &QTimer::timeout, this, [this] { m_checker.CheckTimeouts(); });
  m_timer.start(500);
}

CServerListDlg::~CServerListDlg() = default;

int CServerListDlg::DoModal() { return RunModal(*this); }

QPushButton* CServerListDlg::Button(int id) const {
  auto it = m_buttons.find(id);
  return it == m_buttons.end() ? nullptr : it->second;
}

void CServerListDlg::showEvent(QShowEvent* event) {
  CDialogResize::showEvent(event);
  if (m_initialised) return;
  m_initialised = true;
  m_poolPaneHeight = m_poolPane->height() + layout()->spacing();
  Button(1020)->setVisible(m_pools.empty());
  m_hint->setVisible(!m_pools.empty());
  if (m_pools.empty()) {
    m_poolPaneShown = true;
    ShowPoolPane(false);
  }
  m_ratios.Apply(false);
}

void CServerListDlg::resizeEvent(QResizeEvent* event) {
  CDialogResize::resizeEvent(event);
  m_ratios.Apply(false);
}

void CServerListDlg::ShowPoolPane(bool show) {
  if (show == m_poolPaneShown) return;
  m_poolPaneShown = show;
  Button(1020)->setVisible(!show);
  m_hint->setVisible(show);
  const int delta = show ? m_poolPaneHeight : -m_poolPaneHeight;
  const QSize before = size();
  m_poolPane->setVisible(show);
  setMinimumHeight(std::max(0, minimumHeight() + delta));
  setMaximumHeight(maximumHeight() + delta);
  resize(before.width(), before.height() + delta);
}

void CServerListDlg::done(int result) {
  // Saved with the pane's height, so the saved size is that of the dialog with the pane.
  SaveDialogSize(*this, SizeKey(), m_poolPaneShown ? 0 : m_poolPaneHeight);
  m_checker.Stop();
  QDialog::done(result);
}

void CServerListDlg::accept() {
  if (m_editor.Ok()) QDialog::accept();
}

void CServerListDlg::keyPressEvent(QKeyEvent* event) {
  // While a label edit is open, Escape and Enter belong to the edit box.
  const int key = event->key();
  if (m_labelEditOpen && (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter)) {
    event->accept();
    return;
  }
  CDialogResize::keyPressEvent(event);
}

bool CServerListDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusIn) {
    if (watched == m_list) m_treeHadFocus = false;
    if (watched == m_tree) m_treeHadFocus = true;
  } else if (event->type() == QEvent::KeyPress && !m_labelEditOpen) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Delete) {
      if (watched != m_tree) return CDialogResize::eventFilter(watched, event);
      OnRemovePoolItems();
      return true;
    }
  }
  return CDialogResize::eventFilter(watched, event);
}

QTreeWidgetItem* CServerListDlg::PoolItemOf(uint32_t poolId) const {
  for (int i = 0; i < m_tree->topLevelItemCount(); ++i)
    if (IdOf(m_tree->topLevelItem(i)) == poolId) return m_tree->topLevelItem(i);
  return nullptr;
}

void CServerListDlg::FillList() {
  m_list->setUpdatesEnabled(false);
  m_list->Model()->Refill();
  for (const CDnsServer& server : m_servers) WriteRow(server, false);
  m_list->setUpdatesEnabled(true);
  m_ratios.Apply(false);
}

void CServerListDlg::WriteRow(const CDnsServer& server, bool forwarded) {
  m_list->Model()->RefreshRow(server.id);
  for (uint32_t poolId : m_editor.PoolsWithMember(server.id)) {
    const int index = FindPoolIndexById(m_pools, poolId);
    if (forwarded && m_pools[index].type != EPoolType::Redundancy) continue;
    if (QTreeWidgetItem* item = PoolItemOf(poolId)) RefreshPoolItem(item);
  }
}

void CServerListDlg::SortList() { m_list->Model()->sort(m_list->Model()->SortColumn(), m_list->Model()->SortOrder()); }

void CServerListDlg::SelectRow(uint32_t serverId) {
  if (RowOf(serverId) < 0) return;
  m_list->SelectIds({serverId});
  m_list->selectionModel()->setCurrentIndex(m_list->Model()->index(RowOf(serverId), 0), QItemSelectionModel::NoUpdate);
  m_list->ScrollToId(serverId);
  m_list->setFocus();
}

void CServerListDlg::FillTree() {
  m_tree->clear();
  for (const CDnsPool& pool : m_pools) {
    auto* item = new QTreeWidgetItem(m_tree);
    item->setData(0, kIdRole, pool.id);
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    RefreshPoolItem(item);
    item->setExpanded(true);
  }
}

void CServerListDlg::RefreshPoolItem(QTreeWidgetItem* item) {
  const int index = FindPoolIndexById(m_pools, IdOf(item));
  if (index < 0) return;
  const CDnsPool& pool = m_pools[index];
  item->setText(0, Q(pool.GetDisplayName()));
  std::vector<uint32_t> shown;
  for (int i = item->childCount() - 1; i >= 0; --i) {
    QTreeWidgetItem* child = item->child(i);
    const uint32_t id = IdOf(child);
    const bool member = std::count(pool.serverIds.begin(), pool.serverIds.end(), id) ||
                        std::count(pool.relayIds.begin(), pool.relayIds.end(), id);
    const int server = FindServerIndexById(m_servers, id);
    if (!member || server < 0) {
      delete item->takeChild(i);
      continue;
    }
    child->setText(0, Q(MemberText(m_servers[server])));
    shown.push_back(id);
  }
  auto add = [&](uint32_t id, bool first) {
    const int server = FindServerIndexById(m_servers, id);
    if (server < 0 || std::count(shown.begin(), shown.end(), id)) return;
    auto* child = new QTreeWidgetItem;
    child->setData(0, kIdRole, id);
    child->setFlags(child->flags() & ~Qt::ItemIsEditable);
    child->setText(0, Q(MemberText(m_servers[server])));
    if (first) {
      item->insertChild(0, child);
    } else {
      item->addChild(child);
    }
    shown.push_back(id);
  };
  for (uint32_t id : pool.relayIds) add(id, true);
  for (uint32_t id : pool.serverIds) add(id, false);
  ApplyColours();
}

void CServerListDlg::ApplyColours() {
  for (int i = 0; i < m_tree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = m_tree->topLevelItem(i);
    const int pool = FindPoolIndexById(m_pools, IdOf(item));
    if (pool >= 0) SetColour(item, m_editor.PoolColour(m_pools[pool]));
    for (int c = 0; c < item->childCount(); ++c) {
      const int server = FindServerIndexById(m_servers, IdOf(item->child(c)));
      if (server >= 0) SetColour(item->child(c), MemberColour(m_servers[server]));
    }
  }
}

void CServerListDlg::UpdateButtons() {
  const bool row = !m_list->SelectedIds().empty();
  Button(4)->setEnabled(row);
  Button(5)->setEnabled(row);
  Button(1037)->setEnabled(row || !m_tree->selectedItems().isEmpty());
}

std::vector<uint32_t> CServerListDlg::SelectedRowIds() const { return m_list->SelectedIds(); }

std::vector<STreeItem> CServerListDlg::SelectedTreeItems() const {
  std::vector<STreeItem> items;
  for (int i = 0; i < m_tree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* pool = m_tree->topLevelItem(i);
    if (pool->isSelected()) items.push_back({IdOf(pool), 0});
    for (int c = 0; c < pool->childCount(); ++c)
      if (pool->child(c)->isSelected()) items.push_back({IdOf(pool), IdOf(pool->child(c))});
  }
  return items;
}

void CServerListDlg::OnAdd() {
  CDnsServer server;
  if (!serverDialog(server)) return;
  m_servers.push_back(server);
  FillList();
  SelectRow(server.id);
}

void CServerListDlg::OnEdit() {
  const std::vector<uint32_t> ids = SelectedRowIds();
  if (ids.empty()) return;
  const int index = FindServerIndexById(m_servers, ids.front());
  if (index < 0 || !serverDialog(m_servers[index])) return;
  WriteRow(m_servers[index], false);
  SortList();
  SelectRow(ids.front());
}

void CServerListDlg::OnRemoveServers() {
  m_editor.RemoveServers(SelectedRowIds());
  for (int i = 0; i < m_tree->topLevelItemCount(); ++i) RefreshPoolItem(m_tree->topLevelItem(i));
  FillList();
}

void CServerListDlg::OnImport() {
  const std::optional<std::vector<CDnsServer>> imported = importDialog();
  if (!imported) return;
  m_editor.Import(*imported);
  FillList();
}

void CServerListDlg::OnCheck() {
  m_editor.StartCheck(m_checker, SelectedRowIds(), SelectedTreeItems(), m_treeHadFocus, Handle(),
                      g_Configuration.checkerSettings.testTarget);
  for (const CDnsServer& server : m_servers) WriteRow(server, false);
  ApplyColours();
}

void CServerListDlg::OnCreatePool() {
  const uint32_t id = m_editor.CreatePool();
  m_tree->setFocus();
  auto* item = new QTreeWidgetItem(m_tree);
  item->setData(0, kIdRole, id);
  item->setFlags(item->flags() | Qt::ItemIsEditable);
  RefreshPoolItem(item);
  m_tree->scrollToItem(item);
  m_tree->clearSelection();
  item->setSelected(true);
  m_tree->setCurrentItem(item, 0, QItemSelectionModel::Current);
  m_tree->editItem(item, 0);
}

void CServerListDlg::OnPoolType() {
  QTreeWidgetItem* item = m_tree->currentItem();
  if (item && !item->isSelected()) item = nullptr;
  if (item && item->parent()) item = item->parent();
  if (m_editor.EditPoolType(IdOf(item), poolDialog) && item) RefreshPoolItem(item);
}

void CServerListDlg::OnRemovePoolItems() {
  if (!m_editor.RemoveTreeItems(SelectedTreeItems())) return;
  FillTree();
}

std::vector<uint32_t> CServerListDlg::DraggedIds() const { return m_editor.DragOrder(SelectedRowIds()); }

QPixmap CServerListDlg::DragImage(const std::vector<uint32_t>& ids) const {
  std::vector<std::wstring> names;
  for (uint32_t id : ids) {
    const int index = FindServerIndexById(m_servers, id);
    if (index >= 0) names.push_back(m_servers[index].name);
  }
  std::wstring text;
  for (const std::wstring& line : DragImageLines(names)) text += line + L"\r\n";
  const QFontMetrics metrics(m_list->font());
  const int w = metrics.horizontalAdvance('W'), h = metrics.height();
  QPixmap image(50 * w, 15 * h);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    painter.setFont(m_list->font());
    painter.setPen(Qt::black);
    painter.drawText(image.rect(), Qt::AlignLeft | Qt::AlignTop, Q(text).replace("\r\n", "\n"));
  }
  image.setMask(image.createMaskFromColor(Qt::white));
  return image;
}

void CServerListDlg::DropOn(QTreeWidgetItem* item, const std::vector<uint32_t>& ids) {
  if (!item) {
    m_editor.DropOnNothing();
    return;
  }
  m_tree->clearSelection();
  item->setSelected(true);
  QTreeWidgetItem* poolItem = item->parent() ? item->parent() : item;
  m_editor.Drop(ids, IdOf(poolItem));
  RefreshPoolItem(poolItem);
  if (!item->parent()) item->setExpanded(true);
}

QString CServerListDlg::LabelEditorText(QAbstractItemView* view, const QModelIndex& index) const {
  if (view == m_list) {
    const int server = FindServerIndexById(m_servers, m_list->Model()->IdAt(index.row()));
    return server < 0 ? QString() : Q(m_servers[server].name);
  }
  const int pool = index.parent().isValid() ? -1 : FindPoolIndexById(m_pools, index.data(kIdRole).toUInt());
  return pool < 0 ? QString() : Q(m_pools[pool].name);
}

void CServerListDlg::OnLabelCommitted(QAbstractItemView* view, const QModelIndex& index, const QString& text) {
  if (view == m_list) {
    const uint32_t id = m_list->Model()->IdAt(index.row());
    if (!m_editor.RenameServer(id, text.toStdWString())) return;
    WriteRow(m_servers[FindServerIndexById(m_servers, id)], false);
    SortList();
  } else if (!index.parent().isValid()) {
    const uint32_t id = index.data(kIdRole).toUInt();
    if (m_editor.RenamePool(id, text.toStdWString()))
      if (QTreeWidgetItem* item = PoolItemOf(id)) RefreshPoolItem(item);
  }
}

intptr_t CServerListDlg::OnMessage(const platform::SWindowMessage& message) {
  if (message.message != WM_DNSCHECK_RESULT) return 0;
  auto* result = reinterpret_cast<SServerCheckResult*>(message.wParam);
  if (message.lParam == 1) {
    OnCheckResult(*result, true);  // the main window's; it frees it
    return 1;
  }
  std::unique_ptr<SServerCheckResult> owned(result);
  // A result of a check stopped since (a later Check) is not shown.
  if (m_checker.OnResult(result)) OnCheckResult(*result, false);
  return 1;
}

void CServerListDlg::OnCheckResult(const SServerCheckResult& result, bool forwarded) {
  if (RowOf(result.serverId) < 0) return;
  const int index = m_editor.ApplyCheckResult(result);
  if (index < 0) return;
  WriteRow(m_servers[index], forwarded);
  ApplyColours();
  m_tree->viewport()->update();
}
