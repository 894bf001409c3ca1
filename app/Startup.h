// What the station sets up on the application before its first window: the end rule.
#pragma once

namespace tav {

// The program ends by its own rule (platform().endProgram()), never because a window closed.
// Needs a QApplication; tests call it too, so that windows behave as in the station.
void prepareApplication();

}  // namespace tav
