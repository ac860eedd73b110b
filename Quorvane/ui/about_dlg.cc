#include "Quorvane/ui/about_dlg.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <filesystem>

#include "Quorvane/app/quorvane_app.h"
#include "Quorvane/app/update_checker.h"
#include "Quorvane/platform/app_profile.h"
#include "Quorvane/platform/paths.h"
#include "Quorvane/platform/shell.h"

QImage AboutLogo() {
  const std::filesystem::path file = platform::ModuleFilePath().parent_path() / "160.png";
  return QImage(QString::fromStdString(file.string()));
}

CLogoCtrl::CLogoCtrl(QImage image, QWidget* parent) : QWidget(parent), m_image(std::move(image)) {}

QRect CLogoCtrl::Placement(const QSize& image, const QSize& control) {
  if (image.isEmpty() || control.isEmpty()) return {};
  const int height = control.height();
  const int width = int(double(image.width()) * height / image.height() + 0.5);
  return QRect((control.width() - width) / 2, 0, width, height);
}

void CLogoCtrl::paintEvent(QPaintEvent*) {
  const QRect target = Placement(m_image.size(), size());
  if (target.isEmpty()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, m_image);
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), openUrl([](const std::string& url) { platform::OpenUrl(url); }) {
  setWindowTitle("About Tarnwick");
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  white.setColor(QPalette::Button, Qt::white);
  setPalette(white);
  setAutoFillBackground(true);

  auto* layout = new QVBoxLayout(this);
  m_logo = new CLogoCtrl(AboutLogo(), this);
  m_logo->setFixedHeight(120);
  layout->addWidget(m_logo);
  m_version = new QLabel(QString::fromStdWString(L"Version " + CQuorvaneApp::GetVersionText()) +
                             "\nDNS by host-name rules for this machine.",
                         this);
  m_version->setAlignment(Qt::AlignCenter);
  layout->addWidget(m_version);
  const QString site = QString::fromLatin1(kMakerSite);
  m_link = new QLabel("<a href=\"" + site + "\">" + site + "</a>", this);
  m_link->setAlignment(Qt::AlignCenter);
  m_link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(m_link, &QLabel::linkActivated, this, [this](const QString& url) {
    if (openUrl) openUrl(url.toStdString());
  });
  layout->addWidget(m_link);
  auto* bottom = new QHBoxLayout;
  m_notShowAbout = new QCheckBox("Don't show on startup", this);
  m_notShowAbout->setChecked(platform::GetProfileInt(L"Settings", L"NotShowAbout", 0) != 0);
  connect(m_notShowAbout, &QCheckBox::clicked, this,
          [](bool ticked) { platform::WriteProfileInt(L"Settings", L"NotShowAbout", ticked ? 1 : 0); });
  auto* ok = new QPushButton("OK", this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, [this] { accept(); });
  bottom->addWidget(m_notShowAbout);
  bottom->addStretch(1);
  bottom->addWidget(ok);
  layout->addLayout(bottom);
  for (QWidget* child : findChildren<QWidget*>()) {
    child->setPalette(white);
    child->setAutoFillBackground(true);
  }
  resize(420, 300);
}
