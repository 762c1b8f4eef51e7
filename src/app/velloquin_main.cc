// velloquin: the operator's station window.
#include <QApplication>
#include <string>
#include <vector>

#include "app/programmer_app.h"
#include "app/qt_text.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationVersion(QStringLiteral(VELLOQUIN_VERSION));
  // Qt has taken its own options (-platform, ...) out of the list.
  std::vector<std::string> arguments;
  const QStringList all = QApplication::arguments();
  for (qsizetype i = 1; i < all.size(); ++i) arguments.push_back(velloquin::FromQt(all[i]));
  velloquin::ProgrammerApp app(std::move(arguments));
  return app.Run();
}
