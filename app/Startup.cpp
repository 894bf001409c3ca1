// Application-wide settings of the station, shared by the program and its tests.
#include "app/Startup.h"

#include <QApplication>

namespace tav {

void prepareApplication() { QApplication::setQuitOnLastWindowClosed(false); }

}  // namespace tav
