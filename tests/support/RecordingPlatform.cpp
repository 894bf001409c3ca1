// The recording platform and the temporary install folder of the station's tests.
#include "tests/support/RecordingPlatform.h"

#include <QFile>
#include <stdexcept>

#include "assets/install.h"
#include "platform/pathmap.h"

namespace tav::test {

RecordingPlatform::RecordingPlatform() { setPlatform(this); }

RecordingPlatform::~RecordingPlatform() {
  if (&platform() == this) setPlatform(nullptr);
}

void RecordingPlatform::messageBox(const QString& text) {
  events_.append(PlatformEvent{PlatformEvent::MessageBox, text});
  if (onMessage_) onMessage_(text);
}

void RecordingPlatform::playSound(const QString& path) {
  events_.append(PlatformEvent{PlatformEvent::Sound, path});
}

QPixmap RecordingPlatform::loadPicture(const QString& path) {
  if (onPicture_) onPicture_(path);
  events_.append(PlatformEvent{PlatformEvent::Picture, path});
  return QtPlatform::loadPicture(path);
}

int RecordingPlatform::systemMetric(int index) {
  if (index == 80 && monitorCount_) return *monitorCount_;
  return QtPlatform::systemMetric(index);
}

QRect RecordingPlatform::primaryScreen() { return primaryScreen_ ? *primaryScreen_ : QtPlatform::primaryScreen(); }

void RecordingPlatform::endProgram() {
  events_.append(PlatformEvent{PlatformEvent::EndProgram, QString()});
}

QStringList RecordingPlatform::details(PlatformEvent::Kind kind) const {
  QStringList out;
  for (const PlatformEvent& e : events_)
    if (e.kind == kind) out.append(e.detail);
  return out;
}

// ---- InstallFolder ----

InstallFolder::InstallFolder(const QString& placeCode) : previous_(installFolder()) {
  if (!dir_.isValid()) throw std::runtime_error("No temporary install folder can be created.");
  setInstallFolder(dir_.path() + u'/');
  assets::writeInstallFolder(dir_.path(), placeCode);
  if (placeCode.isEmpty()) removeFile(QStringLiteral("tav.ini"));
}

InstallFolder::~InstallFolder() { setInstallFolder(previous_); }

void InstallFolder::writeFile(const QString& name, const QByteArray& bytes) {
  QFile f(filePath(name));
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
    throw std::runtime_error("The install file " + name.toStdString() + " cannot be written.");
}

void InstallFolder::removeFile(const QString& name) { QFile::remove(filePath(name)); }

void InstallFolder::writeIni(const QString& placeCode) {
  writeFile(QStringLiteral("tav.ini"), assets::iniFile(placeCode));
}

}  // namespace tav::test
