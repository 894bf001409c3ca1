// The pictures that come with the station, compiled in as resources: the windows' own pictures
// and the built-in copies of the install-folder pictures. They are drawn by the build (drawing.h),
// so the built-in copies and the files tav-assets writes are the same bytes.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

namespace tav::assets {

// The picture of an install-folder file ("btn3on.jpg", ..., names without regard to case) or of a
// window's own picture ("frm01/background", "frmTAV/icon", ...); a null image for an unknown name.
QImage picture(const QString& name);

// The stored bytes of that picture (JPEG, or the icon file for "frmTAV/icon"); empty for an
// unknown name.
QByteArray pictureBytes(const QString& name);

// The install-folder picture files: "btn2off.jpg", "btn3on.jpg", "btn4on.jpg", "btn5off.jpg",
// "btn5on.jpg".
QStringList pictureFiles();

// The windows' own pictures (never files): "frmTAV/background", "frmTAV/icon",
// "frm01/background", "frm01/Command2", "frm01/btnMode", "frm01/btnBlock", "frm01/btnScore",
// "frm02/background", "frm03/background".
QStringList embeddedPictures();

}  // namespace tav::assets
