#include "Quorvane/ui/rule_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/shell.h"
#include "Quorvane/ui/filtered_edit.h"
#include "Quorvane/app/message_box.h"
#include "Quorvane/ui/message_box_ex_dlg.h"
#include "Quorvane/ui/net_interface_dlg.h"

namespace {

QString Q(const std::wstring& text) { return QString::fromStdWString(text); }

SCharFilter HostnameFilter() {
  SCharFilter filter;
  filter.allowed = u";?*-._% \n\r\t";
  filter.ranges = {{u'0', u'9'}, {u'a', u'z'}, {u'A', u'Z'}};
  return filter;
}

}  // namespace

QString HostnamesToEdit(const std::wstring& hostnames) { return Q(hostnames).remove('\r'); }

std::wstring HostnamesFromEdit(const QString& text) {
  return QString(text).remove('\r').replace('\n', "\r\n").toStdWString();
}

CRuleDlg::CRuleDlg(CRule* rule, std::vector<SNetInterface>* list, const std::vector<CDnsServer>* servers,
                   const std::vector<CDnsPool>* pools, bool isDefault, QWidget* parent, SRuleDlgHooks hooks)
    : CDialogResize(parent), m_rule(rule), m_list(list), m_hooks(std::move(hooks)),
      m_form(*rule, *list, *servers, *pools, isDefault),
      m_confPath(m_hooks.confPath ? *m_hooks.confPath : g_Configuration.path) {
  if (!m_hooks.moreOptions) m_hooks.moreOptions = InterfaceDialogRunner(*m_list, this);
  if (!m_hooks.systemDns) m_hooks.systemDns = GetSystemDnsServers;
  if (!m_hooks.showInFileManager)
    m_hooks.showInFileManager = [](const std::filesystem::path& file) { platform::ShowInFileManager(file); };
  SetGrowthFactors(1.5, 1.5);
  setWindowTitle("Rule");

  auto* grid = new QGridLayout(this);
  int row = 0;
  m_enabled = new QCheckBox("Enabled", this);
  grid->addWidget(m_enabled, row++, 1);
  m_name = new QLineEdit(this);
  grid->addWidget(new QLabel("Name:", this), row, 0);
  grid->addWidget(m_name, row++, 1, 1, 2);
  m_hostnames = new CFilteredEdit(this);
  m_hostnames->SetFilter(HostnameFilter());
  m_hostnames->onLink = [this](const QString& link) { OnLink(link); };
  grid->addWidget(new QLabel("Hostnames:", this), row, 0, Qt::AlignTop);
  grid->addWidget(m_hostnames, row, 1, 1, 2);
  grid->setRowStretch(row++, 1);
  grid->addWidget(new QLabel("www.example.com; *.example.com; *.local", this), row, 1);
  m_fromFile = new QPushButton("From File...", this);
  grid->addWidget(m_fromFile, row++, 2);

  m_action = new QComboBox(this);
  grid->addWidget(new QLabel("Action:", this), row, 0);
  grid->addWidget(m_action, row++, 1, 1, 2);
  for (QLabel*& label : m_descriptions) {
    label = new QLabel(this);
    label->setWordWrap(true);
  }
  grid->addWidget(m_descriptions[0], row++, 1, 1, 2);
  grid->addWidget(m_descriptions[1], row++, 1, 1, 2);
  m_target = new QComboBox(this);
  grid->addWidget(new QLabel("DNS Server:", this), row, 0);
  grid->addWidget(m_target, row++, 1, 1, 2);
  grid->addWidget(m_descriptions[2], row++, 1, 1, 2);
  grid->addWidget(m_descriptions[3], row++, 1, 1, 2);
  m_blockZero = new QCheckBox("Resolve as 0.0.0.0", this);
  grid->addWidget(m_blockZero, row++, 1);
  m_rejectUnsigned = new QCheckBox("Reject unsigned names", this);
  m_localValidation = new QCheckBox("Request and validate all signatures", this);
  grid->addWidget(new QLabel("DNSSEC:", this), row, 0);
  grid->addWidget(m_rejectUnsigned, row++, 1);
  grid->addWidget(m_localValidation, row++, 1);

  auto* buttons = new QHBoxLayout;
  auto* ok = new QPushButton("OK", this);
  auto* cancel = new QPushButton("Cancel", this);
  ok->setDefault(true);
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  grid->addLayout(buttons, row, 0, 1, 3);

  m_enabled->setChecked(m_form.enabled);
  m_name->setText(Q(m_form.name));
  m_hostnames->setPlainText(HostnamesToEdit(m_form.hostnames));
  m_rejectUnsigned->setChecked(m_form.rejectUnsigned);
  m_localValidation->setChecked(m_form.localValidation);
  m_blockZero->setChecked(m_form.blockZero);
  for (QWidget* control : std::initializer_list<QWidget*>{m_enabled, m_name, m_hostnames})
    control->setEnabled(!isDefault);
  FillChoices();
  if (m_form.hostnames.empty()) m_name->setFocus();

  connect(ok, &QPushButton::clicked, this, &CRuleDlg::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(m_fromFile, &QPushButton::clicked, this, [this] { OnFromFile(); });
  connect(m_action, &QComboBox::activated, this, [this](int choice) { OnActionChange(choice); });
  connect(m_target, &QComboBox::activated, this, [this] {
    if (m_filling) return;
    Read();
    FillChoices();
  });
  connect(m_blockZero, &QCheckBox::toggled, this, [this] {
    if (m_filling) return;
    Read();
    FillChoices();
  });
  resize(600, 560);
}

void CRuleDlg::Read() {
  m_form.enabled = m_enabled->isChecked();
  m_form.name = m_name->text().toStdWString();
  m_form.hostnames = HostnamesFromEdit(m_hostnames->toPlainText());
  if (m_form.targetEnabled) m_form.target = m_target->currentIndex();
  m_form.blockZero = m_blockZero->isChecked();
  m_form.rejectUnsigned = m_rejectUnsigned->isChecked();
  m_form.localValidation = m_localValidation->isChecked();
}

void CRuleDlg::FillChoices() {
  m_filling = true;
  m_action->clear();
  for (const std::wstring& text : m_form.ActionTexts()) m_action->addItem(Q(text));
  m_action->setCurrentIndex(m_form.action);
  m_target->clear();
  for (const std::wstring& text : m_form.TargetTexts()) m_target->addItem(Q(text));
  m_target->setCurrentIndex(m_form.target);
  m_target->setEnabled(m_form.targetEnabled);
  const SRuleDescriptions texts = m_form.Describe(m_hooks.systemDns());
  m_descriptions[0]->setText(Q(texts.action));
  m_descriptions[1]->setText(Q(texts.interfaceAddresses));
  m_descriptions[2]->setText(Q(texts.target));
  m_descriptions[3]->setText(Q(texts.targetAddresses));
  const bool block = m_form.action == 2;
  m_blockZero->setVisible(block);
  m_descriptions[1]->setVisible(!block);
  m_filling = false;
}

void CRuleDlg::OnActionChange(int choice) {
  Read();
  m_form.ChangeAction(choice, m_hooks.moreOptions);
  FillChoices();
}

void CRuleDlg::OnFromFile() {
  std::optional<std::wstring> source;
  if (m_hooks.pickHostsFile) {
    source = m_hooks.pickHostsFile();
  } else {
    const QString file = QFileDialog::getOpenFileName(this, {}, {}, "Hosts Files (*)", nullptr,
                                                      QFileDialog::ReadOnly | QFileDialog::DontUseNativeDialog);
    if (!file.isEmpty()) source = file.toStdWString();
  }
  if (!source) return;
  Read();
  if (!ImportHostsFile(*source, HostsFolder(m_confPath), m_form.hostnames)) return;
  m_hostnames->setPlainText(HostnamesToEdit(m_form.hostnames));
}

void CRuleDlg::OnLink(const QString& link) {
  QString name = link;
  if (name.startsWith("file://")) name.remove(0, 7);
  else if (name.startsWith("file:")) name.remove(0, 5);
  if (name.isEmpty()) return;
  m_hooks.showInFileManager(std::filesystem::path(WideToUtf8(HostsFolder(m_confPath) + name.toStdWString())));
}

void CRuleDlg::accept() {
  Read();
  CRuleForm::EFocus focus = CRuleForm::EFocus::None;
  if (m_form.Ok(*m_rule, m_confPath, focus)) {
    CDialogResize::accept();
    return;
  }
  switch (focus) {
    case CRuleForm::EFocus::Name: m_name->setFocus(); break;
    case CRuleForm::EFocus::Hostnames: m_hostnames->setFocus(); break;
    case CRuleForm::EFocus::Action: m_action->setFocus(); break;
    case CRuleForm::EFocus::Target: m_target->setFocus(); break;
    case CRuleForm::EFocus::RejectUnsigned: m_rejectUnsigned->setFocus(); break;
    case CRuleForm::EFocus::LocalValidation: m_localValidation->setFocus(); break;
    case CRuleForm::EFocus::None: break;
  }
}

int CRuleDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }
