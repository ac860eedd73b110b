#include "Quorvane/ui/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QSystemTrayIcon>
#include <QTextCharFormat>
#include <QTimer>

#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/paths.h"

namespace {

constexpr int kLogTimerMs = 200;      // timer 1012
constexpr int kMaxViewLines = 10000;  // older lines leave the view

}  // namespace

QIcon ApplicationIcon() {
  const std::filesystem::path file = platform::ModuleFilePath().parent_path() / "tarnwick.png";
  return QIcon(QString::fromStdString(file.string()));
}

CMainFrame::CMainFrame() {
  setWindowTitle("Tarnwick");
  setWindowIcon(ApplicationIcon());
  m_view = new QPlainTextEdit(this);
  m_view->setReadOnly(true);
  m_view->setMaximumBlockCount(kMaxViewLines);
  m_view->setLineWrapMode(QPlainTextEdit::NoWrap);
  setCentralWidget(m_view);
  resize(900, 500);
  Bind(this);
  // Lines also come in between notifications when the log floods.
  m_logTimer = new QTimer(this);
  QObject::connect(m_logTimer, &QTimer::timeout, [this] { OnMessage({WM_LOG_NOTIFY, 0, 0}); });
  m_logTimer->start(kLogTimerMs);
}

CMainFrame::~CMainFrame() { Unbind(); }

void CMainFrame::ShowFrame(bool show) { setVisible(show); }

void CMainFrame::Restore() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void CMainFrame::Close() {
  // A box still open (a start-up question) would hold the program.
  if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
  close();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  event->accept();
  MarkClosed();
  QApplication::quit();
}

bool CMainFrame::AddTrayIcon() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  m_tray = std::make_unique<QSystemTrayIcon>(ApplicationIcon());
  m_tray->setToolTip("Tarnwick");
  QObject::connect(m_tray.get(), &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) Restore();
  });
  m_tray->show();
  return true;
}

void CMainFrame::RemoveTrayIcon() { m_tray.reset(); }

void CMainFrame::AppendLogLines(const std::list<SLogLine>& lines) {
  QTextCharFormat normal, error;
  error.setForeground(Qt::red);
  QTextCursor cursor(m_view->document());
  cursor.movePosition(QTextCursor::End);
  for (const SLogLine& line : lines) {
    if (!m_view->document()->isEmpty()) cursor.insertBlock();
    cursor.insertText(QString::fromStdString(WideToUtf8(line.text)), line.error ? error : normal);
  }
  m_view->ensureCursorVisible();
}
