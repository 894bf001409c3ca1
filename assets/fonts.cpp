// The stand-in for Gulim, found once and registered as its substitute.
#include "assets/fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QStringList>

namespace tav::assets {

QString letteringFamily() {
  static const QString family = [] {
    const QString wanted = QStringLiteral("NanumGothic");
    if (QFontDatabase::families().contains(wanted)) return wanted;
    // Fontconfig may not list it when its cache is older than the package: load the files.
    const int id = QFontDatabase::addApplicationFont(
        QStringLiteral("/usr/share/fonts/truetype/nanum/NanumGothic.ttf"));
    QFontDatabase::addApplicationFont(QStringLiteral("/usr/share/fonts/truetype/nanum/NanumGothicBold.ttf"));
    const QStringList loaded = id >= 0 ? QFontDatabase::applicationFontFamilies(id) : QStringList();
    return loaded.isEmpty() ? wanted : loaded.front();
  }();
  return family;
}

void substituteGulim() {
  const QString family = letteringFamily();
  for (const QString& gulim : {QStringLiteral("Gulim"), QStringLiteral("굴림")})
    if (!QFont::substitutes(gulim).contains(family)) QFont::insertSubstitution(gulim, family);
}

}  // namespace tav::assets
