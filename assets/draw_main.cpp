// tav-draw-pictures: draws every picture of the station into a folder, with the resource list
// (pictures.qrc) that compiles them into the program. The build runs it; see CMakeLists.txt.
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QSaveFile>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "assets/catalog.h"
#include "assets/drawing.h"
#include "assets/fonts.h"

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
  if (!QDir().mkpath(QFileInfo(path).absolutePath()))
    throw std::runtime_error("Cannot create the folder of " + path.toStdString() + ".");
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
    throw std::runtime_error("Cannot write " + path.toStdString() + ": " + f.errorString().toStdString() + ".");
}

}  // namespace

int main(int argc, char** argv) {
  // Drawing needs fonts, not a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QStringList args = app.arguments().mid(1);
  if (args.size() != 1 || args.front().startsWith(QLatin1Char('-'))) {
    std::fputs("usage: tav-draw-pictures FOLDER\n"
               "Draws the station's pictures into FOLDER and lists them in FOLDER/pictures.qrc.\n",
               stderr);
    return 2;
  }
  const QDir out(args.front());
  try {
    // Without a Hangul face every Korean title would come out as empty boxes.
    if (!QFontDatabase::writingSystems(tav::assets::letteringFamily()).contains(QFontDatabase::Korean))
      throw std::runtime_error("The font NanumGothic (Debian package fonts-nanum) is not installed; "
                               "the pictures' Korean lettering cannot be drawn.");
    QByteArray qrc = "<!DOCTYPE RCC><RCC version=\"1.0\">\n<qresource prefix=\"/pictures\">\n";
    for (const tav::assets::PictureEntry& e : tav::assets::pictureCatalog()) {
      writeFile(out.filePath(e.file), tav::assets::encodePicture(e.name));
      qrc += "  <file>" + e.file.toUtf8() + "</file>\n";
    }
    qrc += "</qresource>\n</RCC>\n";
    writeFile(out.filePath(QStringLiteral("pictures.qrc")), qrc);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tav-draw-pictures: %s\n", e.what());
    return 1;
  }
  return 0;
}
