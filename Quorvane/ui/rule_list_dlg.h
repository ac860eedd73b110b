// The "Rules" dialog (139): a resizable Qt view over CRuleListModel. Every
// rule is a two-line row of a CMlListCtrl with its check box and in-place
// choices of action and target; the Default row is locked. The whole list
// is rebuilt after each change. On OK the caller's rules and setting hold
// the edits. UI thread.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "Quorvane/ui/dialog_resize.h"
#include "Quorvane/ui/ml_list_ctrl.h"
#include "Quorvane/ui/rule_dlg.h"

class QCheckBox;
class QPushButton;

class CRuleListDlg : public CDialogResize {
 public:
  struct SHooks {
    SRuleDlgHooks rule;  // handed to each CRuleDlg
    // The rule-action list; null builds it from the interface snapshot.
    std::optional<std::vector<SNetInterface>> actionList;
    // Edits a rule; null runs CRuleDlg.
    std::function<bool(CRule& rule, bool isDefault)> editRule;
  };

  CRuleListDlg(std::vector<CRule>* rules, const std::vector<CDnsServer>* servers, const std::vector<CDnsPool>* pools,
               bool* ignoreIfDown, QWidget* parent = nullptr, SHooks hooks = {});

  std::wstring SizeKey() const override { return L"classCRuleListDlg"; }
  int DoModal();
  void accept() override;

  CMlListCtrl* List() const { return m_list; }
  CMlListModel* ListModel() const { return m_listModel; }
  const CRuleListModel& Model() const { return m_model; }
  QCheckBox* IgnoreIfDown() const { return m_ignore; }
  // 1028 Up, 1029 Down, 1020 Add..., 1021 Clone, 1022 Edit..., 1023 Remove.
  QPushButton* Button(int id) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Fill(int select);
  int Selected() const;
  void UpdateButtons();
  void OnAdd();
  void OnClone();
  void OnEdit();
  void OnRemove();
  void OnMove(int delta);
  bool EditRule(CRule& rule, bool isDefault);

  std::vector<CRule>* m_rules;
  bool* m_ignoreIfDown;
  SHooks m_hooks;
  CRuleListModel m_model;
  CMlListModel* m_listModel = nullptr;
  CMlListCtrl* m_list = nullptr;
  CListColumnRatios m_ratios;
  QCheckBox* m_ignore = nullptr;
  std::vector<std::pair<int, QPushButton*>> m_buttons;
  bool m_filling = false;
};
