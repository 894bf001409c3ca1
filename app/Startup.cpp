// Application-wide settings of the station, shared by the program and its tests.
#include "app/Startup.h"

#include <QApplication>
#include <cstdio>
#include <cstring>

#include "forms/common/Globals.h"
#include "platform/pathmap.h"

namespace tav {

void prepareApplication() { QApplication::setQuitOnLastWindowClosed(false); }

std::optional<int> answerCommandLine(int argc, char** argv) {
  bool version = false;
  bool help = false;
  for (int i = 1; i < argc; ++i) {
    version = version || std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0;
    help = help || std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
  }
  if (!version && !help) return std::nullopt;
  if (help)
    std::printf(
        "usage: tav [--version | --help]\n"
        "The gate station: the operator signs in, then \"TAV OPEN\" opens the check screen on the primary\n"
        "display. The venue is the PlaceCode of tav.ini in the install folder.\n\n");
  // Where a station reports to and reads from is fixed when it is built: these say which build this is.
  std::printf("tav %s\nback-end: %s\ninstall folder: %s\n", TAV_VERSION, qPrintable(Global::serverAddress()),
              qPrintable(installFolder()));
  return 0;
}

}  // namespace tav
