// Help and About: the Help button opens the help page "Zambrix.html" from the
// installation folder with the desktop's opener (never through a shell), and
// the About box shows the version.
#pragma once

#include <QDialog>
#include <QUrl>
#include <functional>
#include <string>

namespace velloquin {

inline constexpr char kHelpPageName[] = "Zambrix.html";

// Opens a page with the desktop's opener; its outcome is not looked at.
using UrlOpener = std::function<bool(const QUrl&)>;

// file:// address of the help page in `boot_directory` (which ends with '/').
QUrl HelpPageUrl(const std::string& boot_directory);

// Asks `opener` (the desktop's, when empty) to open the help page. Failures
// stay silent: nothing is shown or logged when no browser or page is there.
void OpenHelpPage(const std::string& boot_directory, const UrlOpener& opener);

// The About box: icon, version, notice and OK, centred over its owner.
class AboutDialog final : public QDialog {
 public:
  explicit AboutDialog(QWidget* owner);
};

}  // namespace velloquin
