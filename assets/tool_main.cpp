// tav-assets: writes the install-folder files (pictures, sounds, tav.ini, the site's ca.pem, the
// station's key) into a folder.
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <exception>

#include "assets/install.h"
#include "server/core/demo_data.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: tav-assets FOLDER --place CODE [--ca FILE] [--station-key FILE]\n"
               "Writes the station's install-folder files into FOLDER: the button pictures, ok.wav,\n"
               "no.wav and tav.ini naming the venue CODE (the demo venue is %s).\n"
               "--ca FILE copies the site's CA certificate (ca.pem from tav-server tls-init) there as\n"
               "ca.pem: the station then trusts a back-end certificate that CA signed.\n"
               "--station-key FILE installs this station's key (from tav-server add-station --key-file)\n"
               "there as station.key: the station then sends it with every request.\n",
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
  QString place;
  QString folder;
  QString caFile;
  QString keyFile;
  for (qsizetype i = 0; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--place")) {
      if (i + 1 >= args.size()) return usage();
      place = args[++i];
    } else if (args[i] == QLatin1String("--ca")) {
      if (i + 1 >= args.size() || !caFile.isEmpty()) return usage();
      caFile = args[++i];
    } else if (args[i] == QLatin1String("--station-key")) {
      if (i + 1 >= args.size() || !keyFile.isEmpty()) return usage();
      keyFile = args[++i];
    } else if (folder.isEmpty() && !args[i].startsWith(QLatin1String("--"))) {
      folder = args[i];
    } else {
      return usage();
    }
  }
  if (folder.isEmpty()) return usage();
  // tav.ini is always rewritten: a guessed venue would send every scan of this station elsewhere.
  if (place.isEmpty()) {
    std::fprintf(stderr, "tav-assets: --place CODE is required: it names this station's venue in tav.ini.\n");
    return 2;
  }
  try {
    // Checked before anything is written: a bad file leaves the folder as it was.
    const QByteArray ca = caFile.isEmpty() ? QByteArray() : tav::assets::caCertificateFile(caFile);
    const QByteArray key = keyFile.isEmpty() ? QByteArray() : tav::assets::stationKeyFile(keyFile);
    tav::assets::writeInstallFolder(folder, place, ca, key);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tav-assets: %s\n", e.what());
    return 1;
  }
  std::printf("tav-assets: install files written to %s (PlaceCode=%s%s%s)\n", qPrintable(folder), qPrintable(place),
              caFile.isEmpty() ? "" : ", ca.pem", keyFile.isEmpty() ? "" : ", station.key");
  return 0;
}
