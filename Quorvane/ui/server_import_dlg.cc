#include "Quorvane/ui/server_import_dlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Quorvane/app/message_box.h"
#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/config/profile.h"
#include "Quorvane/foundation/text_utils.h"

namespace {

constexpr wchar_t kSettingsCaption[] = L"Import Settings";

}  // namespace

CImportSettingsDlg::CImportSettingsDlg(bool loadButton, QWidget* parent) : CDialogResize(parent) {
  setWindowTitle("Import Settings");
  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel("Resolver lists to import (one URL per line):", this), 0, 0, 1, 2);
  m_urls = new QPlainTextEdit(this);
  m_urls->setLineWrapMode(QPlainTextEdit::NoWrap);
  layout->addWidget(m_urls, 1, 0, 1, 2);
  layout->addWidget(new QLabel("Test hostname:", this), 2, 0);
  m_testHost = new QLineEdit(this);
  layout->addWidget(m_testHost, 2, 1);
  layout->addWidget(new QLabel("Servers per time:", this), 3, 0);
  m_perTime = new QLineEdit(this);
  layout->addWidget(m_perTime, 3, 1);
  auto* buttons = new QHBoxLayout;
  m_defaults = new QPushButton("Reset to Defaults", this);
  m_ok = new QPushButton(loadButton ? "Load" : "OK", this);
  m_ok->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  buttons->addWidget(m_defaults);
  buttons->addStretch(1);
  buttons->addWidget(m_ok);
  buttons->addWidget(cancel);
  layout->addLayout(buttons, 4, 0, 1, 2);
  layout->setRowStretch(1, 1);
  connect(m_defaults, &QPushButton::clicked, this, [this] { ResetToDefaults(); });
  connect(m_ok, &QPushButton::clicked, this, [this] { accept(); });
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
  resize(560, 300);
  Fill(g_Configuration.checkerSettings);
}

void CImportSettingsDlg::Fill(const SDnsCheckerSettings& settings) {
  std::wstring urls;
  for (const std::string& url : settings.importUrls) urls += ToWide(url, false) + L"\n";
  m_urls->setPlainText(QString::fromStdWString(urls));
  m_testHost->setText(QString::fromStdWString(ToWide(settings.testTarget, false)));
  m_perTime->setText(QString::number(settings.testsPerTime));
}

void CImportSettingsDlg::ResetToDefaults() { Fill(SDnsCheckerSettings{}); }

void CImportSettingsDlg::accept() {
  const SImportSettingsResult result =
      ValidateImportSettings(ToNarrow(m_urls->toPlainText().toStdWString(), false),
                             m_testHost->text().toStdWString(), m_perTime->text().toStdWString());
  if (!result.refusal.empty()) {
    ShowMessageBox(result.refusal, kSettingsCaption, MB_ICONEXCLAMATION);
    return;
  }
  g_Configuration.checkerSettings = result.settings;
  theApp.SaveConfiguration(g_Configuration.path);
  CDialogResize::accept();
}

CServerImportDlg::CServerImportDlg(QWidget* parent, CServerCheckEngine* checkEngine)
    : CDialogResize(parent), m_checker(checkEngine) {
  setWindowTitle("Import servers from the web");
  auto* layout = new QVBoxLayout(this);
  m_list = new CServerListCtrl(&m_model.servers, 3, this);
  m_ratios.SetHeader(m_list->horizontalHeader());
  m_ratios.SetRatios({0.3, 0.3, 0.3, 0.1});
  layout->addWidget(m_list, 1);
  m_markAll = new QCheckBox("Mark All", this);
  layout->addWidget(m_markAll);
  auto* buttons = new QHBoxLayout;
  m_import = new QPushButton("Import Marked", this);
  m_import->setDefault(true);
  m_reload = new QPushButton("Reload", this);
  m_check = new QPushButton("Check All", this);
  m_settings = new QPushButton("Settings", this);
  auto* cancel = new QPushButton("Cancel", this);
  for (QPushButton* button : {m_import, m_reload, m_check, m_settings}) buttons->addWidget(button);
  buttons->addStretch(1);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  resize(720, 440);

  CServerListModel& rows = *m_list->Model();
  rows.isChecked = [this](uint32_t id) {
    const int index = RowIndex(id);
    return index >= 0 && m_model.rows[size_t(index)].checked;
  };
  rows.setChecked = [this](uint32_t id, bool checked) {
    if (const int index = RowIndex(id); index >= 0) m_model.SetChecked(size_t(index), checked);
    m_check->setText(QString::fromStdWString(m_model.CheckButtonLabel()));
  };
  rows.statusText = [this](uint32_t id) {
    const int index = RowIndex(id);
    return index < 0 ? QString() : QString::fromStdWString(m_model.rows[size_t(index)].statusText);
  };
  m_list->onActivated = [this](uint32_t id) { EditRow(id); };
  m_list->onKey = [this](QKeyEvent* event) { return OnListKey(event); };

  connect(m_import, &QPushButton::clicked, this, [this] { accept(); });
  connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
  connect(m_reload, &QPushButton::clicked, this, [this] { Reload(); });
  connect(m_check, &QPushButton::clicked, this, [this] { CheckAll(); });
  connect(m_settings, &QPushButton::clicked, this, [this] { OpenSettings(); });
  connect(m_markAll, &QCheckBox::clicked, this, [this](bool checked) {
    m_model.MarkAll(checked);
    RefreshMarks();
  });
  connect(&m_timer, &QTimer::timeout, this, [this] { m_checker.CheckTimeouts(); });
  m_timer.start(500);
  m_window.Bind(
      this, [this](const platform::SWindowMessage& message) { return OnMessage(message); },
      [](const platform::SWindowMessage& message) {
        if (message.message == WM_DNSCHECK_RESULT) delete reinterpret_cast<SServerCheckResult*>(message.wParam);
      });
}

CServerImportDlg::~CServerImportDlg() {
  m_window.Unbind();
  m_checker.Stop();
}

int CServerImportDlg::RowIndex(uint32_t id) const {
  for (size_t i = 0; i < m_model.rows.size(); ++i)
    if (m_model.rows[i].id == id) return int(i);
  return -1;
}

bool CServerImportDlg::Start() {
  CImportSettingsDlg settings(true, this);
  if (settings.exec() != QDialog::Accepted) return false;
  Reload();
  return true;
}

int CServerImportDlg::exec() {
  if (!Start()) return QDialog::Rejected;
  return CDialogResize::exec();
}

void CServerImportDlg::Reload() {
  m_list->Model()->Clear();
  m_model.Clear();
  m_check->setText(QString::fromStdWString(m_model.CheckButtonLabel()));
  m_importer.Start(
      g_Configuration.checkerSettings.importUrls,
      [](uint64_t window) { platform::PostWindowMessage(platform::HWND(window), WM_SERVER_IMPORT_DONE, 0, 0); },
      Handle());
}

intptr_t CServerImportDlg::OnMessage(const platform::SWindowMessage& message) {
  if (message.message == WM_SERVER_IMPORT_DONE) OnImportDone();
  if (message.message == WM_DNSCHECK_RESULT) OnCheckResult(reinterpret_cast<SServerCheckResult*>(message.wParam));
  return 0;
}

void CServerImportDlg::OnImportDone() {
  const CServerImport::SThreadData run = m_importer.Snapshot();
  m_model.Append(run.servers);
  m_list->setUpdatesEnabled(false);
  m_list->Model()->Refill();
  m_ratios.Apply(true);
  m_list->setUpdatesEnabled(true);
  if (!run.finished) return;
  const std::wstring summary = ImportSummary(run.urlsLoaded, run.urlsFailed, run.serversFailed, run.servers.size());
  if (!summary.empty()) ShowMessageBox(summary, L"Server Import", MB_ICONEXCLAMATION);
}

void CServerImportDlg::CheckAll() {
  m_checker.Stop();
  if (m_list->Model()->SortColumn() == m_list->Model()->StatusColumn())
    m_list->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  std::vector<std::wstring> messages;
  const std::vector<SImportCheck> checks = m_model.PlanChecks(messages);
  for (const SImportCheck& check : checks) {
    const CDnsServer* server = m_model.Find(check.id);
    const CDnsServer* partner = check.partner ? m_model.Find(check.partner) : nullptr;
    if (server) m_checker.Add(*server, partner ? *partner : CDnsServer{}, {}, 0);
  }
  m_list->viewport()->update();
  for (const std::wstring& message : messages) ShowMessageBox(message, L"DNS Server Relay", MB_ICONEXCLAMATION);
  m_checker.Start(Handle(), g_Configuration.checkerSettings.testTarget);
}

void CServerImportDlg::OnCheckResult(SServerCheckResult* result) {
  if (!result) return;
  // A result the checker no longer expects (one of a stopped run) would
  // overwrite the status of a server checked again since.
  if (m_checker.OnResult(result)) {
    m_model.ApplyResult(result->serverId, result->ok, result->rttMs);
    if (const int row = m_list->Model()->RowOf(result->serverId); row >= 0) {
      m_list->selectionModel()->select(m_list->Model()->index(row, 0),
                                       QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
      m_list->Model()->RefreshRow(result->serverId);
    }
  }
  delete result;
}

void CServerImportDlg::EditRow(uint32_t id) {
  CDnsServer* server = m_model.Find(id);
  if (!server || !EditServer(this, *server)) return;
  m_list->Model()->RefreshRow(id);
  m_list->Model()->sort(m_list->Model()->SortColumn(), m_list->Model()->SortOrder());
  m_list->ScrollToId(id);
}

void CServerImportDlg::TakeSelection() {
  const std::vector<uint32_t> selected = m_list->SelectedIds();
  for (SImportRow& row : m_model.rows)
    row.selected = std::find(selected.begin(), selected.end(), row.id) != selected.end();
}

bool CServerImportDlg::OnListKey(QKeyEvent* event) {
  if (event->matches(QKeySequence::SelectAll)) {
    m_list->selectAll();
    return true;
  }
  if (event->key() == Qt::Key_Delete) {
    TakeSelection();
    m_model.DeleteSelected();
    m_list->Model()->Refill();
    RefreshMarks();
    return true;
  }
  if (event->key() == Qt::Key_Space) {
    TakeSelection();
    m_model.ToggleSelected();
    RefreshMarks();
    return true;
  }
  return false;
}

void CServerImportDlg::RefreshMarks() {
  CServerListModel& rows = *m_list->Model();
  if (rows.rowCount() > 0) emit rows.dataChanged(rows.index(0, 0), rows.index(rows.rowCount() - 1, 0));
  m_check->setText(QString::fromStdWString(m_model.CheckButtonLabel()));
}

void CServerImportDlg::OpenSettings() {
  CImportSettingsDlg settings(false, this);
  settings.exec();
}

void CServerImportDlg::accept() {
  const std::wstring refusal = m_model.ImportMarked(m_result);
  if (!refusal.empty()) {
    ShowMessageBox(refusal, L"DNS Server Import", MB_ICONEXCLAMATION);
    return;
  }
  CDialogResize::accept();
}

void CServerImportDlg::resizeEvent(QResizeEvent* event) {
  CDialogResize::resizeEvent(event);
  m_ratios.Apply(false);
}
