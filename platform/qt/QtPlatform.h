// The platform layer on Qt: message box, sound, pictures, display metrics, INI file, end of
// program.
#pragma once

#include <QDateTime>
#include <QPointer>
#include <QSoundEffect>
#include <QTemporaryFile>
#include <map>
#include <memory>

#include "platform/platform.h"

namespace tav {

class QtPlatform : public Platform {
 public:
  QtPlatform();
  ~QtPlatform() override;

  void messageBox(const QString& text) override;
  void playSound(const QString& path) override;
  QPixmap loadPicture(const QString& path) override;
  int systemMetric(int index) override;
  QRect primaryScreen() override;
  int profileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                    int size, const QString& path) override;
  void endProgram() override;

  // The Qt platform of the program (the one platform() falls back to).
  static QtPlatform& instance();

  // The effect that plays every sound; nullptr before the first sound.
  const QSoundEffect* soundEffect() const { return sound_.data(); }

 private:
  // A venue's sound file rewritten as 16-bit PCM, kept while the file stays as it was read.
  struct Converted {
    QDateTime modified;
    qint64 size = -1;
    std::unique_ptr<QTemporaryFile> file;  // null when the file is no WAV file the call plays
  };

  // The local file the effect plays for the sound file `file`; "" when there is none.
  QString playableFile(const QString& file);
  // Writes `wav` to a new temporary file; null when it cannot be written.
  static std::unique_ptr<QTemporaryFile> temporaryWav(const QByteArray& wav);

  // One effect for all sounds, so that a new sound stops the one playing.
  QPointer<QSoundEffect> sound_;
  // The built-in sound that stands in for a missing or unreadable file, written out on first need.
  std::unique_ptr<QTemporaryFile> defaultSound_;
  std::map<QString, Converted> converted_;
  QString defaultSoundFile();
};

}  // namespace tav
