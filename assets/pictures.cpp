// The station's pictures as compiled-in resources, found through the picture catalog.
#include "assets/pictures.h"

#include <QFile>
#include <mutex>

#include "assets/catalog.h"

// The resources live in a static library: nothing would pull them into the program unless
// something calls their registration, which must be made outside any namespace.
static void registerPictureResources() { Q_INIT_RESOURCE(tav_pictures); }

namespace tav::assets {
namespace {

QString resourcePath(const PictureEntry& e) {
  static std::once_flag registered;
  std::call_once(registered, registerPictureResources);
  return QStringLiteral(":/pictures/") + e.file;
}

}  // namespace

QImage picture(const QString& name) {
  const PictureEntry* e = findPicture(name);
  return e ? QImage(resourcePath(*e)) : QImage();
}

QByteArray pictureBytes(const QString& name) {
  const PictureEntry* e = findPicture(name);
  if (!e) return {};
  QFile f(resourcePath(*e));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList pictureFiles() {
  QStringList names;
  for (const PictureEntry& e : pictureCatalog())
    if (e.installFile) names << e.name;
  names.sort();
  return names;
}

QStringList embeddedPictures() {
  QStringList names;
  for (const PictureEntry& e : pictureCatalog())
    if (!e.installFile) names << e.name;
  return names;
}

}  // namespace tav::assets
