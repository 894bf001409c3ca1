// What the station sets up on the application before its first window: end rule and fonts.
#pragma once

namespace tav {

// The program ends by its own rule (platform().endProgram()), never because a window closed; the
// layouts' Gulim / 굴림 is drawn with NanumGothic where Gulim is not installed. Needs a
// QApplication; tests call it too, so that windows look as in the station.
void prepareApplication();

}  // namespace tav
