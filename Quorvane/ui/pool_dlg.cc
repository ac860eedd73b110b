#include "Quorvane/ui/pool_dlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "Quorvane/app/message_box.h"
#include "Quorvane/ui/dialog_resize.h"

namespace {

QDialogButtonBox* OkCancel(QDialog* dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

}  // namespace

CPoolRedundancyDlg::CPoolRedundancyDlg(CPoolRedundancyForm& form, QWidget* parent) : QDialog(parent), m_form(form) {
  setWindowTitle("Redundancy Pool Options");
  auto* layout = new QGridLayout(this);
  m_host = new QLineEdit(this);
  m_host->setObjectName("1011");
  m_recheck = new QLineEdit(this);
  m_recheck->setObjectName("1013");
  layout->addWidget(new QLabel("Test hostname:", this), 0, 0);
  layout->addWidget(m_host, 0, 1, 1, 2);
  layout->addWidget(new QLabel("Recheck in:", this), 1, 0);
  layout->addWidget(m_recheck, 1, 1);
  layout->addWidget(new QLabel("(seconds)", this), 1, 2);
  layout->addWidget(OkCancel(this), 2, 0, 1, 3);
  DoDataExchange(false);
}

int CPoolRedundancyDlg::DoModal() { return RunModal(*this); }

void CPoolRedundancyDlg::DoDataExchange(bool save) {
  DDX_TextString(save, m_host, m_form.testHost);
  DDX_TextString(save, m_recheck, m_form.recheckText);
}

void CPoolRedundancyDlg::accept() {
  DoDataExchange(true);
  if (!m_form.Ok()) return;
  DoDataExchange(false);
  QDialog::accept();
}

CPoolDlg::CPoolDlg(CDnsPool* pool, QWidget* parent) : QDialog(parent), m_form(*pool) {
  setWindowTitle("Pool Type");
  optionsRunner = [this](CPoolRedundancyForm& form) { return CPoolRedundancyDlg(form, this).DoModal() == IDOK; };
  auto* layout = new QVBoxLayout(this);
  auto* nameRow = new QGridLayout;
  m_name = new QLineEdit(this);
  m_name->setObjectName("1009");
  nameRow->addWidget(new QLabel("Pool Name:", this), 0, 0);
  nameRow->addWidget(m_name, 0, 1);
  layout->addLayout(nameRow);

  auto* redundancy = new QGroupBox("Redundancy", this);
  auto* redundancyLayout = new QVBoxLayout(redundancy);
  m_redundancy = new QRadioButton("Automatically monitor DNS servers and use the best one.", redundancy);
  m_options = new QPushButton("Options...", redundancy);
  redundancyLayout->addWidget(m_redundancy);
  redundancyLayout->addWidget(m_options, 0, Qt::AlignRight);
  auto* balancing = new QGroupBox("Load Balancing", this);
  auto* balancingLayout = new QVBoxLayout(balancing);
  m_balancing = new QRadioButton("On each request use a random DNS server from the pool.", balancing);
  balancingLayout->addWidget(m_balancing);
  layout->addWidget(redundancy);
  layout->addWidget(balancing);
  layout->addWidget(OkCancel(this));

  // The two radio buttons sit in different group boxes: one choice by hand.
  connect(m_redundancy, &QRadioButton::clicked, this, [this] {
    m_balancing->setChecked(false);
    DoDataExchange(true);
  });
  connect(m_balancing, &QRadioButton::clicked, this, [this] {
    m_redundancy->setChecked(false);
    DoDataExchange(true);
  });
  connect(m_options, &QPushButton::clicked, this, [this] { m_form.Options(optionsRunner); });
  m_redundancy->setAutoExclusive(false);
  m_balancing->setAutoExclusive(false);
  DoDataExchange(false);
  DoDataExchange(true);
}

int CPoolDlg::DoModal() { return RunModal(*this); }

void CPoolDlg::DoDataExchange(bool save) {
  DDX_TextWString(save, m_name, m_form.name);
  if (save) {
    m_form.choice = m_balancing->isChecked() ? 1 : 0;
    if (!m_balancing->isChecked()) m_redundancy->setChecked(true);
  } else {
    m_redundancy->setChecked(m_form.choice == 0);
    m_balancing->setChecked(m_form.choice == 1);
  }
  m_options->setEnabled(m_form.OptionsEnabled());
}

void CPoolDlg::accept() {
  DoDataExchange(true);
  if (m_form.Ok()) QDialog::accept();
}
