// The platform layer on Qt, and the switch that lets a test put its own platform in its place.
#include "platform/qt/QtPlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QUrl>
#include <stdexcept>

#include "assets/pictures.h"
#include "assets/sounds.h"
#include "platform/pathmap.h"
#include "platform/profile.h"
#include "platform/wav.h"

namespace tav {

namespace {

Platform* g_installed = nullptr;

// The file name of a program path, whichever separator it uses.
QString fileNameOf(const QString& path) {
  const qsizetype cut = std::max(path.lastIndexOf(u'\\'), path.lastIndexOf(u'/'));
  return path.mid(cut + 1);
}

}  // namespace

Platform& platform() { return g_installed ? *g_installed : QtPlatform::instance(); }

void setPlatform(Platform* p) { g_installed = p; }

QtPlatform::QtPlatform() = default;

QtPlatform::~QtPlatform() { delete sound_.data(); }

QtPlatform& QtPlatform::instance() {
  static QtPlatform qt;
  return qt;
}

void QtPlatform::messageBox(const QString& text) {
  QMessageBox box;
  box.setWindowTitle(QStringLiteral("TAV"));
  box.setText(text);
  box.setIcon(QMessageBox::NoIcon);
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
}

void QtPlatform::playSound(const QString& path) {
  if (!sound_) sound_ = new QSoundEffect(QCoreApplication::instance());
  sound_->stop();
  QString file = playableFile(mapPath(path));
  if (file.isEmpty()) file = defaultSoundFile();
  if (file.isEmpty()) return;
  sound_->setSource(QUrl::fromLocalFile(file));
  // A new file plays once loaded; without an audio device this returns at once as well.
  sound_->play();
}

QString QtPlatform::playableFile(const QString& file) {
  const QFileInfo info(file);
  if (!info.exists()) {
    converted_.erase(file);
    return {};
  }
  // Converted when first played and again only when the file changes: a scan plays a sound, and
  // a busy gate scans every second.
  Converted& c = converted_[file];
  if (c.modified != info.lastModified() || c.size != info.size()) {
    c.modified = info.lastModified();
    c.size = info.size();
    c.file.reset();
    QFile in(file);
    try {
      if (in.open(QIODevice::ReadOnly)) c.file = temporaryWav(playableWav(in.readAll()));
    } catch (const std::invalid_argument&) {
      // Not a WAV file the Windows call plays: the default sound stands in, as there.
    }
  }
  return c.file ? c.file->fileName() : QString();
}

std::unique_ptr<QTemporaryFile> QtPlatform::temporaryWav(const QByteArray& wav) {
  // QSoundEffect plays files only.
  auto file = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/tav-sound-XXXXXX.wav"));
  if (!file->open() || file->write(wav) != wav.size() || !file->flush()) return nullptr;
  return file;
}

QString QtPlatform::defaultSoundFile() {
  if (!defaultSound_) defaultSound_ = temporaryWav(assets::defaultSound());
  return defaultSound_ ? defaultSound_->fileName() : QString();
}

QPixmap QtPlatform::loadPicture(const QString& path) {
  QPixmap picture;
  if (picture.load(mapPath(path))) return picture;
  const QImage builtIn = assets::picture(fileNameOf(path));
  if (!builtIn.isNull()) return QPixmap::fromImage(builtIn);
  throw std::runtime_error("The picture " + path.toStdString() +
                           " cannot be read and the station has no built-in copy of it.");
}

int QtPlatform::systemMetric(int index) {
  const QList<QScreen*> screens = QGuiApplication::screens();
  switch (index) {
    case 80:  // SM_CMONITORS
      return static_cast<int>(screens.size());
    case 78:    // SM_CXVIRTUALSCREEN
    case 79: {  // SM_CYVIRTUALSCREEN
      QRect all;
      for (const QScreen* s : screens) all = all.united(s->geometry());
      return index == 78 ? all.width() : all.height();
    }
    case 81: {  // SM_SAMEDISPLAYFORMAT
      for (const QScreen* s : screens)
        if (s->depth() != screens.front()->depth()) return 0;
      return 1;
    }
    default:  // GetSystemMetrics answers 0 for an index it does not know
      return 0;
  }
}

QRect QtPlatform::primaryScreen() {
  const QScreen* s = QGuiApplication::primaryScreen();
  return s ? s->geometry() : QRect();
}

int QtPlatform::profileString(const char* section, const char* key, const char* defaultValue,
                              char* buffer, int size, const QString& path) {
  const QByteArray file = QFile::encodeName(mapPath(path));
  return readProfileString(section, key, defaultValue, buffer, size, file.constData());
}

void QtPlatform::endProgram() { QCoreApplication::quit(); }

}  // namespace tav
