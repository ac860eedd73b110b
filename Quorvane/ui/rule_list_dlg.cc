#include "Quorvane/ui/rule_list_dlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "Quorvane/app/message_box.h"
#include "Quorvane/ui/message_box_ex_dlg.h"
#include "Quorvane/ui/net_interface_dlg.h"

namespace {

QString Q(const std::wstring& text) { return QString::fromStdWString(text); }

std::vector<QString> Texts(const std::vector<std::wstring>& texts) {
  std::vector<QString> out;
  for (const std::wstring& text : texts) out.push_back(Q(text));
  return out;
}

std::vector<SNetInterface> SnapshotActionList(const std::vector<CRule>& rules) {
  SNetInterfacesSnapshot snapshot;
  GetNetInterfacesSnapshot(snapshot);
  return BuildRuleActionList(rules, snapshot);
}

}  // namespace

CRuleListDlg::CRuleListDlg(std::vector<CRule>* rules, const std::vector<CDnsServer>* servers,
                           const std::vector<CDnsPool>* pools, bool* ignoreIfDown, QWidget* parent, SHooks hooks)
    : CDialogResize(parent), m_rules(rules), m_ignoreIfDown(ignoreIfDown), m_hooks(std::move(hooks)),
      m_model(*rules, *servers, *pools, *ignoreIfDown,
              m_hooks.actionList ? *m_hooks.actionList : SnapshotActionList(*rules)) {
  if (!m_hooks.rule.moreOptions) m_hooks.rule.moreOptions = InterfaceDialogRunner(m_model.actionList, this);
  SetGrowthFactors(1.5, 1.5);
  setWindowTitle("Rules");

  m_listModel = new CMlListModel(4, this);
  m_listModel->SetHeaders({"Rule Name", "Hostnames", "Action", "DNS Server"});
  m_list = new CMlListCtrl(m_listModel, this);
  m_list->SetTwoLineRows();
  m_list->setShowGrid(true);
  m_list->horizontalHeader()->setSectionsMovable(true);
  m_list->installEventFilter(this);
  m_ratios.SetHeader(m_list->horizontalHeader());
  m_ratios.SetRatios({0.25, 0.25, 0.25, 0.25});

  auto* grid = new QGridLayout(this);
  grid->addWidget(m_list, 0, 0, 5, 1);
  auto button = [this](int id, const char* text) {
    auto* b = new QPushButton(text, this);
    m_buttons.emplace_back(id, b);
    return b;
  };
  grid->addWidget(button(1028, "Up"), 0, 1);
  auto* move = new QLabel("Move", this);
  move->setAlignment(Qt::AlignCenter);
  grid->addWidget(move, 1, 1);
  grid->addWidget(button(1029, "Down"), 2, 1);
  grid->setRowStretch(3, 1);
  auto* actions = new QHBoxLayout;
  for (auto [id, text] : {std::pair{1020, "Add..."}, {1021, "Clone"}, {1022, "Edit..."}, {1023, "Remove"}})
    actions->addWidget(button(id, text));
  actions->addStretch(1);
  grid->addLayout(actions, 5, 0);
  m_ignore = new QCheckBox("Ignore the rule when its network interface is down.", this);
  grid->addWidget(m_ignore, 6, 0);
  grid->addWidget(new QLabel("Rules are processed from top to bottom. Use Up/Down buttons at the right to change the "
                             "order.\nUse check boxes to enable/disable a rule.",
                             this),
                  7, 0);
  auto* ok = new QPushButton("OK", this);
  auto* cancel = new QPushButton("Cancel", this);
  ok->setAutoDefault(false);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(ok);
  bottom->addWidget(cancel);
  grid->addLayout(bottom, 8, 0, 1, 2);

  connect(ok, &QPushButton::clicked, this, &CRuleListDlg::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(Button(1020), &QPushButton::clicked, this, [this] { OnAdd(); });
  connect(Button(1021), &QPushButton::clicked, this, [this] { OnClone(); });
  connect(Button(1022), &QPushButton::clicked, this, [this] { OnEdit(); });
  connect(Button(1023), &QPushButton::clicked, this, [this] { OnRemove(); });
  connect(Button(1028), &QPushButton::clicked, this, [this] { OnMove(-1); });
  connect(Button(1029), &QPushButton::clicked, this, [this] { OnMove(1); });
  connect(m_ignore, &QCheckBox::toggled, this, [this](bool on) {
    m_model.ignoreIfDown = on;
    Fill(Selected());
  });
  connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { UpdateButtons(); });
  connect(m_list, &QAbstractItemView::doubleClicked, this, [this] { OnEdit(); });
  connect(m_list->horizontalHeader(), &QHeaderView::sectionResized, this, [this] {
    if (!m_filling) m_ratios.Capture();
  });

  m_listModel->onStateChanged = [this](int row) {
    if (!m_filling) m_model.SetEnabled(row, m_listModel->IsChecked(row));
  };
  m_listModel->onLabelEdited = [this](int row, const QString& text) {
    return m_model.Rename(row, text.toStdWString());
  };
  m_list->onChoiceCommitted = [this](int row) {
    const int action = m_list->GetCellSelection(row, 2);
    const int target = m_list->GetCellSelection(row, 3);
    m_model.CommitCell(row, action, target, m_hooks.rule.moreOptions);
    // The committing drop-down is still in its close-up: rebuild after it.
    QTimer::singleShot(0, this, [this, row] { Fill(row); });
  };

  m_ignore->setChecked(m_model.ignoreIfDown);
  Fill(-1);
  resize(840, 470);
}

QPushButton* CRuleListDlg::Button(int id) const {
  for (const auto& [key, button] : m_buttons)
    if (key == id) return button;
  return nullptr;
}

void CRuleListDlg::Fill(int select) {
  m_filling = true;
  m_list->setUpdatesEnabled(false);
  m_list->ClearRows();
  const QColor grey = palette().color(QPalette::Disabled, QPalette::Text);
  for (int r = 0; r < m_model.Count(); ++r) {
    const CRuleListModel::SRow row = m_model.Row(r);
    m_listModel->AddRow({Q(row.name), Q(row.hostnames), QString(), Q(row.targetText)});
    m_listModel->SetCellChoices(r, 2, Texts(row.actionChoices), row.actionSelection);
    if (!row.targetChoices.empty()) m_listModel->SetCellChoices(r, 3, Texts(row.targetChoices), row.targetSelection);
    if (row.locked) m_listModel->SetLocked(r, true);
    else m_listModel->setData(m_listModel->index(r, 0), row.checked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
    if (row.grey) m_listModel->SetItemColor(r, true, grey);
  }
  m_list->setUpdatesEnabled(true);
  m_ratios.Apply(false);
  m_filling = false;
  if (select >= 0 && select < m_model.Count()) m_list->selectRow(select);
  UpdateButtons();
}

int CRuleListDlg::Selected() const {
  const QModelIndexList rows = m_list->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.front().row();
}

void CRuleListDlg::UpdateButtons() {
  const bool selected = Selected() >= 0;
  for (int id : {1021, 1022, 1023, 1028, 1029}) Button(id)->setEnabled(selected);
}

bool CRuleListDlg::EditRule(CRule& rule, bool isDefault) {
  if (m_hooks.editRule) return m_hooks.editRule(rule, isDefault);
  CRuleDlg dialog(&rule, &m_model.actionList, &m_model.servers, &m_model.pools, isDefault, this, m_hooks.rule);
  return dialog.DoModal() == IDOK;
}

void CRuleListDlg::OnAdd() {
  CRule rule;
  rule.name = L"New Rule";
  rule.enabled = true;
  rule.action = ERuleAction::ProcessServer;
  rule.action_id = 0;
  if (!EditRule(rule, false)) return;
  Fill(m_model.Add(rule));
}

void CRuleListDlg::OnClone() {
  const int row = Selected();
  if (row < 0) return;
  if (m_model.Clone(row)) Fill(row);
}

void CRuleListDlg::OnEdit() {
  const int row = Selected();
  if (row < 0) return;
  CRule copy = m_model.rules[row];
  if (!EditRule(copy, m_model.IsDefault(row))) return;
  m_model.rules[row] = copy;
  Fill(row);
}

void CRuleListDlg::OnRemove() {
  const int row = Selected();
  if (row < 0) return;
  const int next = m_model.Remove(row);
  Fill(std::min(next, m_model.Count() - 1));
}

void CRuleListDlg::OnMove(int delta) {
  const int row = Selected();
  const int now = delta < 0 ? m_model.MoveUp(row) : m_model.MoveDown(row);
  if (row >= 0) Fill(now);
}

void CRuleListDlg::accept() {
  int editRow = -1;
  switch (m_model.Ok(editRow)) {
    case CRuleListModel::EOk::Stay: return;
    case CRuleListModel::EOk::Edit:
      m_list->selectRow(editRow);
      OnEdit();
      return;
    case CRuleListModel::EOk::Close:
      *m_rules = m_model.rules;
      *m_ignoreIfDown = m_model.ignoreIfDown;
      CDialogResize::accept();
      return;
  }
}

bool CRuleListDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_list && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      OnEdit();
      return true;
    }
    if (key == Qt::Key_Delete) {
      OnRemove();
      return true;
    }
  }
  // The header takes the list's new width only after the list handled it.
  if (watched == m_list && event->type() == QEvent::Resize)
    QTimer::singleShot(0, this, [this] { m_ratios.Apply(false); });
  return CDialogResize::eventFilter(watched, event);
}

int CRuleListDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }
