// The station tav: shows the sign-in window and runs until the last window is unloaded; --version
// and --help say which build it is.
#include <QApplication>

#include "app/Global.h"
#include "app/Startup.h"
#include "forms/frmTAV/frmTAV.h"

int main(int argc, char* argv[]) {
  // Before the application: --version and --help answer without a display.
  if (const std::optional<int> answered = tav::answerCommandLine(argc, argv)) return *answered;
  QApplication app(argc, argv);
  tav::prepareApplication();
  Global::frmTAV()->show();
  return QApplication::exec();
}
