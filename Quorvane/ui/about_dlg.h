// The About box: the logo (160.png beside the program, scaled to the logo
// control's height), the version, a link to the maker's site and "Don't
// show on startup", written to the profile (NotShowAbout) on every click.
// White on every control. UI thread.
#pragma once

#include <QDialog>
#include <QImage>
#include <functional>
#include <string>

class QCheckBox;
class QLabel;

// Draws its image at its own height, aspect kept, centred horizontally and
// top-aligned; a missing image draws nothing.
class CLogoCtrl : public QWidget {
 public:
  explicit CLogoCtrl(QImage image, QWidget* parent = nullptr);
  const QImage& Image() const { return m_image; }
  // Where the image goes in a control of this size.
  static QRect Placement(const QSize& image, const QSize& control);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage m_image;
};

class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  // The link's road; the desktop's browser by default.
  std::function<void(const std::string& url)> openUrl;

  CLogoCtrl* Logo() const { return m_logo; }
  QLabel* Version() const { return m_version; }
  QLabel* Link() const { return m_link; }
  QCheckBox* NotShowAbout() const { return m_notShowAbout; }

 private:
  CLogoCtrl* m_logo;
  QLabel* m_version;
  QLabel* m_link;
  QCheckBox* m_notShowAbout;
};

// 160.png of the program's folder; a null image without it.
QImage AboutLogo();
