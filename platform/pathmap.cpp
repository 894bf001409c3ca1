// The one mapping from the program's fixed Windows paths to files of this machine.
#include "platform/pathmap.h"

#include <QRegularExpression>

namespace tav {

namespace {

QString& folderStore() {
  static QString folder = QStringLiteral(TAV_INSTALL_DIR);
  return folder;
}

}  // namespace

QString installFolder() { return folderStore(); }

void setInstallFolder(const QString& folder) { folderStore() = folder; }

QString mapPath(const QString& windowsPath) {
#ifdef Q_OS_WIN
  return windowsPath;
#else
  static const QString prefix = QStringLiteral("C:\\ORLTAV\\");
  QString path = windowsPath;
  if (path.startsWith(prefix, Qt::CaseInsensitive))
    path = installFolder() + u'/' + path.mid(prefix.size());
  path.replace(u'\\', u'/');
  // The Windows file functions read a run of separators as one.
  static const QRegularExpression runs(QStringLiteral("/{2,}"));
  path.replace(runs, QStringLiteral("/"));
  return path;
#endif
}

}  // namespace tav
