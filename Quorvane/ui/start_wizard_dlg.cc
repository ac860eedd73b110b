#include "Quorvane/ui/start_wizard_dlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <memory>
#include <mutex>

#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/shell.h"
#include "Quorvane/ui/main_frame.h"
#include "Quorvane/app/message_box.h"
#include "Quorvane/ui/message_box_ex_dlg.h"

namespace {

QString Q(const std::wstring& text) { return QString::fromStdWString(text); }

constexpr const wchar_t* kChoiceTexts[] = {
    L"Start with an empty configuration. All queries will be unaltered.",
    L"Use Google DNS over HTTPS server for all queries.",
    L"Use Quad9 DNSCrypt server for all queries.",
    L"Use NextDNS server for all queries.",
    L"Import servers from the web, test and select.",
    L"Import from a Tarnwick configuration file.",
};

constexpr int kTimerMs = 500;

}  // namespace

CWizardModel::SHooks CStartWizardDlg::CompleteHooks(CWizardModel::SHooks hooks) {
  if (!hooks.hasConfiguration)
    hooks.hasConfiguration = [] {
      std::lock_guard lock(g_ConfigurationMutex);
      return !g_Configuration.Servers().empty() || g_Configuration.Rules().size() > 1;
    };
  if (!hooks.createDefault)
    hooks.createDefault = [this] {
      InstallDefaultConfiguration();
      std::vector<CDnsServer> servers;
      std::vector<CDnsPool> pools;
      CProfile::GetServersAndPools(servers, pools);
      m_hooks.restartMonitoring(servers, pools);
    };
  if (!hooks.startCheck)
    hooks.startCheck = [this](const CDnsServer& server) {
      m_checker.Stop();
      m_checker.Add(server, CDnsServer(), "", 0);
      m_checker.Start(m_handle, g_Configuration.checkerSettings.testTarget);
    };
  if (!hooks.stopCheck) hooks.stopCheck = [this] { m_checker.Stop(); };
  if (!hooks.takeResult) hooks.takeResult = [this](SServerCheckResult* result) { return m_checker.OnResult(result); };
  if (!hooks.importFromWeb) hooks.importFromWeb = [this] { return ImportFromWeb(); };
  if (!hooks.importFile)
    hooks.importFile = [this] {
      const std::optional<std::wstring> path = OpenConfigurationDialog(this);
      return path && ImportConfigurationFile(*path, false);
    };
  if (!hooks.useServer)
    hooks.useServer = [](const CDnsServer& server) {
      std::vector<CRule> rules;
      std::vector<CDnsServer> servers;
      std::vector<CDnsPool> pools;
      CProfile::GetRulesServersAndPools(rules, servers, pools);
      servers.push_back(server);
      CRule rule;
      rule.InitDefault();
      rule.action = ERuleAction::ProcessServer;
      rule.action_id = server.id;
      rules = {rule};
      CProfile::NotifyServerChanges(servers);
      CProfile::ChangeRunningLists([&](std::vector<CDnsServer>& running, auto&, std::vector<CRule>& runningRules) {
        running = servers;
        runningRules = rules;
      });
      theApp.SaveConfiguration(L"");
    };
  return hooks;
}

CStartWizardDlg::CStartWizardDlg(QWidget* parent, SHooks hooks)
    : QDialog(parent), m_hooks(std::move(hooks)), m_checker(m_hooks.checkEngine),
      m_model(CompleteHooks(std::move(m_hooks.model))) {
  if (!m_hooks.restartMonitoring)
    m_hooks.restartMonitoring = [](const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools) {
      if (CAppFrame* frame = theApp.Frame()) frame->RestartPoolMonitoring(servers, pools);
    };
  if (!m_hooks.openUrl) m_hooks.openUrl = [](const std::string& url) { platform::OpenUrl(url); };
  setWindowTitle("First Start Wizard");

  auto* layout = new QVBoxLayout(this);
  auto* header = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(ApplicationIcon().pixmap(48, 48));
  header->addWidget(icon, 0, Qt::AlignTop);
  auto* welcome = new QVBoxLayout;
  auto* title = new QLabel("Welcome to Tarnwick!", this);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  welcome->addWidget(title);
  welcome->addWidget(new QLabel("The wizard will help you with the configuration.", this));
  header->addLayout(welcome, 1);
  layout->addLayout(header);
  m_stageText = new QLabel(this);
  layout->addWidget(m_stageText);

  m_choices = new QButtonGroup(this);
  for (int i = 0; i < 6; ++i) {
    auto* radio = new QRadioButton(Q(kChoiceTexts[i]), this);
    m_choices->addButton(radio, i);
    layout->addWidget(radio);
  }

  auto* nextDns = new QGridLayout;
  m_signUp = new QLabel(QString("<a href=\"%1\">Configuration ID:</a>").arg(kSignUpUrl), this);
  m_signUp->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(m_signUp, &QLabel::linkActivated, this, [this](const QString& url) { m_hooks.openUrl(url.toStdString()); });
  m_nextDnsId = new QLineEdit(this);
  m_deviceLabel = new QLabel("Device name (optional):", this);
  m_deviceName = new QLineEdit(this);
  m_useCurrent = new QCheckBox("Use current", this);
  nextDns->addWidget(m_signUp, 0, 0);
  nextDns->addWidget(m_nextDnsId, 0, 1, 1, 2);
  nextDns->addWidget(m_deviceLabel, 1, 0);
  nextDns->addWidget(m_deviceName, 1, 1);
  nextDns->addWidget(m_useCurrent, 1, 2);
  layout->addLayout(nextDns);
  connect(m_useCurrent, &QCheckBox::toggled, this, [this](bool on) {
    m_deviceName->setEnabled(!on);
    if (!on) return;
    CDnsServer automatic = m_model.server;
    automatic.protocol = EDnsProtocol::NextDns;
    automatic.nextdns_devname_auto = true;
    automatic.PrepareNextDns();
    m_deviceName->setText(Q(automatic.nextdns_devname));
  });

  m_result = new QLabel(this);
  m_result->setWordWrap(true);
  layout->addWidget(m_result, 1);

  auto* buttons = new QHBoxLayout;
  m_back = new QPushButton("< Back", this);
  m_next = new QPushButton("Next >", this);
  auto* cancel = new QPushButton("Cancel", this);
  m_next->setDefault(true);
  buttons->addStretch(1);
  buttons->addWidget(m_back);
  buttons->addWidget(m_next);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  connect(m_back, &QPushButton::clicked, this, [this] { OnBack(); });
  connect(m_next, &QPushButton::clicked, this, [this] { OnNext(); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  m_handle = platform::RegisterWindow([this](const platform::SWindowMessage& message) {
    if (message.message != WM_DNSCHECK_RESULT) return;
    // Delivery runs on the poster's thread. The record travels with the
    // queued call, so a call dropped with the dialog still frees it.
    std::shared_ptr<SServerCheckResult> result(reinterpret_cast<SServerCheckResult*>(message.wParam));
    QMetaObject::invokeMethod(
        this, [this, result] { OnResultMessage(new SServerCheckResult(*result)); }, Qt::QueuedConnection);
  });
  connect(&m_timer, &QTimer::timeout, this, [this] { m_checker.CheckTimeouts(); });
  m_timer.start(kTimerMs);
  UpdateStage();
  resize(560, 420);
}

CStartWizardDlg::~CStartWizardDlg() {
  platform::UnregisterWindow(m_handle);
  m_checker.Stop();
}

QRadioButton* CStartWizardDlg::Choice(int index) const {
  return static_cast<QRadioButton*>(m_choices->button(index));
}

void CStartWizardDlg::UpdateStage() {
  const int stage = m_model.stage;
  static const char* const kStageTexts[] = {"Which configuration you would like to start with?",
                                            "Please specify NextDNS options.", "Checking the server..."};
  m_stageText->setText(QString(kStageTexts[stage - 1]) + (stage == 3 && m_done ? "done!" : ""));
  for (QAbstractButton* radio : m_choices->buttons()) radio->setVisible(stage == 1);
  for (QWidget* control : std::initializer_list<QWidget*>{m_signUp, m_nextDnsId, m_deviceLabel, m_deviceName,
                                                          m_useCurrent})
    control->setVisible(stage == 2);
  m_deviceName->setEnabled(!m_useCurrent->isChecked());
  m_result->setVisible(stage == 3);
  m_result->setText(Q(m_model.resultText));
  m_back->setEnabled(stage != 1);
  m_next->setEnabled(stage != 3 || m_model.nextEnabled);
}

void CStartWizardDlg::OnNext() {
  m_model.choice = m_choices->checkedId();
  m_model.nextDnsId = m_nextDnsId->text().trimmed().toStdString();
  m_model.deviceName = m_deviceName->text().toStdWString();
  m_model.useCurrentName = m_useCurrent->isChecked();
  const int before = m_model.stage;
  const CWizardModel::ENext next = m_model.Next();
  if (next == CWizardModel::ENext::EndOk) {
    accept();
    return;
  }
  if (m_model.stage != before) m_done = false;
  UpdateStage();
  if (m_model.stage == 2 && before == 1) m_nextDnsId->setFocus();
}

void CStartWizardDlg::OnBack() {
  m_model.Back();
  m_done = false;
  UpdateStage();
}

void CStartWizardDlg::OnResultMessage(SServerCheckResult* result) {
  const std::wstring before = m_model.resultText;
  const bool inCheck = m_model.stage == 3;
  m_model.OnResult(result);
  if (inCheck && m_model.resultText != before) m_done = true;
  UpdateStage();
}

bool CStartWizardDlg::ImportFromWeb() {
  if (!m_hooks.importDialog) return false;
  const std::optional<std::vector<CDnsServer>> marked = m_hooks.importDialog(this);
  if (!marked) return false;
  std::vector<CRule> rules;
  std::vector<CDnsServer> servers;
  std::vector<CDnsPool> pools;
  CProfile::GetRulesServersAndPools(rules, servers, pools);
  // The Rules dialog opens on the imported servers.
  const std::function<void()> rulesCommand = [&] {
    CProfile::SetServers(servers);
    theApp.SaveConfiguration(L"");
    if (m_hooks.rulesCommand) m_hooks.rulesCommand();
  };
  const bool rulesChanged = MergeImportedServers(servers, rules, *marked, rulesCommand);
  CProfile::SetServers(servers);
  if (rulesChanged) CProfile::SetRules(rules);
  theApp.SaveConfiguration(L"");
  return true;
}

int CStartWizardDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }
