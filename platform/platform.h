// The station's narrow door to the operating system: message box, sound, pictures, display, INI.
// Windows call platform(); a test installs its own Platform to watch every effect. The Qt
// implementation and the accessor's definition are in platform/qt/.
#pragma once

#include <QPixmap>
#include <QRect>
#include <QString>

namespace tav {

class Platform {
 public:
  virtual ~Platform() = default;

  // The standard message box: caption "TAV", one OK button, no icon, modal. Returns when closed.
  virtual void messageBox(const QString& text) = 0;

  // sndPlaySoundA(path, 1): starts the sound and returns at once; a new sound stops the one
  // playing; a missing file, or one that is no WAV file of a format the call plays, plays the
  // built-in default sound. `path` is the program's Windows path.
  virtual void playSound(const QString& path) = 0;

  // LoadPicture: the picture of the file at the program's Windows `path`. When the file is missing
  // or unreadable the built-in copy of that picture is returned; throws std::runtime_error when
  // there is none.
  virtual QPixmap loadPicture(const QString& path) = 0;

  // GetSystemMetrics(index); 80 monitor count, 78/79 virtual screen size, 81 same display format.
  virtual int systemMetric(int index) = 0;

  // Geometry of the primary display, in pixels.
  virtual QRect primaryScreen() = 0;

  // GetPrivateProfileStringA: see platform/profile.h for the behaviour.
  virtual int profileString(const char* section, const char* key, const char* defaultValue,
                            char* buffer, int size, const QString& path) = 0;

  // Called when the last window is unloaded and the running handler has returned.
  virtual void endProgram() = 0;
};

// The platform in force; the Qt one unless a test installed another.
Platform& platform();

// Installs `p` (not owned) as the platform; nullptr restores the Qt one.
void setPlatform(Platform* p);

}  // namespace tav
