// The recording platform and the temporary install folder of the station's tests.
#include "tests/support/RecordingPlatform.h"

#include <QDataStream>
#include <QFile>
#include <QImage>
#include <QStringEncoder>
#include <cmath>
#include <stdexcept>

#include "app/QtPlatform.h"
#include "assets/pictures.h"
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
  events_.append(PlatformEvent{PlatformEvent::Picture, path});
  return QtPlatform::instance().loadPicture(path);
}

int RecordingPlatform::systemMetric(int index) {
  if (index == 80 && monitorCount_) return *monitorCount_;
  return QtPlatform::instance().systemMetric(index);
}

QRect RecordingPlatform::primaryScreen() {
  return primaryScreen_ ? *primaryScreen_ : QtPlatform::instance().primaryScreen();
}

int RecordingPlatform::profileString(const char* section, const char* key, const char* defaultValue,
                                     char* buffer, int size, const QString& path) {
  return QtPlatform::instance().profileString(section, key, defaultValue, buffer, size, path);
}

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
  if (!placeCode.isEmpty()) writeIni(placeCode);
  for (const QString& name : assets::pictureFiles()) {
    const QImage picture = assets::picture(name);
    if (!picture.isNull() && !picture.save(filePath(name)))
      throw std::runtime_error("The picture " + name.toStdString() + " cannot be written.");
  }
  writeFile(QStringLiteral("ok.wav"), wavSound(200, 880));
  writeFile(QStringLiteral("no.wav"), wavSound(400, 220));
}

InstallFolder::~InstallFolder() { setInstallFolder(previous_); }

void InstallFolder::writeFile(const QString& name, const QByteArray& bytes) {
  QFile f(filePath(name));
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
    throw std::runtime_error("The install file " + name.toStdString() + " cannot be written.");
}

void InstallFolder::removeFile(const QString& name) { QFile::remove(filePath(name)); }

void InstallFolder::writeIni(const QString& placeCode) {
  // Venues keep the file in code page 949.
  QStringEncoder cp949("windows-949");
  const QByteArray code = cp949.isValid() ? QByteArray(cp949(placeCode)) : placeCode.toUtf8();
  writeFile(QStringLiteral("tav.ini"), "[Marovex]\r\nPlaceCode=" + code + "\r\n");
}

QByteArray InstallFolder::wavSound(int milliseconds, int frequencyHz) {
  constexpr quint32 kRate = 22050;
  const auto frames = static_cast<quint32>(kRate * static_cast<quint32>(milliseconds) / 1000);
  QByteArray wav;
  QDataStream out(&wav, QIODevice::WriteOnly);
  out.setByteOrder(QDataStream::LittleEndian);
  const quint32 dataBytes = frames * 2;
  out.writeRawData("RIFF", 4);
  out << quint32(36 + dataBytes);
  out.writeRawData("WAVEfmt ", 8);
  out << quint32(16) << quint16(1) << quint16(1) << kRate << quint32(kRate * 2) << quint16(2)
      << quint16(16);
  out.writeRawData("data", 4);
  out << dataBytes;
  const double step = 2.0 * M_PI * frequencyHz / kRate;
  for (quint32 i = 0; i < frames; ++i)
    out << static_cast<qint16>(std::lround(8000.0 * std::sin(step * i)));
  return wav;
}

}  // namespace tav::test
