// Dialog 137 "DNS Servers": a thin Qt view over ServerPoolEditor
// (server_pool_editor.h), which edits the caller's vectors in place. The
// server list (Name, RTT, Protocol, Address or URL; item data the server id),
// the pool tree (pools and their members, multi-selection, coloured by
// state), the pool pane that opens with "Server Pools", drag and drop of
// servers onto pools, label edits, and the dialog's own checker.
//
// Check results: lParam 0 is the dialog's own checker's result (handled and
// freed here); lParam 1 is the main window's, forwarded by a blocking send
// while the dialog is open (read only; the main window frees it). UI thread.
#pragma once

#include <QPixmap>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <optional>
#include <vector>

#include "Quorvane/ui/dialog_resize.h"
#include "Quorvane/ui/window_binding.h"
#include "Quorvane/ui/server_list_ctrl.h"
#include "Quorvane/ui/server_pool_editor.h"

class QLabel;
class QPushButton;
class QStyledItemDelegate;

class CServerListDlg : public CDialogResize {
 public:
  // The pool tree: pools at the root (item data the pool id), members below
  // (item data the server id).
  class CColorTreeCtrl : public QTreeWidget {
   public:
    explicit CColorTreeCtrl(CServerListDlg& dialog);

   protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

   private:
    CServerListDlg& m_dialog;
  };

  CServerListDlg(std::vector<CDnsServer>* servers, std::vector<CDnsPool>* pools, const std::vector<CRule>* rules,
                 QWidget* parent = nullptr, CServerCheckEngine* engine = nullptr);
  ~CServerListDlg() override;

  std::wstring SizeKey() const override { return L"classCServerListDlg"; }
  int DoModal();
  platform::HWND Handle() const { return m_window.Handle(); }

  // Seams of the dialogs it opens; true on OK. Tests replace them.
  std::function<bool(CDnsServer& server)> serverDialog;
  std::function<bool(CDnsPool& pool)> poolDialog;
  // Get from the web: the imported servers on OK.
  std::function<std::optional<std::vector<CDnsServer>>()> importDialog;

  CServerListCtrl* List() const { return m_list; }
  CColorTreeCtrl* Tree() const { return m_tree; }
  QPushButton* Button(int id) const;
  bool PoolPaneShown() const { return m_poolPaneShown; }
  bool LabelEditOpen() const { return m_labelEditOpen; }
  CDnsServerChecker& Checker() { return m_checker; }

  // Commands, as their buttons run them.
  void OnAdd();
  void OnEdit();
  void OnRemoveServers();
  void OnImport();
  void OnCheck();
  void OnCreatePool();
  void OnPoolType();
  void OnRemovePoolItems();
  void ShowPoolPane(bool show);

  // Drag and drop: the image of the dragged rows, and a drop on a tree item
  // (null: over no item).
  QPixmap DragImage(const std::vector<uint32_t>& ids) const;
  std::vector<uint32_t> DraggedIds() const;
  void DropOn(QTreeWidgetItem* item, const std::vector<uint32_t>& ids);

  int RowOf(uint32_t serverId) const { return m_list->Model()->RowOf(serverId); }
  QTreeWidgetItem* PoolItemOf(uint32_t poolId) const;

 protected:
  void accept() override;
  void done(int result) override;
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  friend class CLabelDelegate;

  void FillList();
  void WriteRow(const CDnsServer& server, bool forwarded);
  void SortList();
  void SelectRow(uint32_t serverId);
  void FillTree();
  void RefreshPoolItem(QTreeWidgetItem* item);
  void ApplyColours();
  void UpdateButtons();
  // A label edit of the list or the tree; index is the edited cell.
  void OnLabelCommitted(QAbstractItemView* view, const QModelIndex& index, const QString& text);
  QString LabelEditorText(QAbstractItemView* view, const QModelIndex& index) const;
  intptr_t OnMessage(const platform::SWindowMessage& message);
  void OnCheckResult(const SServerCheckResult& result, bool forwarded);
  std::vector<uint32_t> SelectedRowIds() const;
  std::vector<STreeItem> SelectedTreeItems() const;

  std::vector<CDnsServer>& m_servers;
  std::vector<CDnsPool>& m_pools;
  ServerPoolEditor m_editor;
  CDnsServerChecker m_checker;
  CServerListCtrl* m_list = nullptr;
  CColorTreeCtrl* m_tree = nullptr;
  QWidget* m_poolPane = nullptr;
  QLabel* m_hint = nullptr;
  std::map<int, QPushButton*> m_buttons;
  CListColumnRatios m_ratios;
  int m_poolPaneHeight = 0;
  bool m_poolPaneShown = true;
  bool m_treeHadFocus = false;
  bool m_labelEditOpen = false;
  bool m_initialised = false;
  QTimer m_timer;
  CWindowBinding m_window;
};
