#include "Quorvane/ui/advanced_dlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Quorvane/app/message_box.h"
#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/engine/net_filter_processor.h"

void CNetFilterDriver::Configure(bool blockTcpPort53, bool interceptOthers) {
  // A failure is logged by the processor; the settings are stored anyway.
  g_NetFilterProcessor.Configure(blockTcpPort53, interceptOthers);
}

CAdvancedDlg::CAdvancedDlg(QWidget* parent, CAdvancedDriver* driver)
    : QDialog(parent), m_driver(driver ? driver : &m_netFilter) {
  setWindowTitle("Advanced Settings");
  auto* layout = new QVBoxLayout(this);
  m_clearCache = new QCheckBox("Clear DNS cache on configuration change", this);
  m_blockTcp = new QCheckBox("Block plain DNS over TCP from System Resolver", this);
  layout->addWidget(m_clearCache);
  layout->addWidget(m_blockTcp);
  auto* group = new QGroupBox("Override TTL to match the following range", this);
  auto* range = new QHBoxLayout(group);
  m_ttlMin = new QLineEdit(group);
  m_ttlMax = new QLineEdit(group);
  range->addWidget(new QLabel("Min:", group));
  range->addWidget(m_ttlMin);
  range->addWidget(new QLabel("Max:", group));
  range->addWidget(m_ttlMax);
  layout->addWidget(group);
  m_captive = new QCheckBox("Enable captive portal detection", this);
  m_intercept = new QCheckBox("Intercept DNS packets injected by third party filters", this);
  layout->addWidget(m_captive);
  layout->addWidget(m_intercept);
  auto* buttons = new QHBoxLayout;
  m_ok = new QPushButton("OK", this);
  m_ok->setDefault(true);
  m_defaults = new QPushButton("Defaults", this);
  m_cancel = new QPushButton("Cancel", this);
  buttons->addStretch(1);
  for (QPushButton* button : {m_ok, m_defaults, m_cancel}) buttons->addWidget(button);
  layout->addLayout(buttons);

  // Warnings only, when switched on.
  connect(m_captive, &QCheckBox::clicked, this, [](bool on) {
    if (on)
      ShowMessageBox(L"Enabling this option may result in DNS/IP leak when the network status is changing.",
                     L"Enable captive portal detection", MB_ICONEXCLAMATION);
  });
  connect(m_intercept, &QCheckBox::clicked, this, [](bool on) {
    if (on)
      ShowMessageBox(L"Enabling this option may result in an infinite loop if there is another app on the system "
                     L"that manipulates DNS packets.",
                     L"Intercept DNS packets injected by third party filters", MB_ICONEXCLAMATION);
  });
  connect(m_ok, &QPushButton::clicked, this, [this] { accept(); });
  connect(m_defaults, &QPushButton::clicked, this, [this] { OnDefaults(); });
  connect(m_cancel, &QPushButton::clicked, this, [this] { reject(); });
  LoadSettings(ReadAdvanced(g_Configuration.settings));
}

void CAdvancedDlg::LoadSettings(const SAdvancedValues& values) {
  const SAdvancedForm form = AdvancedForm(values);
  m_clearCache->setChecked(form.clearDnsCache);
  m_blockTcp->setChecked(form.blockTcpPort53);
  m_ttlMin->setText(QString::fromStdWString(form.ttlMin));
  m_ttlMax->setText(QString::fromStdWString(form.ttlMax));
  m_captive->setChecked(form.captivePortalDetection);
  m_intercept->setChecked(form.interceptOthers);
}

void CAdvancedDlg::OnDefaults() { LoadSettings(ReadAdvanced(SSettings{})); }

void CAdvancedDlg::accept() {
  SAdvancedForm form;
  form.clearDnsCache = m_clearCache->isChecked();
  form.blockTcpPort53 = m_blockTcp->isChecked();
  form.ttlMin = m_ttlMin->text().toStdWString();
  form.ttlMax = m_ttlMax->text().toStdWString();
  form.captivePortalDetection = m_captive->isChecked();
  form.interceptOthers = m_intercept->isChecked();
  const SAdvancedResult result = ApplyAdvanced(form, ReadAdvanced(g_Configuration.settings));
  if (!result.refusal.empty()) {
    ShowMessageBox(result.refusal, L"Advanced Settings", MB_ICONEXCLAMATION);
    return;
  }
  StoreAdvanced(result, g_Configuration.settings, *m_driver);
  theApp.SaveConfiguration(g_Configuration.path);  // reports its own failure; the dialog closes anyway
  QDialog::accept();
}
