// Base of the four windows: the load/unload life of a window and the program's end rule.
#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

namespace tav {

// A window is created, then loaded on first use (Form_Load runs), then unloaded (it disappears and
// its state is discarded). When the last loaded window is unloaded, the program ends once the
// running handler has returned.
class Form : public QWidget {
  Q_OBJECT
 public:
  explicit Form(QWidget* parent = nullptr);
  ~Form() override;

  bool isLoaded() const { return loaded_; }
  // Unloaded and waiting to be destroyed: a reference to it must create a new window.
  bool isDiscarded() const { return unloading_; }
  void load();    // runs Form_Load once; nothing when already loaded
  void unload();  // hides the window and drops it after the running handler; nothing when not loaded

  // Number of loaded windows of the program.
  static int loadedCount();

 protected:
  virtual void Form_Load() {}
  // The title-bar close box (and Alt+F4) unloads the window; a window may do more instead.
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

  // A picture that comes with the station (assets/pictures.h), ready to show.
  static QPixmap builtInPicture(const QString& name);
  // The built-in picture `name` drawn at the top-left corner, at its natural size, under the controls.
  void setBackdrop(const QString& name);
  // A fixed single border: title bar with the close box only, and the size the layout gave.
  void useFixedFrame();

 private:
  bool loaded_ = false;
  bool unloading_ = false;
  QPixmap backdrop_;
};

}  // namespace tav
