// tav-assets: writes the install-folder files (pictures, sounds, tav.ini) into a folder.
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <exception>

#include "assets/install.h"
#include "server/core/demo_data.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: tav-assets FOLDER [--place CODE]\n"
               "Writes the station's install-folder files into FOLDER: the button pictures, ok.wav,\n"
               "no.wav and tav.ini naming the venue CODE (default: the demo venue, %s).\n",
               tav::server::kDemoPlaceCode);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // The pictures are compiled in already: writing them needs no display and no fonts.
  QCoreApplication app(argc, argv);
  QStringList args = app.arguments().mid(1);
  if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
    usage();
    return 0;
  }
  QString place = QString::fromUtf8(tav::server::kDemoPlaceCode);
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
