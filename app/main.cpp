// The station tav: shows the sign-in window and runs until the last window is unloaded.
#include <QApplication>

#include "app/Global.h"
#include "app/Startup.h"
#include "forms/frmTAV/frmTAV.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  tav::prepareApplication();
  Global::frmTAV()->show();
  return QApplication::exec();
}
