// The list of the station's pictures: each one's name, the file it is stored as and its exact
// pixel size, which the windows' controls and click areas are placed against.
#pragma once

#include <QSize>
#include <QString>
#include <vector>

namespace tav::assets {

struct PictureEntry {
  QString name;         // "frm01/background", or an install-folder file name such as "btn3on.jpg"
  QString file;         // the stored file, relative: "frm01/background.jpg", "btn3on.jpg", "frmTAV/icon.ico"
  QSize size;           // exact pixel size
  bool installFile;     // also a file of the install folder (C:\ORLTAV\)
};

// Every picture, the windows' own first, then the install-folder files.
const std::vector<PictureEntry>& pictureCatalog();

// The entry named `name` (install-folder names match without regard to case); nullptr when none.
const PictureEntry* findPicture(const QString& name);

}  // namespace tav::assets
