// The base of the resizable dialogs and the helpers every dialog shares. A
// CDialogResize opens at its design size the first time, centred over its
// parent, and later at the size it was closed with (kept under "UI" as
// SizeKey() + ".width"/".height"), never below the design size nor above
// twice it or three quarters of the screen; growth factors cap the tracking
// size further; a size grip sits in the corner. UI thread.
#pragma once

#include <QDialog>
#include <QHeaderView>
#include <initializer_list>
#include <string>
#include <vector>

#include "Quorvane/ui/dialog_logic.h"

class QLineEdit;

struct SDialogSize {
  bool captured = false;
  int designWidth = 0;
  int designHeight = 0;
};

class CDialogResize : public QDialog {
 public:
  explicit CDialogResize(QWidget* parent = nullptr);

  // The literal key of the dialog class, e.g. "classCRuleDlg"; empty keeps
  // no size.
  virtual std::wstring SizeKey() const = 0;

  void SetGrowthFactors(double width, double height);
  const SDialogSize& DialogSize() const { return m_size; }

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  SDialogSize m_size;
  double m_maxWidthFactor = 1.5;
  double m_maxHeightFactor = 1.5;
};

// Captures the design size, then restores the saved size and centres.
void RestoreDialogSize(SDialogSize& size, QDialog& dialog, const std::wstring& key);
void SaveDialogSize(const QDialog& dialog, const std::wstring& key, int extraHeight);

void ShowControls(const std::vector<QWidget*>& controls, bool show);
void EnableControls(const std::vector<QWidget*>& controls, bool enable);
// Moves each control down by dy (up when negative).
void MoveControls(const std::vector<QWidget*>& controls, int dy);

// Column widths as fractions of the list's width.
class CListColumnRatios {
 public:
  explicit CListColumnRatios(QHeaderView* header = nullptr) : m_header(header) {}
  void SetHeader(QHeaderView* header) { m_header = header; }
  void SetRatios(std::vector<double> ratios) { m_ratios = std::move(ratios); }
  const std::vector<double>& Ratios() const { return m_ratios; }
  void Apply(bool noRedraw);
  void Capture();

 private:
  QHeaderView* m_header = nullptr;
  std::vector<double> m_ratios;
  bool m_busy = false;
};

// exec() as the dialog's result code: IDOK (1) or IDCANCEL (2).
int RunModal(QDialog& dialog);

// Exchanges a narrow member (in the locale's codeset) or a wide one with a
// line edit; save reads the control into the member.
void DDX_TextString(bool save, QLineEdit* control, std::string& value);
void DDX_TextWString(bool save, QLineEdit* control, std::wstring& value);
