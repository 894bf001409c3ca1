// Application-wide settings of the station, shared by the program and its tests.
#include "app/Startup.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>

namespace tav {

void prepareApplication() {
  QApplication::setQuitOnLastWindowClosed(false);
  if (!QFontDatabase::families().contains(QStringLiteral("Gulim"))) {
    // Without a substitute Qt falls back to a family without Hangul.
    QFont::insertSubstitution(QStringLiteral("Gulim"), QStringLiteral("NanumGothic"));
    QFont::insertSubstitution(QStringLiteral("굴림"), QStringLiteral("NanumGothic"));
  }
}

}  // namespace tav
