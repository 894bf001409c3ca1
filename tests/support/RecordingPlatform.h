// A platform for the station's tests: records every message box, sound, picture and end of the
// program in one ordered list, and a temporary install folder filled with the install files.
#pragma once

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <optional>

#include "platform/qt/QtPlatform.h"

namespace tav::test {

struct PlatformEvent {
  enum Kind { MessageBox, Sound, Picture, EndProgram };
  Kind kind;
  QString detail;  // message text, or the program's path of the sound or picture; "" for the end
  bool operator==(const PlatformEvent& o) const { return kind == o.kind && detail == o.detail; }
};

// The Qt platform with every effect a test must see recorded instead of shown. Installs itself as
// the platform on construction and puts the previous one back on destruction. Message boxes
// return at once; sounds are not played; pictures are still loaded by the Qt platform (so windows
// show real pictures, and a missing picture still fails); endProgram only records.
class RecordingPlatform : public QtPlatform {
 public:
  RecordingPlatform();
  ~RecordingPlatform() override;
  RecordingPlatform(const RecordingPlatform&) = delete;
  RecordingPlatform& operator=(const RecordingPlatform&) = delete;

  void messageBox(const QString& text) override;
  void playSound(const QString& path) override;
  QPixmap loadPicture(const QString& path) override;
  int systemMetric(int index) override;
  QRect primaryScreen() override;
  void endProgram() override;

  // Everything recorded, in order.
  const QList<PlatformEvent>& events() const { return events_; }
  // The events of one kind, their details in order.
  QStringList messages() const { return details(PlatformEvent::MessageBox); }
  QStringList sounds() const { return details(PlatformEvent::Sound); }
  QStringList pictures() const { return details(PlatformEvent::Picture); }
  int endCount() const { return static_cast<int>(details(PlatformEvent::EndProgram).size()); }
  void clear() { events_.clear(); }

  // Display the windows see: a monitor count (GetSystemMetrics 80) and a primary screen of the
  // test's choice instead of the real ones.
  void setMonitorCount(int count) { monitorCount_ = count; }
  void setPrimaryScreen(const QRect& rect) { primaryScreen_ = rect; }

  // Runs while a message box "is shown", before it returns (a test can look at the windows then).
  void onMessageBox(std::function<void(const QString&)> hook) { onMessage_ = std::move(hook); }
  // Runs when a picture is asked for, before it is loaded.
  void onPicture(std::function<void(const QString&)> hook) { onPicture_ = std::move(hook); }

 private:
  QStringList details(PlatformEvent::Kind kind) const;

  QList<PlatformEvent> events_;
  std::optional<int> monitorCount_;
  std::optional<QRect> primaryScreen_;
  std::function<void(const QString&)> onMessage_;
  std::function<void(const QString&)> onPicture_;
};

// A temporary folder standing for C:\ORLTAV\ while the object lives, filled with the install
// files: tav.ini naming `placeCode` (none when empty), the button pictures and the two sounds.
class InstallFolder {
 public:
  explicit InstallFolder(const QString& placeCode = {});
  ~InstallFolder();
  InstallFolder(const InstallFolder&) = delete;
  InstallFolder& operator=(const InstallFolder&) = delete;

  QString path() const { return dir_.path(); }
  QString filePath(const QString& name) const { return dir_.filePath(name); }
  void writeFile(const QString& name, const QByteArray& bytes);
  void removeFile(const QString& name);
  // tav.ini with [Marovex] PlaceCode=<placeCode>.
  void writeIni(const QString& placeCode);

 private:
  QTemporaryDir dir_;
  QString previous_;
};

}  // namespace tav::test
