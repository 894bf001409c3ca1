// The pictures that come with the station, drawn by code: the same source gives the built-in
// copies and the files tav-assets writes into an install folder.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

namespace tav::assets {

// The picture of an install-folder file ("btn3on.jpg", ...), or a null image for an unknown name.
QImage picture(const QString& fileName);

// The install-folder picture files this module can draw.
QStringList pictureFiles();

}  // namespace tav::assets
