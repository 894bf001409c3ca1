// Fonts of the station: the layouts name Gulim, which Linux machines lack; NanumGothic stands in.
#pragma once

#include <QString>

namespace tav::assets {

// The Hangul-capable family the pictures are lettered in and that stands in for Gulim.
// Needs a QGuiApplication.
QString letteringFamily();

// Makes "Gulim" and "굴림" resolve to letteringFamily(), so Korean captions never fall back to a
// font without Hangul. Safe to call more than once; needs a QGuiApplication.
void substituteGulim();

}  // namespace tav::assets
