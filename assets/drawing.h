// The drawing program of the station's pictures. The build runs it once (tav-draw-pictures) and
// compiles its output into the station; nothing draws at run time.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace tav::assets {

// The picture of catalog entry `name`, drawn at its catalog size; a null image for an unknown
// name. Needs a QGuiApplication and the lettering font (see fonts.h).
QImage drawPicture(const QString& name);

// The stored form of catalog entry `name`: baseline colour JPEG, or a 256-colour icon file for
// the ".ico" entry. Throws std::runtime_error when the name is unknown or cannot be encoded.
QByteArray encodePicture(const QString& name);

// An icon file (.ico) holding `image` with 256 colours: 8-bit palette (the image's own colours
// when it has no more than 256, else a median-cut palette), pixels whose alpha is below one half
// transparent. Throws std::invalid_argument for a null image or one over 256 x 256.
QByteArray icoFile(const QImage& image);

}  // namespace tav::assets
