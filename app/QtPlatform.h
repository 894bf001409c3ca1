// The platform layer on Qt: message box, sound, pictures, display metrics, INI file, end of
// program.
#pragma once

#include <QPointer>
#include <QSoundEffect>
#include <QTemporaryFile>
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

 private:
  // One effect for all sounds, so that a new sound stops the one playing.
  QPointer<QSoundEffect> sound_;
  // The built-in sound that stands in for a missing file, written out on first need.
  std::unique_ptr<QTemporaryFile> defaultSound_;
  QString defaultSoundFile();
};

}  // namespace tav
