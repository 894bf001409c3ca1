// tav-assets: writes the install-folder files (pictures, sounds, tav.ini) into a folder.
#include <QGuiApplication>
#include <QStringList>
#include <cstdio>
#include <exception>

#include "assets/install.h"

namespace {

int usage() {
  std::fputs("usage: tav-assets FOLDER [--place CODE]\n"
             "Writes the station's install-folder files into FOLDER: the button pictures, ok.wav,\n"
             "no.wav and tav.ini naming the venue CODE (default DEMO01).\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Drawing needs fonts, not a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QStringList args = app.arguments().mid(1);
  if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
    usage();
    return 0;
  }
  QString place = QStringLiteral("DEMO01");
  QString folder;
  for (qsizetype i = 0; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--place")) {
      if (i + 1 >= args.size()) return usage();
      place = args[++i];
    } else if (folder.isEmpty() && !args[i].startsWith(QLatin1String("--"))) {
      folder = args[i];
    } else {
      return usage();
    }
  }
  if (folder.isEmpty()) return usage();
  try {
    tav::assets::writeInstallFolder(folder, place);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tav-assets: %s\n", e.what());
    return 1;
  }
  std::printf("tav-assets: install files written to %s (PlaceCode=%s)\n", qPrintable(folder), qPrintable(place));
  return 0;
}
