// "Advanced Settings": the engine's global settings (TTL range, cache
// flush, TCP blocking, captive-portal detection, interception of other
// filters' packets) over ApplyAdvanced; OK stores them, tells the driver
// when the TCP blocking or the interception changed, and saves. UI thread.
#pragma once

#include <QDialog>

#include "Quorvane/app/advanced_settings.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

// The driver behind the dialog: g_NetFilterProcessor.
class CNetFilterDriver : public CAdvancedDriver {
 public:
  void Configure(bool blockTcpPort53, bool interceptOthers) override;
};

class CAdvancedDlg : public QDialog {
 public:
  // driver: null for g_NetFilterProcessor; not owned.
  explicit CAdvancedDlg(QWidget* parent = nullptr, CAdvancedDriver* driver = nullptr);

  void LoadSettings(const SAdvancedValues& values);
  void OnDefaults();
  void accept() override;  // OnOK

  QCheckBox* ClearCache() const { return m_clearCache; }
  QCheckBox* BlockTcp() const { return m_blockTcp; }
  QLineEdit* TtlMin() const { return m_ttlMin; }
  QLineEdit* TtlMax() const { return m_ttlMax; }
  QCheckBox* CaptivePortal() const { return m_captive; }
  QCheckBox* Intercept() const { return m_intercept; }
  QPushButton* OkButton() const { return m_ok; }
  QPushButton* DefaultsButton() const { return m_defaults; }
  QPushButton* CancelButton() const { return m_cancel; }

 private:
  CNetFilterDriver m_netFilter;
  CAdvancedDriver* m_driver;
  QCheckBox* m_clearCache;
  QCheckBox* m_blockTcp;
  QLineEdit* m_ttlMin;
  QLineEdit* m_ttlMax;
  QCheckBox* m_captive;
  QCheckBox* m_intercept;
  QPushButton* m_ok;
  QPushButton* m_defaults;
  QPushButton* m_cancel;
};
