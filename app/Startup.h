// What the station sets up on the application before its first window: the end rule, and the
// answers to --version and --help, which need no window at all.
#pragma once

#include <optional>

namespace tav {

// The program ends by its own rule (platform().endProgram()), never because a window closed.
// Needs a QApplication; tests call it too, so that windows behave as in the station.
void prepareApplication();

// Answers `tav --version` (-v) and `tav --help` (-h) on standard output with the program's
// version, the back-end address and the install folder it was built with, and gives the exit
// code; nullopt for any other command line, which the station then runs with. Needs no
// QApplication and no display.
std::optional<int> answerCommandLine(int argc, char** argv);

}  // namespace tav
