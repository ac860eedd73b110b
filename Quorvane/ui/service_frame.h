// The frame of service mode: no window, no tray, no log view, yet the same
// controller takes WM_CLOSE, WM_SERVER_STATE, check results, a second copy's
// requests and timer 1000. UI thread (the QCoreApplication loop).
#pragma once

#include <QObject>
#include <QTimer>

#include "Quorvane/app/app_frame.h"
#include "Quorvane/ui/main_frame_controller.h"

class CServiceFrame : public QObject, public CAppFrame {
 public:
  explicit CServiceFrame(CServerCheckEngine* checkEngine = nullptr, std::function<bool()> resultSeen = nullptr);
  ~CServiceFrame() override;

  void ShowFrame(bool) override {}
  void Restore() override {}
  void Close() override { m_controller->RequestExit(); }
  bool AddTrayIcon() override { return false; }
  void RemoveTrayIcon() override {}
  void AppendLogLines(const std::list<SLogLine>&) override {}
  void RestartPoolMonitoring(const std::vector<CDnsServer>& servers, const std::vector<CDnsPool>& pools) override {
    m_controller->RestartPoolMonitoring(servers, pools);
  }
  int64_t OnActivateInstance(uint64_t wParam) override { return m_controller->OnActivateInstance(wParam); }
  int64_t OnCopyData(uint32_t dwData, const std::vector<uint8_t>& payload) override {
    return m_controller->OnCopyData(dwData, payload);
  }
  CMainFrameController& Controller() { return *m_controller; }

 protected:
  intptr_t OnMessage(const platform::SWindowMessage& message) override;

 private:
  std::unique_ptr<CMainFrameController> m_controller;
  QTimer m_monitoring;
};
