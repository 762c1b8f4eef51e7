#include "app/about_help.h"

#include <QDesktopServices>
#include <algorithm>
#include <QLabel>
#include <QPushButton>

#include "app/app_icon.h"
#include "app/dialog_template.h"
#include "app/dialog_units.h"
#include "app/qt_text.h"

namespace velloquin {

QUrl HelpPageUrl(const std::string& boot_directory) {
  return QUrl::fromLocalFile(ToQt(boot_directory + kHelpPageName));
}

void OpenHelpPage(const std::string& boot_directory, const UrlOpener& opener) {
  QUrl url = HelpPageUrl(boot_directory);
  if (opener) {
    opener(url);
  } else {
    QDesktopServices::openUrl(url);
  }
}

AboutDialog::AboutDialog(QWidget* owner) : QDialog(owner) {
  setWindowTitle(QString::fromLatin1(kAboutCaption));
  setWindowIcon(AppIcon());
  setModal(true);
  DialogUnits units(fontMetrics());
  setFixedSize(units.X(kAboutWidthUnits), units.Y(kAboutHeightUnits));
  auto place = [&units](QWidget* widget, const DialogBox& box) {
    widget->setGeometry(units.Rect(box.x, box.y, box.width, box.height));
  };

  auto* icon = new QLabel(this);
  QRect icon_box = units.Rect(kAboutIconUnits.x, kAboutIconUnits.y, kAboutIconUnits.width,
                              kAboutIconUnits.height);
  int side = std::min(icon_box.width(), icon_box.height());
  icon->setPixmap(AppIcon().pixmap(side, side));
  icon->setGeometry(icon_box.x(), icon_box.y(), side, side);

  // Plain texts: an "&" is shown as it is.
  auto* version = new QLabel(QString::fromLatin1(kAboutVersionText), this);
  version->setTextFormat(Qt::PlainText);
  place(version, kAboutVersionUnits);
  auto* notice = new QLabel(QString::fromLatin1(kAboutNoticeText), this);
  notice->setTextFormat(Qt::PlainText);
  place(notice, kAboutNoticeUnits);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setDefault(true);
  place(ok, kAboutOkUnits);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace velloquin
