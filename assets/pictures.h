// The pictures that come with the station, drawn by code: the same source gives the built-in
// copies and the files tav-assets writes into an install folder.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

namespace tav::assets {

// The picture of an install-folder file ("btn3on.jpg", ...) or of a window's embedded picture
// ("frm01/background", ...); a null image for an unknown name. Needs a QGuiApplication (fonts).
QImage picture(const QString& fileName);

// The install-folder picture files this module can draw.
QStringList pictureFiles();

// The pictures embedded in the windows (never files): "frm01/background", "frm01/Command2",
// "frm01/btnMode", "frm01/btnBlock", "frm01/btnScore", "frm02/background", "frm03/background".
QStringList embeddedPictures();

}  // namespace tav::assets
