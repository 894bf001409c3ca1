// Maps the program's fixed Windows paths ("C:\ORLTAV\ok.wav") onto this machine's install folder.
#pragma once

#include <QString>

namespace tav {

// On Windows the path is used as it is. Elsewhere the prefix C:\ORLTAV\ (any letter case) becomes
// the install folder, backslashes become slashes and doubled separators collapse, as the Windows
// file functions read them: "C:\ORLTAV\\btn4on.jpg" names <install folder>/btn4on.jpg.
QString mapPath(const QString& windowsPath);

// The folder that stands for C:\ORLTAV\ ; the build-time TAV_INSTALL_DIR until a test sets another.
QString installFolder();
void setInstallFolder(const QString& folder);

}  // namespace tav
