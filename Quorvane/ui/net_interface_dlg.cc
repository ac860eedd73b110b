#include "Quorvane/ui/net_interface_dlg.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QStyle>
#include <QVBoxLayout>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/app/message_box.h"
#include "Quorvane/ui/message_box_ex_dlg.h"

namespace {
QString Q(const std::wstring& text) { return QString::fromStdWString(text); }
}  // namespace

CNetInterfaceDlg::CNetInterfaceDlg(std::vector<SNetInterface>* list, int* choice, QWidget* parent,
                                   CNetInterfaceModel::SHooks hooks)
    : QDialog(parent), m_choice(choice), m_model(*list, std::move(hooks)) {
  setWindowTitle("Advanced Network Interface");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Use network interface that has the following attribute:", this));
  auto* form = new QFormLayout;
  m_attributes = new QComboBox(this);
  for (const wchar_t* text : {L"Adapter ID", L"Adapter Name", L"SSID of Wi-Fi Network", L"DNS Suffix of Connection"})
    m_attributes->addItem(Q(text));
  m_values = new QComboBox(this);
  m_values->setEditable(true);
  m_values->setInsertPolicy(QComboBox::NoInsert);
  m_values->setMinimumWidth(320);
  form->addRow("Attribute:", m_attributes);
  form->addRow("Value:", m_values);
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &CNetInterfaceDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  connect(m_attributes, &QComboBox::currentIndexChanged, this, [this] { FillValues(); });
}

void CNetInterfaceDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (m_opened) return;
  m_opened = true;
  m_attributes->setCurrentIndex(0);
  FillValues();
  m_model.Open();
}

void CNetInterfaceDlg::FillValues() {
  // Before the dialog shows, the values come with its opening.
  if (!m_opened) return;
  m_values->clear();
  int widest = 0;
  const QFontMetrics metrics(m_values->font());
  for (const std::wstring& value : m_model.Values(m_attributes->currentIndex())) {
    m_values->addItem(Q(value));
    widest = std::max(widest, metrics.horizontalAdvance(Q(value)));
  }
  m_values->setCurrentIndex(-1);
  // Long "{guid} name" values stay readable in the drop-down.
  m_values->view()->setMinimumWidth(widest + style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                                    metrics.horizontalAdvance('0'));
}

void CNetInterfaceDlg::accept() {
  int choice = 0;
  if (!m_model.Ok(m_attributes->currentIndex(), m_values->currentText().toStdWString(), choice)) return;
  *m_choice = choice;
  QDialog::accept();
}

int CNetInterfaceDlg::DoModal() { return exec() == QDialog::Accepted ? IDOK : IDCANCEL; }

MoreOptionsRunner InterfaceDialogRunner(std::vector<SNetInterface>& list, QWidget* parent) {
  return [&list, parent](int& choice) {
    CNetInterfaceDlg dialog(&list, &choice, parent);
    return dialog.DoModal() == IDOK;
  };
}
