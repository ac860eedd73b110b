#include "Quorvane/ui/dns_server_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Quorvane/app/message_box.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/shell.h"

namespace {

constexpr int kIdName = 1009;
constexpr int kIdProtocol = 1034;

QString Q(const std::wstring& text) { return QString::fromStdWString(text); }

QLineEdit* Edit(QWidget* parent) { return new QLineEdit(parent); }

void SetBool(QWidget* control, bool value) { static_cast<QCheckBox*>(control)->setChecked(value); }
bool GetBool(QWidget* control) { return static_cast<QCheckBox*>(control)->isChecked(); }
QLineEdit* LineEdit(QWidget* control) { return static_cast<QLineEdit*>(control); }

}  // namespace

CDnsStampDlg::CDnsStampDlg(CDnsServer* server, QWidget* parent) : QDialog(parent), m_form(*server) {
  setWindowTitle("DNS Stamp");
  auto* layout = new QVBoxLayout(this);
  auto* text = new QLabel(
      "DNS server stamps encode all the parameters required to connect to a DNS server as a single string that is "
      "formatted as URL and starts with sdns://",
      this);
  text->setWordWrap(true);
  layout->addWidget(text);
  m_edit = new QLineEdit(this);
  m_edit->setObjectName("1010");
  layout->addWidget(m_edit);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  m_stamp = m_form.InitialText();
  DDX_TextString(false, m_edit, m_stamp);
  resize(520, 150);
}

int CDnsStampDlg::DoModal() { return RunModal(*this); }

void CDnsStampDlg::accept() {
  DDX_TextString(true, m_edit, m_stamp);
  if (m_form.Ok(m_stamp)) QDialog::accept();
}

CDnsServerDlg::CDnsServerDlg(CDnsServer* server, QWidget* parent, CServerCheckEngine* engine)
    : CDialogResize(parent),
      m_server(server),
      m_form(*server),
      m_checker(engine) {
  setWindowTitle("DNS Server");
  m_window.Bind(
      this, [this](const platform::SWindowMessage& message) { return OnMessage(message); },
      [](const platform::SWindowMessage& message) {
        // The dialog's own checker's result that it never handled.
        if (message.message == WM_DNSCHECK_RESULT && message.lParam == 0)
          delete reinterpret_cast<SServerCheckResult*>(message.wParam);
      });

  SetGrowthFactors(0, 1.2);
  stampRunner = [this](CDnsServer& target, bool& replaced) {
    CDnsStampDlg stamp(&target, this);
    const bool ok = stamp.DoModal() == IDOK;
    replaced = stamp.Replaced();
    return ok;
  };

  auto* layout = new QGridLayout(this);
  auto add = [this](int id, QWidget* control) {
    control->setObjectName(QString::number(id));
    m_controls[id] = control;
    return control;
  };
  m_name = static_cast<QLineEdit*>(add(kIdName, Edit(this)));
  m_protocol = static_cast<QComboBox*>(add(kIdProtocol, new QComboBox(this)));
  for (const std::wstring& text : ProtocolDisplayTexts()) m_protocol->addItem(Q(text));
  layout->addWidget(new QLabel("User friendly name:", this), 0, 0);
  layout->addWidget(m_name, 0, 1);
  layout->addWidget(m_protocol, 1, 1);
  layout->addWidget(add(IDC_ADDRESS_LABEL, new QLabel("IP address and optional port:", this)), 2, 0);
  layout->addWidget(add(IDC_ADDRESS, Edit(this)), 2, 1);
  layout->addWidget(add(IDC_DNSSEC, new QCheckBox("DNSSEC Supported", this)), 3, 1);

  m_group = static_cast<QGroupBox*>(add(IDC_OPTIONS_GROUP, new QGroupBox(this)));
  auto* options = new QGridLayout(m_group);
  auto label = [&](int id, const char* text) { return add(id, new QLabel(text, m_group)); };
  options->addWidget(label(IDC_URL_LABEL, "URL:"), 0, 0);
  options->addWidget(label(IDC_HOSTNAME_LABEL, "Hostname:"), 1, 0);
  options->addWidget(add(IDC_URL_OR_HOST, Edit(m_group)), 0, 1, 2, 2);
  options->addWidget(label(IDC_HASHES_LABEL, "Hashes:"), 2, 0);
  options->addWidget(add(IDC_HASHES, Edit(m_group)), 2, 1, 1, 2);
  options->addWidget(label(IDC_PUBLIC_KEY_LABEL, "Public key:"), 3, 0);
  options->addWidget(add(IDC_PUBLIC_KEY, Edit(m_group)), 3, 1, 1, 2);
  options->addWidget(label(IDC_PROVIDER_LABEL, "Provider name:"), 4, 0);
  options->addWidget(add(IDC_PROVIDER, Edit(m_group)), 4, 1, 1, 2);
  options->addWidget(add(IDC_DISABLE_PADDING, new QCheckBox("Disable query padding", m_group)), 5, 1);
  options->addWidget(add(IDC_FORCE_TCP, new QCheckBox("Force TCP", m_group)), 5, 2);
  options->addWidget(add(IDC_USE_TCP, new QCheckBox("Use TCP instead of UDP", m_group)), 6, 1);
  auto* link = new QLabel("<a href=\"signup\">Configuration ID:</a>", m_group);
  link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(link, &QLabel::linkActivated, this, [] { platform::OpenUrl(WideToUtf8(kNextDnsSignUpUrl)); });
  options->addWidget(add(IDC_NEXTDNS_LINK, link), 7, 0);
  options->addWidget(add(IDC_NEXTDNS_ID, Edit(m_group)), 7, 1, 1, 2);
  options->addWidget(label(IDC_DEVICE_LABEL, "Device name (optional):"), 8, 0);
  options->addWidget(add(IDC_DEVICE_NAME, Edit(m_group)), 8, 1);
  options->addWidget(add(IDC_USE_CURRENT, new QCheckBox("Use current", m_group)), 8, 2);
  options->addWidget(add(IDC_ULTRA_LOW_LATENCY, new QCheckBox("Use Ultra-Low Latency Network  ", m_group)), 9, 1, 1, 2);
  options->addWidget(label(IDC_SELECT_PROTOCOL, "Please select DNS protocol."), 10, 0, 1, 3);
  options->addWidget(label(IDC_NO_RELAY_OPTIONS, "No options for DNS relay."), 11, 0, 1, 3);
  options->setRowStretch(12, 1);
  layout->addWidget(m_group, 4, 0, 1, 2);
  layout->setRowStretch(4, 1);

  m_status = static_cast<QLabel*>(add(IDC_CHECK_STATUS, new QLabel(this)));
  layout->addWidget(m_status, 5, 0, 1, 2);
  auto* buttons = new QHBoxLayout;
  auto* stamp = static_cast<QPushButton*>(add(IDC_STAMP, new QPushButton("sdns://", this)));
  m_checkButton = static_cast<QPushButton*>(add(IDC_CHECK, new QPushButton("Check", this)));
  auto* ok = static_cast<QPushButton*>(add(1, new QPushButton("OK", this)));
  auto* cancel = static_cast<QPushButton*>(add(2, new QPushButton("Cancel", this)));
  ok->setDefault(true);
  buttons->addWidget(stamp);
  buttons->addWidget(m_checkButton);
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  layout->addLayout(buttons, 6, 0, 1, 2);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(stamp, &QPushButton::clicked, this, [this] { OnStamp(); });
  connect(m_checkButton, &QPushButton::clicked, this, [this] { OnCheck(); });

  connect(m_protocol, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (m_loading) return;
    const int previous = m_form.fields.protocolIndex;
    DoDataExchange(true);
    m_form.fields.protocolIndex = previous;
    m_form.ChangeProtocol(index);
    DoDataExchange(false);
    ShowPane();
  });
  connect(static_cast<QCheckBox*>(Control(IDC_USE_CURRENT)), &QCheckBox::toggled, this, [this](bool on) {
    if (m_loading) return;
    DoDataExchange(true);
    m_form.SetUseCurrentDevice(on);
    DoDataExchange(false);
    ShowPane();
  });
  connect(static_cast<QCheckBox*>(Control(IDC_ULTRA_LOW_LATENCY)), &QCheckBox::toggled, this, [this] {
    if (m_loading) return;
    DoDataExchange(true);
    ShowPane();
  });

  DoDataExchange(false);
  ShowPane();
  resize(560, 420);
  connect(&m_timer, &QTimer::timeout, this, [this] { m_checker.CheckTimeouts(); });
  m_timer.start(500);
}

CDnsServerDlg::~CDnsServerDlg() = default;

QWidget* CDnsServerDlg::Control(int id) const {
  auto it = m_controls.find(id);
  return it == m_controls.end() ? nullptr : it->second;
}

int CDnsServerDlg::DoModal() { return RunModal(*this); }

void CDnsServerDlg::DoDataExchange(bool save) {
  SServerForm& f = m_form.fields;
  m_loading = !save;
  DDX_TextWString(save, m_name, f.name);
  DDX_TextString(save, LineEdit(Control(IDC_ADDRESS)), f.address);
  DDX_TextString(save, LineEdit(Control(IDC_URL_OR_HOST)), f.urlOrHost);
  DDX_TextString(save, LineEdit(Control(IDC_HASHES)), f.hashes);
  DDX_TextString(save, LineEdit(Control(IDC_PUBLIC_KEY)), f.publicKey);
  DDX_TextString(save, LineEdit(Control(IDC_PROVIDER)), f.providerName);
  DDX_TextString(save, LineEdit(Control(IDC_NEXTDNS_ID)), f.nextDnsId);
  DDX_TextWString(save, LineEdit(Control(IDC_DEVICE_NAME)), f.deviceName);
  const std::pair<int, bool*> flags[] = {{IDC_DNSSEC, &f.dnssec},
                                         {IDC_DISABLE_PADDING, &f.disablePadding},
                                         {IDC_USE_CURRENT, &f.useCurrentDevice},
                                         {IDC_ULTRA_LOW_LATENCY, &f.ultraLowLatency},
                                         {IDC_USE_TCP, &f.useTcp},
                                         {IDC_FORCE_TCP, &f.forceTcp}};
  for (const auto& [id, value] : flags) {
    if (save) {
      *value = GetBool(Control(id));
    } else {
      SetBool(Control(id), *value);
    }
  }
  if (save) {
    f.protocolIndex = m_protocol->currentIndex();
  } else {
    m_protocol->setCurrentIndex(f.protocolIndex);
  }
  m_loading = false;
}

void CDnsServerDlg::ShowPane() {
  const SServerPane pane = m_form.Pane();
  for (int id : PaneControls()) Control(id)->setVisible(pane.visible.count(id) != 0);
  Control(IDC_DEVICE_NAME)->setEnabled(pane.deviceNameEnabled);
  m_group->setTitle(Q(pane.caption));
}

void CDnsServerDlg::accept() {
  DoDataExchange(true);
  if (m_form.Ok()) CDialogResize::accept();
}

void CDnsServerDlg::OnCheck() {
  DoDataExchange(true);
  m_form.StartCheck(m_checker, Handle(), g_Configuration.checkerSettings.testTarget);
  m_checkButton->setEnabled(m_form.checkEnabled);
}

void CDnsServerDlg::OnStamp() {
  DoDataExchange(true);
  m_form.Stamp(stampRunner);
  DoDataExchange(false);
  ShowPane();
}

intptr_t CDnsServerDlg::OnMessage(const platform::SWindowMessage& message) {
  if (message.message != WM_DNSCHECK_RESULT) return 0;
  auto* result = reinterpret_cast<SServerCheckResult*>(message.wParam);
  if (message.lParam != 0) return 0;  // another window's result; it keeps it
  m_form.OnCheckResult(m_checker, result);
  m_status->setText(Q(m_form.checkStatus));
  QPalette palette = m_status->palette();
  palette.setColor(QPalette::WindowText, IsErrorStatus(m_form.checkStatus) ? QColor(200, 0, 0) : QColor(0, 200, 0));
  m_status->setPalette(palette);
  m_checkButton->setEnabled(m_form.checkEnabled);
  return 1;
}

bool EditServerInDialog(QWidget* parent, CDnsServer& server) { return CDnsServerDlg(&server, parent).DoModal() == IDOK; }
