#include "Quorvane/ui/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QToolBar>
#include <QToolButton>

#include "Quorvane/app/message_box.h"
#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/app/service_mode.h"
#include "Quorvane/foundation/text_utils.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/platform/clock.h"
#include "Quorvane/platform/paths.h"
#include "Quorvane/ui/message_box_ex_dlg.h"

namespace {

constexpr wchar_t kUi[] = L"UI";

QString Q(const std::wstring& text) { return QString::fromStdWString(text); }

const QColor kErrorColour(255, 50, 50);

}  // namespace

QIcon ApplicationIcon() {
  const std::filesystem::path file = platform::ModuleFilePath().parent_path() / "tarnwick.png";
  return QIcon(QString::fromStdString(file.string()));
}

QIcon ResourcePng(int id) {
  const std::filesystem::path file = platform::ModuleFilePath().parent_path() / (std::to_string(id) + ".png");
  return QIcon(QString::fromStdString(file.string()));
}

CLogCtrl::CLogCtrl(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  // Selectable with the mouse, never a caret.
  setTextInteractionFlags(Qt::TextSelectableByMouse);
  setContextMenuPolicy(Qt::NoContextMenu);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setUndoRedoEnabled(false);
}

CLogSurface::SScroll CLogCtrl::GetScroll() const {
  const QScrollBar* bar = verticalScrollBar();
  return {bar->value(), bar->pageStep(), bar->maximum() + bar->pageStep()};
}

void CLogCtrl::GetSelection(int& start, int& end) const {
  const QTextCursor cursor = textCursor();
  start = cursor.selectionStart();
  end = cursor.selectionEnd();
}

void CLogCtrl::SetSelection(int start, int end) {
  QTextCursor cursor(document());
  cursor.setPosition(start);
  cursor.setPosition(end, QTextCursor::KeepAnchor);
  setTextCursor(cursor);
}

int CLogCtrl::LineCount() const { return document()->blockCount() - (document()->lastBlock().text().isEmpty() ? 1 : 0); }

int CLogCtrl::FirstVisibleLine() const { return verticalScrollBar()->value(); }

int CLogCtrl::LineStart(int line) const { return document()->findBlockByNumber(line).position(); }

void CLogCtrl::DeleteText(int start, int end) {
  QTextCursor cursor(document());
  cursor.setPosition(start);
  cursor.setPosition(end, QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void CLogCtrl::ScrollLines(int lines) {
  QScrollBar* bar = verticalScrollBar();
  bar->setValue(bar->value() + lines);
}

void CLogCtrl::AppendRun(const std::wstring& text, bool error) {
  QTextCharFormat format;
  format.setForeground(error ? QBrush(kErrorColour) : palette().text());
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(Q(text), format);
}

void CLogCtrl::ScrollToBottom() { verticalScrollBar()->setValue(verticalScrollBar()->maximum()); }

CMainFrame::CMainFrame(CFrameDialogs* dialogs, std::function<bool()> resultSeen, CServerCheckEngine* checkEngine) {
  setWindowTitle("Tarnwick");
  setWindowIcon(ApplicationIcon());
  m_view = new CLogCtrl(this);
  setCentralWidget(m_view);
  m_fontNormal = QApplication::font();
  m_fontSmall = m_fontNormal;
  if (m_fontSmall.pointSizeF() > 0) m_fontSmall.setPointSizeF(m_fontNormal.pointSizeF() * 0.9);

  m_statusLink = new QLabel(this);
  m_statusLink->setTextFormat(Qt::RichText);
  m_statusLink->setAlignment(Qt::AlignRight | Qt::AlignBottom);
  m_statusLink->setFont(m_fontSmall);
  statusBar()->addPermanentWidget(m_statusLink, 1);
  statusBar()->setFont(m_fontSmall);
  statusBar()->setMinimumHeight(int(QFontMetrics(m_fontSmall).height() * 1.1) + 6);

  CreateMenus();
  CreateToolBar();
  Bind(this);

  CMainFrameController::SSeams seams;
  seams.view = this;
  seams.tray = this;
  seams.files = this;
  seams.dialogs = dialogs;
  seams.checkEngine = checkEngine;
  seams.resultSeen = std::move(resultSeen);
  seams.handle = Handle();
  seams.askWithCheckBox = [this](const std::wstring& text, const std::wstring& checkBox, bool& ticked) {
    CMessageBoxExDlg box(L"Tarnwick", text, MB_YESNO | MB_ICONINFORMATION, checkBox, this);
    const bool yes = box.DoModal() == IDYES;
    ticked = box.Checked();
    return yes;
  };
  seams.destroy = [this] {
    m_bDestroying = true;
    MarkClosed();
    hide();
    QApplication::quit();
  };
  m_controller = std::make_unique<CMainFrameController>(std::move(seams));
  QObject::connect(m_statusLink, &QLabel::linkActivated, [this](const QString& url) {
    if (url.startsWith("about")) m_controller->OnCommand(ID_APP_ABOUT);
  });

  QObject::connect(&m_timerLog, &QTimer::timeout, [this] { m_controller->OnTimer(kTimerLogNotify); });
  QObject::connect(&m_timerStatus, &QTimer::timeout, [this] { m_controller->OnTimer(kTimerStatus); });
  QObject::connect(&m_timerMonitoring, &QTimer::timeout, [this] { m_controller->OnTimer(kTimerMonitoring); });
  m_timerLog.start(200);
  m_timerStatus.start(500);
  m_timerMonitoring.start(500);
  resize(900, 500);
  RestorePlacement();
}

CMainFrame::~CMainFrame() {
  Unbind();
  m_controller.reset();
}

QAction* CMainFrame::AddAction(QMenu* menu, unsigned id, const char* text, const char* prompt, const QKeySequence& keys) {
  QAction* action = m_actions.count(id) ? m_actions[id] : nullptr;
  if (!action) {
    action = new QAction(QString::fromUtf8(text), this);
    const QString tip = QString::fromUtf8(prompt);
    action->setStatusTip(tip.section('\n', 0, 0));
    if (!keys.isEmpty()) action->setShortcut(keys);
    QObject::connect(action, &QAction::triggered, [this, id] { m_controller->OnCommand(id); });
    m_actions[id] = action;
  }
  if (menu) menu->addAction(action);
  return action;
}

QAction* CMainFrame::Action(unsigned id) const {
  auto it = m_actions.find(id);
  return it == m_actions.end() ? nullptr : it->second;
}

void CMainFrame::CreateMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  AddAction(file, ID_FILE_NEW, "&New Configuration", "Create a new configuration with default values\nNew Configuration",
            QKeySequence("Ctrl+N"));
  AddAction(file, ID_IMPORT_CONFIGURATION, "&Import Configuration...",
            "Import an existing configuration from a file\nImport Configuration", QKeySequence("Ctrl+I"));
  AddAction(file, ID_EXPORT_CONFIGURATION, "&Export Configuration...",
            "Export current configuration to a file\nExport Configuration", QKeySequence("Ctrl+E"));
  file->addSeparator();
  AddAction(file, ID_UPDATE_CHECK, "&Check for Product Updates on Startup",
            "On start check for the new version of the program\nCheck for Product Updates on Startup");
  AddAction(file, ID_AUTOSTART, "&Autostart",
            "Start the program automatically when Windows starts for the current user\nAutostart");
  file->addSeparator();
  AddAction(file, ID_APP_EXIT, "E&xit", "Exit from the program\nExit");

  QMenu* configuration = menuBar()->addMenu("&Configuration");
  AddAction(configuration, ID_DNS_SERVERS, "DNS &Servers...", "Open the list of DNS servers\nDNS Servers",
            QKeySequence("Ctrl+S"));
  AddAction(configuration, ID_RULES, "&Rules...", "Open the rules\nRules", QKeySequence("Ctrl+R"));
  AddAction(configuration, ID_ADVANCED, "&Advanced...", "Open Advanced Settings\nOpen Advanced Settings");
  AddAction(configuration, ID_WIZARD, "First Start &Wizard...",
            "The wizard helps to configre Tarnwick on the first start\nFirst Start Wizard");
  configuration->addSeparator();
  AddAction(configuration, ID_KESTRUNE, "&Kestrune...", "Run Tarnwick Kestrune tool...\nKestrune");

  QMenu* log = menuBar()->addMenu("&Log");
  QMenu* screen = log->addMenu("&Screen");
  AddAction(screen, 32809, "&Errors Only", "Screen log will output errors only\nErrors Only");
  AddAction(screen, 32810, "&Normal", "Normal screen log\nNormal");
  AddAction(screen, 32811, "&Verbose", "Verbose screen log\nVerbose");
  AddAction(screen, 32812, "&Debug", "Debug screen log\nDebug");
  screen->addSeparator();
  AddAction(screen, ID_CLEAR_LOG, "&Clear", "Clear screen log\nClear", QKeySequence("Ctrl+X"));
  screen->addSeparator();
  QMenu* font = screen->addMenu("&Font Size");
  AddAction(font, ID_FONT_SMALL, "&Small", "Use small font in the log window\nSmall Font");
  AddAction(font, ID_FONT_LARGE, "&Large", "Use large font in the log window\nLarge Font");
  QMenu* fileLog = log->addMenu("&File");
  AddAction(fileLog, 32813, "&Disabled", "Disable file log\nDisabled");
  AddAction(fileLog, 32814, "&Errors Only", "File log will output errors only\nErrors Only");
  AddAction(fileLog, 32815, "&Normal", "Normal file log\nNormal");
  AddAction(fileLog, 32816, "&Verbose", "Verbose file log\nVerbose");
  AddAction(fileLog, 32817, "D&ebug", "Debug file log\nDebug");
  fileLog->addSeparator();
  AddAction(fileLog, ID_SET_LOG_FOLDER, "&Set Log Folder...", "Set log folder");
  AddAction(fileLog, ID_OPEN_LOG_FOLDER, "&Open Log Folder...", "Open log folder in File Explorer\nOpen Log Folder");

  QMenu* window = menuBar()->addMenu("Window");
  AddAction(window, ID_TRAY_ICON, "&Icon in the System Tray",
            "Show icon in the System Tray and hide the main window when closed\nIcon in The System Tray");
  QMenu* help = menuBar()->addMenu("&Help");
  AddAction(help, ID_HELP_DOCUMENTATION, "&Documentation...", "Online documentation");
  AddAction(help, ID_APP_ABOUT, "&About...", "About Tarnwick");

  for (unsigned id : {32809u, 32810u, 32811u, 32812u, 32813u, 32814u, 32815u, 32816u, 32817u, unsigned(ID_FONT_SMALL),
                      unsigned(ID_FONT_LARGE), unsigned(ID_TRAY_ICON), unsigned(ID_AUTOSTART),
                      unsigned(ID_UPDATE_CHECK)})
    m_actions[id]->setCheckable(true);
  for (QMenu* menu : {file, log, screen, font, fileLog, window})
    QObject::connect(menu, &QMenu::aboutToShow, [this] { RefreshChecks(); });

  // Menu 146 of the tray.
  m_trayMenu = std::make_unique<QMenu>();
  QAction* open = m_trayMenu->addAction("&Open Tarnwick");
  QObject::connect(open, &QAction::triggered, [this] { m_controller->OnCommand(ID_TRAY_OPEN); });
  m_trayMenu->setDefaultAction(open);
  m_trayMenu->addSeparator();
  m_trayMenu->addAction(m_actions[ID_DNS_SERVERS]);
  m_trayMenu->addAction(m_actions[ID_RULES]);
  m_trayMenu->addSeparator();
  m_trayMenu->addAction(m_actions[ID_APP_EXIT]);
}

void CMainFrame::RefreshChecks() {
  for (auto& [id, action] : m_actions)
    if (action->isCheckable()) action->setChecked(m_controller->IsChecked(id));
}

void CMainFrame::CreateToolBar() {
  QToolBar* bar = addToolBar("Toolbar");
  bar->setObjectName("toolbar100");
  bar->setMovable(false);
  bar->setFloatable(false);
  bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  bar->setStyleSheet("QToolBar { background: rgb(230,230,230); border: 0px; spacing: 20px; padding: 5px; }");
  const struct {
    unsigned id;
    int png;
    const char* text;
  } buttons[] = {{ID_DNS_SERVERS, 147, "DNS Servers"}, {ID_RULES, 143, "Rules"}, {ID_CLEAR_LOG, 144, "Clear Display"}};
  for (const auto& b : buttons) {
    QAction* action = new QAction(ResourcePng(b.png), b.text, bar);
    const unsigned id = b.id;
    QObject::connect(action, &QAction::triggered, [this, id] { m_controller->OnCommand(id); });
    bar->addAction(action);
  }
  const int width = 100 * logicalDpiY() / 96;
  auto addCombo = [&](const char* label, const QStringList& items) {
    bar->addWidget(new QLabel(label, bar));
    QComboBox* combo = new QComboBox(bar);
    combo->addItems(items);
    combo->setFixedWidth(width);
    bar->addWidget(combo);
    return combo;
  };
  m_screenCombo = addCombo("Screen Log", {"Errors Only", "Normal", "Verbose", "Debug"});
  m_fileCombo = addCombo("File Log", {"Disabled", "Errors Only", "Normal", "Verbose", "Debug"});
  QObject::connect(m_screenCombo, &QComboBox::activated, [this](int index) { m_controller->OnScreenLogCombo(index); });
  QObject::connect(m_fileCombo, &QComboBox::activated, [this](int index) { m_controller->OnFileLogCombo(index); });
}

void CMainFrame::ShowFrame(bool show) { setVisible(show); }

void CMainFrame::RestoreWindow() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void CMainFrame::SetStatusText(const std::wstring& richText) { m_statusLink->setText(Q(richText)); }

void CMainFrame::SelectLogLevelCombos(int screenIndex, int fileIndex) {
  if (m_screenCombo) m_screenCombo->setCurrentIndex(screenIndex);
  if (m_fileCombo) m_fileCombo->setCurrentIndex(fileIndex);
}

void CMainFrame::SetLogFont(bool small) { m_view->setFont(small ? m_fontSmall : m_fontNormal); }

void CMainFrame::EndModalLoops() {
  // Innermost first, so each loop returns into the one below it.
  while (QWidget* modal = QApplication::activeModalWidget()) {
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->reject();
    } else {
      modal->close();
    }
    if (QApplication::activeModalWidget() == modal) break;
  }
}

bool CMainFrame::IsModalOpen() const { return QApplication::activeModalWidget() != nullptr; }

void CMainFrame::ShowBalloon(const std::wstring& title, const std::wstring& text) {
  if (m_tray) m_tray->showMessage(Q(title), Q(text), QSystemTrayIcon::Information, 30000);
}

namespace {

std::optional<std::wstring> Chosen(QFileDialog& dialog) {
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front().toStdWString();
}

void SetUpConfigurationDialog(QFileDialog& dialog) {
  dialog.setNameFilter("Configuration Files (*.xml);;All Files (*)");
  dialog.setDefaultSuffix("xml");
}

}  // namespace

std::optional<std::wstring> OpenConfigurationDialog(QWidget* parent) {
  QFileDialog dialog(parent);
  SetUpConfigurationDialog(dialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  return Chosen(dialog);
}

std::optional<std::wstring> CMainFrame::OpenConfiguration() { return OpenConfigurationDialog(nullptr); }

std::optional<std::wstring> CMainFrame::SaveConfiguration() {
  QFileDialog dialog;
  SetUpConfigurationDialog(dialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  return Chosen(dialog);
}

std::optional<std::wstring> CMainFrame::ChooseFolder(const std::wstring& title, const std::wstring& start) {
  const QString folder = QFileDialog::getExistingDirectory(this, Q(title), Q(start));
  if (folder.isEmpty()) return std::nullopt;
  return folder.toStdWString();
}

bool CMainFrame::AddTrayIcon() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  m_tray = std::make_unique<QSystemTrayIcon>(ApplicationIcon());
  m_tray->setToolTip("Tarnwick");
  m_tray->setContextMenu(m_trayMenu.get());
  QObject::connect(m_tray.get(), &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) m_controller->OnCommand(ID_TRAY_OPEN);
  });
  m_tray->show();
  return true;
}

void CMainFrame::RemoveTrayIcon() { m_tray.reset(); }

void CMainFrame::AppendLogLines(const std::list<SLogLine>& lines) {
  std::list<SLogLine> copy = lines;
  if (!copy.empty()) m_log.Append(*m_view, copy);
}

intptr_t CMainFrame::OnMessage(const platform::SWindowMessage& message) {
  if (!Handle()) return 0;
  if (message.message == WM_LOG_NOTIFY) {
    m_log.Refresh(*m_view, theApp.RunMode() == RunModeService,
                  (QGuiApplication::mouseButtons() & Qt::LeftButton) != 0);
    if (m_bRedrawPending) {
      update();
      m_bRedrawPending = false;
    }
    return 0;
  }
  return m_controller->OnMessage(message);
}

bool CMainFrame::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) {
    m_bRedrawPending = true;
    g_nLastLogNotifyTick = platform::GetTickCount64();
    platform::PostWindowMessage(g_hLogWnd.load(), WM_LOG_NOTIFY, 0, 0);
  }
  return QMainWindow::event(event);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (m_bDestroying) {
    event->accept();
    return;
  }
  // The title bar's close is WM_CLOSE: hide to the tray or end.
  event->ignore();
  m_controller->OnMessage({WM_CLOSE, 0, 0});
}

void CMainFrame::resizeEvent(QResizeEvent* event) {
  const CLogSurface::SScroll scroll = m_view->GetScroll();
  const bool atEnd = scroll.pos + scroll.page >= scroll.max;
  QMainWindow::resizeEvent(event);
  m_log.ResetScrollMax();
  if (atEnd) m_view->ScrollToBottom();
}

void CMainFrame::StorePlacement() {
  const QRect r = isMaximized() ? normalGeometry() : geometry();
  platform::WriteProfileInt(kUi, L"WindowLeft", r.left());
  platform::WriteProfileInt(kUi, L"WindowTop", r.top());
  platform::WriteProfileInt(kUi, L"WindowWidth", r.width());
  platform::WriteProfileInt(kUi, L"WindowHeight", r.height());
  platform::WriteProfileInt(kUi, L"WindowMaximized", isMaximized() ? 1 : 0);
}

void CMainFrame::RestorePlacement() {
  if (!platform::HasProfileValue(kUi, L"WindowWidth")) return;
  const QRect saved(platform::GetProfileInt(kUi, L"WindowLeft", 0), platform::GetProfileInt(kUi, L"WindowTop", 0),
                    platform::GetProfileInt(kUi, L"WindowWidth", 0), platform::GetProfileInt(kUi, L"WindowHeight", 0));
  if (saved.width() <= 0 || saved.height() <= 0) return;
  QScreen* screen = QGuiApplication::screenAt(saved.topLeft());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  if (platform::GetProfileInt(kUi, L"WindowMaximized", 0)) {
    setGeometry(area);
    setWindowState(windowState() | Qt::WindowMaximized);
    return;
  }
  const QRect common = saved.intersected(area);
  if (common.isEmpty()) return;
  setGeometry(QRect(common.topLeft(), saved.size()));
}
