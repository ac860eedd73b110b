// "Import servers from the web" and its "Import Settings": the import
// dialog downloads the configured resolver lists (CServerImport), lists the
// servers, checks them with its own server checker, and hands the marked
// ones to its caller in m_result. What it decides is CImportModel's; this
// is the window over it. Import threads reach it only as posted
// WM_SERVER_IMPORT_DONE, checks as WM_DNSCHECK_RESULT. UI thread.
#pragma once

#include <QTimer>
#include <memory>
#include <vector>

#include "Quorvane/config/server_import.h"
#include "Quorvane/engine/server_check.h"
#include "Quorvane/ui/dialog_resize.h"
#include "Quorvane/ui/server_import_model.h"
#include "Quorvane/ui/server_list_ctrl.h"
#include "Quorvane/ui/window_binding.h"

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

constexpr unsigned WM_SERVER_IMPORT_DONE = platform::WM_USER + 0x84;

// The URLs, the test host and the servers per time of the running
// configuration. OK stores them and saves the configuration; with
// loadButton OK reads "Load" (the dialog opens an import).
class CImportSettingsDlg : public CDialogResize {
 public:
  explicit CImportSettingsDlg(bool loadButton, QWidget* parent = nullptr);
  std::wstring SizeKey() const override { return L"classCImportSettingsDlg"; }

  void accept() override;
  void ResetToDefaults();

  QPlainTextEdit* Urls() const { return m_urls; }
  QLineEdit* TestHost() const { return m_testHost; }
  QLineEdit* PerTime() const { return m_perTime; }
  QPushButton* OkButton() const { return m_ok; }
  QPushButton* DefaultsButton() const { return m_defaults; }

 private:
  void Fill(const SDnsCheckerSettings& settings);

  QPlainTextEdit* m_urls;
  QLineEdit* m_testHost;
  QLineEdit* m_perTime;
  QPushButton* m_ok;
  QPushButton* m_defaults;
};

class CServerImportDlg : public CDialogResize {
 public:
  // checkEngine: null for g_DnsEngine; not owned.
  explicit CServerImportDlg(QWidget* parent = nullptr, CServerCheckEngine* checkEngine = nullptr);
  ~CServerImportDlg() override;
  std::wstring SizeKey() const override { return L"classCServerImportDlg"; }

  // Import Settings with "Load" first; false (Cancel there) ends the import.
  // Then the first load.
  bool Start();
  // Start, then the dialog; Rejected when the settings were cancelled.
  int exec() override;
  void accept() override;  // Import Marked

  void Reload();
  void CheckAll();
  void OpenSettings();

  // The marked servers, after OK.
  std::vector<CDnsServer> m_result;

  platform::HWND Handle() const { return m_window.Handle(); }
  const CImportModel& Model() const { return m_model; }
  CServerListCtrl* List() const { return m_list; }
  QCheckBox* MarkAllBox() const { return m_markAll; }
  QPushButton* CheckButton() const { return m_check; }
  QPushButton* ImportButton() const { return m_import; }
  QPushButton* ReloadButton() const { return m_reload; }
  QPushButton* SettingsButton() const { return m_settings; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  intptr_t OnMessage(const platform::SWindowMessage& message);
  void OnImportDone();
  void OnCheckResult(SServerCheckResult* result);
  bool OnListKey(QKeyEvent* event);
  void EditRow(uint32_t id);
  void TakeSelection();
  void RefreshMarks();
  int RowIndex(uint32_t id) const;

  CServerListCtrl* m_list;
  CListColumnRatios m_ratios;
  CServerImport m_importer;
  CDnsServerChecker m_checker;
  CImportModel m_model;
  QPushButton* m_check;
  QCheckBox* m_markAll;
  QPushButton* m_import;
  QPushButton* m_reload;
  QPushButton* m_settings;
  QTimer m_timer;
  CWindowBinding m_window;
};
