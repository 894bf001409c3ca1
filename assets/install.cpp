// Writing of the install-folder files: pictures, sounds and the venue's settings file.
#include "assets/install.h"

#include <QDir>
#include <QSaveFile>
#include <QStringEncoder>
#include <stdexcept>

#include "assets/pictures.h"
#include "assets/sounds.h"

namespace tav::assets {
namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
    throw std::runtime_error("Cannot write " + path.toStdString() + ": " + f.errorString().toStdString() + ".");
}

}  // namespace

QByteArray iniFile(const QString& placeCode) {
  if (placeCode.contains(u'\n') || placeCode.contains(u'\r'))
    throw std::invalid_argument("A place code cannot hold a line break.");
  QStringEncoder toAnsi("windows-949", QStringConverter::Flag::Stateless);
  const QByteArray code = toAnsi(placeCode);
  if (toAnsi.hasError())
    throw std::invalid_argument("The place code cannot be written in code page 949.");
  return "[Marovex]\r\nPlaceCode=" + code + "\r\n";
}

void writeInstallFolder(const QString& folder, const QString& placeCode) {
  const QByteArray ini = iniFile(placeCode);
  QDir dir(folder);
  if (!dir.mkpath(QStringLiteral(".")))
    throw std::runtime_error("Cannot create the folder " + folder.toStdString() + ".");
  // The same bytes as the built-in copies: a station shows the same face with or without the file.
  for (const QString& name : pictureFiles()) {
    const QByteArray jpeg = pictureBytes(name);
    if (jpeg.isEmpty()) throw std::runtime_error("The station has no picture " + name.toStdString() + ".");
    writeFile(dir.filePath(name), jpeg);
  }
  for (const QString& name : soundFiles()) writeFile(dir.filePath(name), sound(name));
  writeFile(dir.filePath(QStringLiteral("tav.ini")), ini);
}

}  // namespace tav::assets
