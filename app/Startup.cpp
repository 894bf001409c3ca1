// Application-wide settings of the station, shared by the program and its tests.
#include "app/Startup.h"

#include <QApplication>

#include "assets/fonts.h"

namespace tav {

void prepareApplication() {
  QApplication::setQuitOnLastWindowClosed(false);
  assets::substituteGulim();
}

}  // namespace tav
