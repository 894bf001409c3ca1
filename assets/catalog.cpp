// The one table of the station's pictures and their sizes.
#include "assets/catalog.h"

namespace tav::assets {

const std::vector<PictureEntry>& pictureCatalog() {
  static const std::vector<PictureEntry> entries = {
      {QStringLiteral("frmTAV/background"), QStringLiteral("frmTAV/background.jpg"), {320, 360}, false},
      {QStringLiteral("frmTAV/icon"), QStringLiteral("frmTAV/icon.ico"), {36, 35}, false},
      {QStringLiteral("frm01/background"), QStringLiteral("frm01/background.jpg"), {1024, 768}, false},
      {QStringLiteral("frm01/Command2"), QStringLiteral("frm01/Command2.jpg"), {48, 45}, false},
      {QStringLiteral("frm01/btnMode"), QStringLiteral("frm01/btnMode.jpg"), {116, 58}, false},
      {QStringLiteral("frm01/btnBlock"), QStringLiteral("frm01/btnBlock.jpg"), {114, 58}, false},
      {QStringLiteral("frm01/btnScore"), QStringLiteral("frm01/btnScore.jpg"), {91, 58}, false},
      {QStringLiteral("frm02/background"), QStringLiteral("frm02/background.jpg"), {477, 328}, false},
      {QStringLiteral("frm03/background"), QStringLiteral("frm03/background.jpg"), {477, 338}, false},
      {QStringLiteral("btn3on.jpg"), QStringLiteral("btn3on.jpg"), {113, 57}, true},
      {QStringLiteral("btn4on.jpg"), QStringLiteral("btn4on.jpg"), {113, 57}, true},
      {QStringLiteral("btn2off.jpg"), QStringLiteral("btn2off.jpg"), {114, 58}, true},
      {QStringLiteral("btn5off.jpg"), QStringLiteral("btn5off.jpg"), {91, 58}, true},
      {QStringLiteral("btn5on.jpg"), QStringLiteral("btn5on.jpg"), {91, 58}, true},
  };
  return entries;
}

const PictureEntry* findPicture(const QString& name) {
  for (const PictureEntry& e : pictureCatalog()) {
    // Install-folder names match without regard to case, as file names do on the stations.
    const Qt::CaseSensitivity cs = e.installFile ? Qt::CaseInsensitive : Qt::CaseSensitive;
    if (!name.isEmpty() && e.name.compare(name, cs) == 0) return &e;
  }
  return nullptr;
}

}  // namespace tav::assets
